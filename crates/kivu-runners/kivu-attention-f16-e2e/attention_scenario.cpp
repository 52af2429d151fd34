// The FP16 FlashAttention scenario (see attention_scenario.hpp).
#include "attention_scenario.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <span>

#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_runner/random.hpp"
#include "kivu_runtime/board_constants.hpp"

namespace kivu_attention {

using kivu_exchange::ExchangeError;
using kivu_runner::Checked;
using kivu_runner::RunError;
using kivu_runtime::TileContext;

namespace {

// Cost model of the tile's FP16 units: MACs per cycle, cycles per
// exponential, and a fixed overhead per step.
constexpr std::uint64_t half_macs_per_cycle = 64;
constexpr std::uint64_t exp_cycles = 4;
constexpr std::uint64_t step_overhead_cycles = 96;

constexpr float negative_infinity = -std::numeric_limits<float>::infinity();

// Uniform in [-bound, bound], rounded to FP16.
half uniform(std::uint64_t& state, float bound) {
  const double unit = static_cast<double>(kivu_runner::next_random(state) >> 11) * 0x1.0p-53;  // [0, 1)
  return static_cast<half>(static_cast<float>((2.0 * unit - 1.0) * bound));
}

template <typename T>
std::span<const std::byte> bytes_of(std::span<const T> values) {
  return std::as_bytes(values);
}

std::vector<float> widen(std::span<const half> values) {
  std::vector<float> out(values.size());
  std::ranges::transform(values, out.begin(), [](half x) { return static_cast<float>(x); });
  return out;
}

// The position of work item (b, h, j): items are ordered by batch, head,
// then query block.
struct WorkItem {
  std::uint32_t batch = 0;
  std::uint32_t head = 0;
  std::uint32_t block = 0;
};

std::uint32_t item_index(const AttentionShape& shape, WorkItem item) {
  return (item.batch * shape.heads + item.head) * (shape.sequence / query_block) + item.block;
}

// Offset, in elements, of row `block * query_block` of (b, h) in Q, K, V, O.
std::size_t block_offset(const AttentionShape& shape, WorkItem item) {
  return ((std::size_t{item.batch} * shape.heads + item.head) * shape.sequence +
          std::size_t{item.block} * query_block) *
         shape.head_dim;
}

// The shape, and the round's key block for the steps of one round.
std::vector<kivu_package::ProfileMetadata> step_metadata(const AttentionShape& shape,
                                                         std::optional<std::uint32_t> key_block = std::nullopt) {
  std::vector<kivu_package::ProfileMetadata> metadata = {{"batch", std::to_string(shape.batch)},
                                                         {"heads", std::to_string(shape.heads)},
                                                         {"sequence", std::to_string(shape.sequence)},
                                                         {"head_dim", std::to_string(shape.head_dim)}};
  if (key_block) metadata.push_back({"key_block", std::to_string(*key_block)});
  return metadata;
}

// =============================================================================
// Kernels, run on each tile

std::expected<void, ExchangeError> init_state(TileContext& tile, std::uint32_t d) {
  KIVU_ASSIGN_OR_RETURN(auto acc, tile.array<float>(acc_address, std::size_t{query_block} * d));
  KIVU_ASSIGN_OR_RETURN(auto m, tile.array<float>(max_address, query_block));
  KIVU_ASSIGN_OR_RETURN(auto l, tile.array<float>(sum_address, query_block));
  std::ranges::fill(acc, 0.0f);
  std::ranges::fill(m, negative_infinity);
  std::ranges::fill(l, 0.0f);
  return {};
}

// Folds this round's key block into the tile's running state.
std::expected<void, ExchangeError> fold_key_block(TileContext& tile, std::uint32_t d) {
  const std::size_t row_values = std::size_t{key_block} * d;
  KIVU_ASSIGN_OR_RETURN(const auto q, tile.array<half>(q_address, std::size_t{query_block} * d));
  KIVU_ASSIGN_OR_RETURN(const auto kv, tile.array<half>(kv_work_address, 2 * row_values));
  KIVU_ASSIGN_OR_RETURN(auto acc, tile.array<float>(acc_address, std::size_t{query_block} * d));
  KIVU_ASSIGN_OR_RETURN(auto m, tile.array<float>(max_address, query_block));
  KIVU_ASSIGN_OR_RETURN(auto l, tile.array<float>(sum_address, query_block));

  // FP16 to FP32 is exact, and so is the product of two FP16 values in FP32:
  // widening first and multiplying in FP32 is what an FP16 MAC with FP32
  // accumulation computes.
  const std::vector<float> k = widen(kv.subspan(0, row_values));
  const std::vector<float> v = widen(kv.subspan(row_values, row_values));
  const std::vector<float> queries = widen(q);
  const float scale = 1.0f / std::sqrt(static_cast<float>(d));
  float scores[key_block];
  float weights[key_block];

  for (std::size_t r = 0; r < query_block; ++r) {
    const float* qrow = queries.data() + r * d;
    float block_max = negative_infinity;
    for (std::size_t c = 0; c < key_block; ++c) {
      const float* krow = k.data() + c * d;
      float dot = 0.0f;
      for (std::size_t x = 0; x < d; ++x) dot += qrow[x] * krow[x];
      scores[c] = dot * scale;
      block_max = std::max(block_max, scores[c]);
    }
    const float new_max = std::max(m[r], block_max);
    const float rescale = std::exp(m[r] - new_max);  // 0 in the first round
    float weight_sum = 0.0f;
    for (std::size_t c = 0; c < key_block; ++c) {
      weights[c] = static_cast<float>(static_cast<half>(std::exp(scores[c] - new_max)));
      weight_sum += weights[c];
    }
    l[r] = l[r] * rescale + weight_sum;
    m[r] = new_max;
    float* out = acc.data() + r * d;
    for (std::size_t x = 0; x < d; ++x) out[x] *= rescale;
    for (std::size_t c = 0; c < key_block; ++c) {
      const float* vrow = v.data() + c * d;
      for (std::size_t x = 0; x < d; ++x) out[x] += weights[c] * vrow[x];
    }
  }
  return {};
}

std::expected<void, ExchangeError> finalize(TileContext& tile, std::uint32_t d) {
  KIVU_ASSIGN_OR_RETURN(const auto acc, tile.array<float>(acc_address, std::size_t{query_block} * d));
  KIVU_ASSIGN_OR_RETURN(const auto l, tile.array<float>(sum_address, query_block));
  KIVU_ASSIGN_OR_RETURN(auto o, tile.array<half>(o_address, std::size_t{query_block} * d));
  for (std::size_t r = 0; r < query_block; ++r) {
    for (std::size_t x = 0; x < d; ++x) o[r * d + x] = static_cast<half>(acc[r * d + x] / l[r]);
  }
  return {};
}

// =============================================================================
// Phases of the run

Checked<void> deliver_inputs(kivu_runtime::Board& board, const AttentionShape& shape, const AttentionInputs& inputs,
                             const std::vector<WorkItem>& items) {
  const std::size_t block_values = std::size_t{query_block} * shape.head_dim;
  for (std::uint32_t i = 0; i < items.size(); ++i) {
    const std::uint16_t tile = work_tile(shape.work_items(), i);
    const std::size_t at = block_offset(shape, items[i]);
    const auto q = std::span<const half>(inputs.q).subspan(at, block_values);
    const auto k = std::span<const half>(inputs.k).subspan(at, block_values);
    const auto v = std::span<const half>(inputs.v).subspan(at, block_values);
    const std::uint32_t v_address = kv_home_address + static_cast<std::uint32_t>(block_values * sizeof(half));
    for (const auto& [what, address, data] :
         {std::tuple{"Q", q_address, q}, std::tuple{"K", kv_home_address, k}, std::tuple{"V", v_address, v}}) {
      KIVU_RETURN_IF_ERROR(kivu_runner::check(board.h2d(tile, address, bytes_of(data)),
                                              fmt::format("h2d of {} block {} to tile {}", what, i, tile)));
    }
  }
  return {};
}

// Round j: every (batch, head) multicasts key block j from its home tile to
// all of its work tiles.
kivu_runtime::ExchangePhase key_block_phase(const AttentionShape& shape, std::uint32_t j) {
  const std::uint32_t blocks = shape.sequence / query_block;
  const auto bytes = static_cast<std::uint32_t>(2 * std::size_t{key_block} * shape.head_dim * sizeof(half));
  kivu_runtime::ExchangePhase phase{
      .operation = "attention.kv_broadcast", .kernel = "kv_multicast", .metadata = step_metadata(shape, j)};
  for (std::uint32_t b = 0; b < shape.batch; ++b) {
    for (std::uint32_t h = 0; h < shape.heads; ++h) {
      kivu_runtime::Transfer transfer{
          work_tile(shape.work_items(), item_index(shape, {b, h, j})), kv_home_address, bytes, {}};
      for (std::uint32_t block = 0; block < blocks; ++block) {
        transfer.receivers.push_back(
            {work_tile(shape.work_items(), item_index(shape, {b, h, block})), kv_work_address});
      }
      phase.transfers.push_back(std::move(transfer));
    }
  }
  return phase;
}

Checked<void> step(std::string_view what, std::expected<kivu_runtime::StepReport, ExchangeError> result) {
  KIVU_RETURN_IF_ERROR(kivu_runner::check(std::move(result), what));
  return {};
}

// What one compute step runs on every work tile, for head dimension d.
struct TileKernel {
  const char* operation;
  const char* kernel;
  std::expected<void, ExchangeError> (*function)(TileContext& tile, std::uint32_t d);
};

constexpr TileKernel init_kernel{"attention.init", "online_softmax_init", init_state};
constexpr TileKernel fold_kernel{"attention.fold", "flash_attention_f16", fold_key_block};
constexpr TileKernel finalize_kernel{"attention.finalize", "normalize_f16", finalize};

// Runs `kernel` on every tile of `tiles` as one compute step of `cycles`
// per tile; a board error names the step `what`.
Checked<void> run_on_tiles(kivu_runtime::Board& board, const std::vector<std::uint16_t>& tiles, std::uint32_t d,
                           const TileKernel& kernel, std::string_view what,
                           std::vector<kivu_package::ProfileMetadata> metadata, std::uint64_t cycles) {
  return step(what, board.compute({.operation = kernel.operation,
                                   .kernel = kernel.kernel,
                                   .metadata = std::move(metadata),
                                   .tiles = tiles,
                                   .cycles = cycles},
                                  [&kernel, d](TileContext& tile) { return kernel.function(tile, d); }));
}

}  // namespace

// =============================================================================
// Shapes

std::string AttentionShape::describe() const {
  return fmt::format("batch {}, heads {}, sequence {}, head dim {}", batch, heads, sequence, head_dim);
}

std::vector<AttentionShape> encoder_shapes() {
  std::vector<AttentionShape> shapes;
  for (const std::uint32_t head_dim : {32u, 64u, 128u}) {
    for (const std::uint32_t batch : {1u, 2u, 8u}) shapes.push_back({batch, 4, 128, head_dim});
  }
  return shapes;
}

Checked<void> check_shape(const AttentionShape& shape) {
  if (shape.batch == 0 || shape.heads == 0 || shape.sequence == 0 || shape.sequence % query_block != 0 ||
      shape.head_dim == 0 || shape.head_dim > max_head_dim) {
    return std::unexpected(RunError::failed(
        fmt::format("unsupported shape {}: sequence must be a positive multiple of {}, head dim 1 to {}",
                    shape.describe(), query_block, max_head_dim)));
  }
  if (std::uint64_t{shape.batch} * shape.heads * (shape.sequence / query_block) > kivu_runtime::tile_count) {
    return std::unexpected(
        RunError::failed(fmt::format("unsupported shape {}: more work items than the board's {} tiles",
                                     shape.describe(), kivu_runtime::tile_count)));
  }
  return {};
}

std::uint16_t work_tile(std::uint32_t items, std::uint32_t item) noexcept {
  return static_cast<std::uint16_t>(item * (kivu_runtime::tile_count / items));
}

// =============================================================================
// Data and reference

AttentionInputs random_inputs(const AttentionShape& shape, std::uint64_t seed) {
  AttentionInputs inputs{std::vector<half>(shape.elements()), std::vector<half>(shape.elements()),
                         std::vector<half>(shape.elements())};
  std::uint64_t state = seed;
  for (half& x : inputs.q) x = uniform(state, 4.0f);
  for (half& x : inputs.k) x = uniform(state, 1.0f);
  for (half& x : inputs.v) x = uniform(state, 1.0f);
  return inputs;
}

std::vector<double> reference_attention(const AttentionShape& shape, const AttentionInputs& inputs) {
  const std::size_t s = shape.sequence;
  const std::size_t d = shape.head_dim;
  const double scale = 1.0 / std::sqrt(static_cast<double>(d));
  const auto to_double = [](const std::vector<half>& values) {
    return std::vector<double>(values.begin(), values.end());
  };
  const std::vector<double> q = to_double(inputs.q);
  const std::vector<double> k = to_double(inputs.k);
  const std::vector<double> v = to_double(inputs.v);
  std::vector<double> out(shape.elements());
  std::vector<double> weights(s);
  for (std::size_t bh = 0; bh < std::size_t{shape.batch} * shape.heads; ++bh) {
    const std::size_t base = bh * s * d;
    for (std::size_t r = 0; r < s; ++r) {
      double max = -std::numeric_limits<double>::infinity();
      for (std::size_t c = 0; c < s; ++c) {
        double dot = 0;
        for (std::size_t x = 0; x < d; ++x) dot += q[base + r * d + x] * k[base + c * d + x];
        weights[c] = dot * scale;
        max = std::max(max, weights[c]);
      }
      double sum = 0;
      for (double& w : weights) {
        w = std::exp(w - max);
        sum += w;
      }
      double* row = out.data() + base + r * d;
      for (std::size_t c = 0; c < s; ++c) {
        for (std::size_t x = 0; x < d; ++x) row[x] += weights[c] * v[base + c * d + x];
      }
      for (std::size_t x = 0; x < d; ++x) row[x] /= sum;
    }
  }
  return out;
}

ErrorSummary compare_output(const std::vector<half>& output, const std::vector<double>& reference) {
  ErrorSummary summary;
  if (output.size() != reference.size()) {
    summary.worst = std::numeric_limits<double>::infinity();
    return summary;
  }
  for (std::size_t i = 0; i < output.size(); ++i) {
    const double got = static_cast<double>(output[i]);
    double error = std::fabs(got - reference[i]);
    if (std::isnan(error)) error = std::numeric_limits<double>::infinity();
    if (i == 0 || error > summary.worst) summary = {error, i, got, reference[i]};
  }
  return summary;
}

std::vector<kivu_runner::Readback> output_readbacks(const AttentionShape& shape) {
  std::vector<kivu_runner::Readback> readbacks;
  const std::size_t block_values = std::size_t{query_block} * shape.head_dim;
  const std::uint32_t blocks = shape.sequence / query_block;
  for (std::uint32_t b = 0; b < shape.batch; ++b) {
    for (std::uint32_t h = 0; h < shape.heads; ++h) {
      for (std::uint32_t j = 0; j < blocks; ++j) {
        const auto tile = work_tile(shape.work_items(), static_cast<std::uint32_t>(readbacks.size()));
        readbacks.push_back(
            {tile, o_address, block_offset(shape, {b, h, j}) * sizeof(half), block_values * sizeof(half)});
      }
    }
  }
  return readbacks;
}

void tally_output(kivu_runner::MismatchTally& tally, const AttentionShape& shape, const std::vector<half>& output,
                  const std::vector<double>& reference) {
  if (output.size() != reference.size()) return;
  const auto readbacks = output_readbacks(shape);
  tally.checked(output.size());
  for (std::size_t i = 0; i < output.size(); ++i) {
    if (std::fabs(static_cast<double>(output[i]) - reference[i]) <= attention_tolerance) continue;
    const std::size_t at = i * sizeof(half);
    const auto from = std::ranges::find_if(readbacks, [&](const kivu_runner::Readback& readback) {
      return at >= readback.offset && at < readback.offset + readback.size;
    });
    if (from == readbacks.end()) {
      tally.off_tile();
      continue;
    }
    tally.on_tile(from->tile, from->address + static_cast<std::uint32_t>(at - from->offset),
                  std::bit_cast<std::uint16_t>(output[i]),
                  std::bit_cast<std::uint16_t>(static_cast<half>(reference[i])), sizeof(half));
  }
}

// =============================================================================
// Running

Checked<std::vector<half>> run_attention(kivu_runtime::Board& board, const AttentionShape& shape,
                                         const AttentionInputs& inputs, const ProgressSink& progress) {
  KIVU_RETURN_IF_ERROR(check_shape(shape));
  if (inputs.q.size() != shape.elements() || inputs.k.size() != shape.elements() ||
      inputs.v.size() != shape.elements()) {
    return std::unexpected(RunError::failed("inputs do not match shape " + shape.describe()));
  }
  const std::uint32_t d = shape.head_dim;
  const std::uint32_t blocks = shape.sequence / query_block;
  std::vector<WorkItem> items;
  std::vector<std::uint16_t> tiles;
  for (std::uint32_t b = 0; b < shape.batch; ++b) {
    for (std::uint32_t h = 0; h < shape.heads; ++h) {
      for (std::uint32_t j = 0; j < blocks; ++j) {
        items.push_back({b, h, j});
        tiles.push_back(work_tile(shape.work_items(), static_cast<std::uint32_t>(tiles.size())));
      }
    }
  }
  const std::uint64_t start_cycle = board.cycle();
  KIVU_RETURN_IF_ERROR(deliver_inputs(board, shape, inputs, items));

  const std::uint64_t block_macs = std::uint64_t{query_block} * key_block * d;
  const std::uint64_t init_cycles = std::uint64_t{query_block} * d / half_macs_per_cycle + step_overhead_cycles;
  const std::uint64_t fold_cycles = 2 * block_macs / half_macs_per_cycle +
                                    std::uint64_t{query_block} * key_block * exp_cycles + step_overhead_cycles;

  KIVU_RETURN_IF_ERROR(
      run_on_tiles(board, tiles, d, init_kernel, "initialise attention state", step_metadata(shape), init_cycles));
  board.sync("attention.start");
  for (std::uint32_t j = 0; j < blocks; ++j) {
    KIVU_RETURN_IF_ERROR(step(fmt::format("key block {} exchange", j), board.exchange(key_block_phase(shape, j))));
    KIVU_RETURN_IF_ERROR(run_on_tiles(board, tiles, d, fold_kernel, fmt::format("key block {} fold", j),
                                      step_metadata(shape, j), fold_cycles));
    board.sync("attention.round");
  }
  KIVU_RETURN_IF_ERROR(
      run_on_tiles(board, tiles, d, finalize_kernel, "finalise output", step_metadata(shape), init_cycles));
  progress(fmt::format("{}: {} tiles, {} key rounds, cycles {}..{}", shape.describe(), tiles.size(), blocks,
                       start_cycle, board.cycle()));

  std::vector<half> output(shape.elements());
  const std::size_t block_values = std::size_t{query_block} * d;
  for (std::uint32_t i = 0; i < items.size(); ++i) {
    const auto destination = std::span(output).subspan(block_offset(shape, items[i]), block_values);
    KIVU_RETURN_IF_ERROR(kivu_runner::check(board.d2h_into(tiles[i], o_address, std::as_writable_bytes(destination)),
                                            fmt::format("d2h of O block {} from tile {}", i, tiles[i])));
  }
  return output;
}

}  // namespace kivu_attention
