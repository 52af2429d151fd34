// The blocked GEMM scenario (see gemm_scenario.hpp).
#include "gemm_scenario.hpp"

#include <bit>
#include <cstring>
#include <span>
#include <string>

#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_runner/random.hpp"
#include "kivu_runner/verify.hpp"
#include "kivu_runtime/board_constants.hpp"

namespace kivu_gemm {

using kivu_exchange::ExchangeError;
using kivu_runner::Checked;
using kivu_runner::RunError;

namespace {

std::span<const std::byte> bytes_of(const std::vector<float>& values) { return std::as_bytes(std::span(values)); }

std::string block_name(BlockIndex block) { return fmt::format("({},{})", block.row, block.column); }

std::vector<kivu_package::ProfileMetadata> step_metadata(const GemmSettings& settings,
                                                         std::optional<std::uint32_t> round) {
  std::vector<kivu_package::ProfileMetadata> metadata = {
      {"dimension", std::to_string(settings.dimension)},
      {"grid", std::to_string(settings.grid())},
      {"block_size", std::to_string(block_size)},
  };
  if (round) metadata.push_back({"round", std::to_string(*round)});
  return metadata;
}

// The tiles holding output blocks, in row-major block order.
std::vector<std::uint16_t> grid_tiles(std::uint32_t grid) {
  std::vector<std::uint16_t> tiles;
  tiles.reserve(std::size_t{grid} * grid);
  for (std::uint32_t r = 0; r < grid; ++r) {
    for (std::uint32_t c = 0; c < grid; ++c) tiles.push_back(block_tile(grid, {r, c}));
  }
  return tiles;
}

// =============================================================================
// Kernels, run on each tile

std::expected<void, ExchangeError> zero_accumulator(kivu_runtime::TileContext& tile) {
  KIVU_ASSIGN_OR_RETURN(auto c, tile.array<float>(c_address, std::size_t{block_size} * block_size));
  std::ranges::fill(c, 0.0f);
  return {};
}

// C += A x B for one block, in float, row by row.
std::expected<void, ExchangeError> block_mac(kivu_runtime::TileContext& tile) {
  constexpr std::size_t n = block_size;
  KIVU_ASSIGN_OR_RETURN(const auto a, tile.array<float>(a_work_address, n * n));
  KIVU_ASSIGN_OR_RETURN(const auto b, tile.array<float>(b_work_address, n * n));
  KIVU_ASSIGN_OR_RETURN(auto c, tile.array<float>(c_address, n * n));
  for (std::size_t i = 0; i < n; ++i) {
    float* row = c.data() + i * n;
    for (std::size_t k = 0; k < n; ++k) {
      const float aik = a[i * n + k];
      const float* brow = b.data() + k * n;
      for (std::size_t j = 0; j < n; ++j) row[j] += aik * brow[j];
    }
  }
  return {};
}

// =============================================================================
// Phases of the run

Checked<void> deliver_operands(kivu_runtime::Board& board, const GemmSettings& settings, const Operands& operands,
                               const ProgressSink& progress) {
  const std::uint32_t grid = settings.grid();
  for (std::uint32_t r = 0; r < grid; ++r) {
    for (std::uint32_t c = 0; c < grid; ++c) {
      const std::uint16_t tile = block_tile(grid, {r, c});
      const auto a = extract_block(operands.a, settings.dimension, {r, c});
      const auto b = extract_block(operands.b, settings.dimension, {r, c});
      KIVU_RETURN_IF_ERROR(kivu_runner::check(board.h2d(tile, a_home_address, bytes_of(a)),
                                              fmt::format("h2d of A block {} to tile {}", block_name({r, c}), tile)));
      KIVU_RETURN_IF_ERROR(kivu_runner::check(board.h2d(tile, b_home_address, bytes_of(b)),
                                              fmt::format("h2d of B block {} to tile {}", block_name({r, c}), tile)));
    }
  }
  progress(fmt::format("h2d: A and B blocks of {} bytes to {} tiles", block_bytes, grid * grid));
  return {};
}

// Reads every A and B block back from its home tile before the blocks are
// passed around: a block corrupted there would spread to a whole block row
// or column of C and be found on another tile than the one that holds it.
Checked<void> verify_operands(kivu_runtime::Board& board, const GemmSettings& settings, const Operands& operands,
                              const ProgressSink& progress) {
  const std::uint32_t grid = settings.grid();
  std::vector<kivu_runner::Contribution> blocks;
  for (std::uint32_t r = 0; r < grid; ++r) {
    for (std::uint32_t c = 0; c < grid; ++c) {
      const std::uint16_t tile = block_tile(grid, {r, c});
      for (const auto& [matrix, address] : {std::pair{&operands.a, a_home_address}, {&operands.b, b_home_address}}) {
        const auto values = extract_block(*matrix, settings.dimension, {r, c});
        const auto bytes = bytes_of(values);
        blocks.push_back({tile, address, {bytes.begin(), bytes.end()}});
      }
    }
  }
  KIVU_RETURN_IF_ERROR(kivu_runner::check_contributions(
      fmt::format("operand block on its home tile differs from the host reference ({} A and B blocks)", blocks.size()),
      board, blocks, sizeof(float)));
  progress(fmt::format("d2h: {} A and B blocks on their home tiles match the host reference", blocks.size()));
  return {};
}

// The exchange phase of round k: A(r, k) along block row r, B(k, c) along
// block column c.
kivu_runtime::ExchangePhase broadcast_phase(const GemmSettings& settings, std::uint32_t k) {
  const std::uint32_t grid = settings.grid();
  kivu_runtime::ExchangePhase phase{
      .operation = "gemm.broadcast", .kernel = "block_multicast", .metadata = step_metadata(settings, k)};
  for (std::uint32_t r = 0; r < grid; ++r) {
    kivu_runtime::Transfer transfer{block_tile(grid, {r, k}), a_home_address, block_bytes, {}};
    for (std::uint32_t c = 0; c < grid; ++c) transfer.receivers.push_back({block_tile(grid, {r, c}), a_work_address});
    phase.transfers.push_back(std::move(transfer));
  }
  for (std::uint32_t c = 0; c < grid; ++c) {
    kivu_runtime::Transfer transfer{block_tile(grid, {k, c}), b_home_address, block_bytes, {}};
    for (std::uint32_t r = 0; r < grid; ++r) transfer.receivers.push_back({block_tile(grid, {r, c}), b_work_address});
    phase.transfers.push_back(std::move(transfer));
  }
  return phase;
}

// The exchange phase of round k on the ring. Round 0 aligns: tile (r, c)
// receives A(r, j) and B(j, c), j = (r + c) mod grid, from their home
// tiles. Later rounds shift: tile (r, c) receives the A block of its right
// neighbour in the block row and the B block of its neighbour below in the
// block column. Every sender reads what it held before the phase, so the
// blocks rotate in place.
kivu_runtime::ExchangePhase ring_phase(const GemmSettings& settings, std::uint32_t k) {
  const std::uint32_t grid = settings.grid();
  const bool align = k == 0;
  kivu_runtime::ExchangePhase phase{.operation = align ? "gemm.ring_align" : "gemm.ring_shift",
                                    .kernel = "block_send",
                                    .metadata = step_metadata(settings, k)};
  for (std::uint32_t r = 0; r < grid; ++r) {
    for (std::uint32_t c = 0; c < grid; ++c) {
      const std::uint16_t tile = block_tile(grid, {r, c});
      const std::uint32_t j = (r + c) % grid;
      const BlockIndex a_from = align ? BlockIndex{r, j} : BlockIndex{r, (c + 1) % grid};
      const BlockIndex b_from = align ? BlockIndex{j, c} : BlockIndex{(r + 1) % grid, c};
      phase.transfers.push_back(
          {block_tile(grid, a_from), align ? a_home_address : a_work_address, block_bytes, {{tile, a_work_address}}});
      phase.transfers.push_back(
          {block_tile(grid, b_from), align ? b_home_address : b_work_address, block_bytes, {{tile, b_work_address}}});
    }
  }
  return phase;
}

Checked<void> step(const ProgressSink& progress, std::string_view what,
                   std::expected<kivu_runtime::StepReport, ExchangeError> result) {
  KIVU_ASSIGN_OR_RETURN(const auto report, kivu_runner::check(std::move(result), what));
  progress(fmt::format("{}: {}", what, kivu_runtime::describe(report)));
  return {};
}

Checked<void> multiply(kivu_runtime::Board& board, const GemmSettings& settings, const ProgressSink& progress) {
  const std::uint32_t grid = settings.grid();
  const std::vector<std::uint16_t> tiles = grid_tiles(grid);
  constexpr std::uint64_t n = block_size;

  KIVU_RETURN_IF_ERROR(step(progress, "zero accumulators",
                            board.compute({.operation = "gemm.zero",
                                           .kernel = "zero_block",
                                           .metadata = step_metadata(settings, std::nullopt),
                                           .tiles = tiles,
                                           .cycles = n * n / macs_per_cycle + block_overhead_cycles},
                                          zero_accumulator)));
  progress(fmt::format("sync: {}", kivu_runtime::describe(board.sync("gemm.start"))));

  for (std::uint32_t k = 0; k < grid; ++k) {
    const bool ring = settings.schedule == Schedule::Ring;
    const std::string exchange_name = fmt::format("round {} {}", k,
                                                  !ring    ? "broadcast"
                                                  : k == 0 ? "ring align"
                                                           : "ring shift");
    KIVU_RETURN_IF_ERROR(
        step(progress, exchange_name, board.exchange(ring ? ring_phase(settings, k) : broadcast_phase(settings, k))));
    KIVU_RETURN_IF_ERROR(step(progress, fmt::format("round {} block MAC", k),
                              board.compute({.operation = "gemm.block_mac",
                                             .kernel = "block_mac_f32",
                                             .metadata = step_metadata(settings, k),
                                             .tiles = tiles,
                                             .cycles = n * n * n / macs_per_cycle + block_overhead_cycles},
                                            block_mac)));
    progress(fmt::format("round {} sync: {}", k, kivu_runtime::describe(board.sync("gemm.round"))));
  }
  return {};
}

// Reads every output block back by D2H and compares it with the reference.
// Every block is read and compared before the verdict, so that a failure
// reports how much differs.
Checked<std::uint32_t> verify_product(kivu_runtime::Board& board, const GemmSettings& settings,
                                      const std::vector<float>& reference, const ProgressSink& progress) {
  const std::uint32_t grid = settings.grid();
  std::vector<std::byte> host;
  std::vector<std::byte> wanted;
  std::vector<kivu_runner::Readback> readbacks;
  for (std::uint32_t r = 0; r < grid; ++r) {
    for (std::uint32_t c = 0; c < grid; ++c) {
      const std::uint16_t tile = block_tile(grid, {r, c});
      KIVU_ASSIGN_OR_RETURN(
          const auto data, kivu_runner::check(board.d2h(tile, c_address, block_bytes),
                                              fmt::format("d2h of C block {} from tile {}", block_name({r, c}), tile)));
      const std::vector<float> expected = extract_block(reference, settings.dimension, {r, c});
      readbacks.push_back({tile, c_address, host.size(), data.size()});
      host.insert(host.end(), data.begin(), data.end());
      const auto expected_bytes = bytes_of(expected);
      wanted.insert(wanted.end(), expected_bytes.begin(), expected_bytes.end());
    }
  }
  // Every block is compared before the verdict, bit for bit.
  KIVU_RETURN_IF_ERROR(
      kivu_runner::compare_readback(fmt::format("product differs from the host reference ({} C blocks of {} floats)",
                                                grid * grid, block_bytes / sizeof(float)),
                                    board, readbacks, host, wanted, sizeof(float)));
  progress(fmt::format("d2h: {} C blocks match the host reference exactly", grid * grid));
  return grid * grid;
}

Checked<void> verify_tile_memory(kivu_runtime::Board& board, const GemmSettings& settings,
                                 const std::vector<float>& reference, const ProgressSink& progress) {
  const std::uint16_t tile = block_tile(settings.grid(), settings.check_block);
  const std::string what = fmt::format("tile memory of C block {} on tile {} at {:#x}",
                                       block_name(settings.check_block), tile, c_address);
  KIVU_ASSIGN_OR_RETURN(const auto data,
                        kivu_runner::check(board.read_tile_memory(tile, c_address, block_bytes), "read " + what));
  const std::vector<float> expected = extract_block(reference, settings.dimension, settings.check_block);
  KIVU_RETURN_IF_ERROR(
      kivu_runner::compare_tile(what, board, tile, c_address, data, bytes_of(expected), sizeof(float)));
  progress(fmt::format("{}: {} bytes match", what, block_bytes));
  return {};
}

}  // namespace

// =============================================================================
// Layout, operands and reference

std::uint16_t block_tile(std::uint32_t grid, BlockIndex block) noexcept {
  const std::uint32_t stride = kivu_runtime::tile_count / (grid * grid);
  return static_cast<std::uint16_t>((block.row * grid + block.column) * stride);
}

Operands make_operands(std::uint32_t dimension, std::uint64_t seed) {
  Operands operands{dimension, std::vector<float>(std::size_t{dimension} * dimension),
                    std::vector<float>(std::size_t{dimension} * dimension)};
  std::uint64_t state = seed;
  const auto draw = [&] { return static_cast<float>(static_cast<int>(kivu_runner::next_random(state) % 17) - 8); };
  for (float& value : operands.a) value = draw();
  for (float& value : operands.b) value = draw();
  return operands;
}

std::vector<float> reference_product(const Operands& operands) {
  const std::size_t n = operands.dimension;
  std::vector<std::int64_t> a(operands.a.begin(), operands.a.end());
  std::vector<std::int64_t> b(operands.b.begin(), operands.b.end());
  std::vector<float> c(n * n);
  std::vector<std::int64_t> row(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::ranges::fill(row, 0);
    for (std::size_t k = 0; k < n; ++k) {
      const std::int64_t aik = a[i * n + k];
      for (std::size_t j = 0; j < n; ++j) row[j] += aik * b[k * n + j];
    }
    for (std::size_t j = 0; j < n; ++j) c[i * n + j] = static_cast<float>(row[j]);
  }
  return c;
}

std::vector<float> extract_block(const std::vector<float>& matrix, std::uint32_t dimension, BlockIndex block) {
  std::vector<float> out(std::size_t{block_size} * block_size, 0.0f);
  for (std::uint32_t i = 0; i < block_size; ++i) {
    const std::uint32_t row = block.row * block_size + i;
    if (row >= dimension) break;
    for (std::uint32_t j = 0; j < block_size; ++j) {
      const std::uint32_t column = block.column * block_size + j;
      if (column >= dimension) break;
      out[std::size_t{i} * block_size + j] = matrix[std::size_t{row} * dimension + column];
    }
  }
  return out;
}

// =============================================================================
// Running

Checked<GemmOutcome> run_gemm(kivu_runtime::Board& board, const GemmSettings& settings, const ProgressSink& progress) {
  const std::uint32_t grid = settings.grid();
  progress(fmt::format("C = A x B, dimension {}, {} x {} blocks of {} x {} on {} tiles{}", settings.dimension, grid,
                       grid, block_size, block_size, grid * grid,
                       settings.schedule == Schedule::Ring ? ", blocks passed on a ring" : ""));
  const Operands operands = make_operands(settings.dimension, settings.seed);
  const std::vector<float> reference = reference_product(operands);

  KIVU_RETURN_IF_ERROR(deliver_operands(board, settings, operands, progress));
  KIVU_RETURN_IF_ERROR(verify_operands(board, settings, operands, progress));
  KIVU_RETURN_IF_ERROR(multiply(board, settings, progress));
  KIVU_ASSIGN_OR_RETURN(const std::uint32_t verified, verify_product(board, settings, reference, progress));
  KIVU_RETURN_IF_ERROR(verify_tile_memory(board, settings, reference, progress));
  return GemmOutcome{grid, grid * grid, board.cycle(), verified};
}

Checked<kivu_package::ProfileReport> write_gemm_profile(const kivu_runtime::Board& board,
                                                        const std::filesystem::path& path) {
  KIVU_ASSIGN_OR_RETURN(auto report, kivu_runner::check(board.to_profile_report(), "cycle profile"));
  if (auto written = kivu_package::write_profile_file(report, path); !written) {
    return std::unexpected(RunError::failed(
        fmt::format("write cycle profile to {}: {}", path.string(), kivu_package::debug_string(written.error()))));
  }
  return report;
}

}  // namespace kivu_gemm
