#include "compiled_add.hpp"

#include <bit>
#include <cstring>
#include <span>
#include <vector>

#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_runner/pattern.hpp"
#include "kivu_runner/verify.hpp"
#include "segmented_compiler.hpp"

namespace kivu_hardware_e2e {

using kivu_exchange::ExchangeError;
using kivu_runner::Checked;
using kivu_runner::Progress;
using kivu_runtime::Board;

namespace {

// 100 elements per tile on all tiles but the last, which gets 63.
constexpr std::uint32_t elements = 1472 * 100 - 37;
// b's shards live half the board away from a's.
constexpr std::uint16_t b_tile_offset = 736;

// Quarter-integer values from -1000 to 1000: sums of two are exact floats,
// so the host's add is the device's add bit for bit.
std::vector<float> tensor(std::uint64_t salt) {
  std::vector<float> values(elements);
  for (std::uint32_t i = 0; i < elements; ++i) {
    const auto low = std::to_integer<unsigned>(kivu_runner::pattern_byte(salt, 0, 2ull * i));
    const auto high = std::to_integer<unsigned>(kivu_runner::pattern_byte(salt, 0, 2ull * i + 1));
    values[i] = static_cast<float>(static_cast<int>(((high << 8) | low) % 8001u) - 4000) * 0.25f;
  }
  return values;
}

std::span<const std::byte> element_bytes_of(const std::vector<float>& values, const Segment& segment) {
  return std::as_bytes(std::span(values))
      .subspan(std::size_t{segment.first_element} * element_bytes, std::size_t{segment.elements} * element_bytes);
}

Checked<void> load(Board& board, const Progress& progress, std::string_view name, const std::vector<Segment>& loads,
                   const std::vector<float>& values) {
  std::size_t bytes = 0;
  for (const Segment& segment : loads) {
    auto written = kivu_runner::check(board.h2d(segment.tile, segment.address, element_bytes_of(values, segment)),
                                      fmt::format("h2d of {} elements {}.. to tile {} at {}", name,
                                                  segment.first_element, segment.tile,
                                                  kivu_runner::hex(segment.address)));
    if (!written) return written;
    bytes += std::size_t{segment.elements} * element_bytes;
  }
  progress.line(fmt::format("h2d of {}: {} segments, {} bytes", name, loads.size(), bytes));
  // Read back before b is sent to a's tiles: a shard corrupted on its own
  // tile is found there, not on the tile that adds it.
  std::vector<kivu_runner::Contribution> written;
  written.reserve(loads.size());
  for (const Segment& segment : loads) {
    const auto data = element_bytes_of(values, segment);
    written.push_back({segment.tile, segment.address, {data.begin(), data.end()}});
  }
  return kivu_runner::check_contributions(fmt::format("{} as written to its tiles", name), board, written,
                                          element_bytes);
}

// Says what the compiler made of the add, and fails when its layout spans
// no arena boundary (the case this scenario is there to exercise).
Checked<void> describe_program(const Program& program, const Progress& progress) {
  std::size_t runs = 0;
  for (const auto& [tile, tile_runs] : program.runs) runs += tile_runs.size();
  std::size_t spanning = 0;
  for (const auto* placement : {&program.a, &program.b, &program.staged_b, &program.out}) {
    progress.line(fmt::format("compiled {}: {} elements in {} segments, {} of {} shards span arena boundaries",
                              placement->name, placement->elements, placement->segments.size(),
                              placement->shards_spanning_arenas, placement->shards));
    spanning += placement->shards_spanning_arenas;
  }
  progress.line(fmt::format(
      "compiled program: {} exchange phase(s) of {} transfers, add on {} tiles in {} runs", program.exchanges.size(),
      program.exchanges.empty() ? 0 : program.exchanges.front().transfers.size(), program.add.tiles.size(), runs));
  if (spanning == 0) {
    return std::unexpected(kivu_runner::RunError::failed("the compiled layout spans no arena boundary"));
  }
  return {};
}

// The add itself, on the tiles that hold runs of it.
Checked<void> add_on_tiles(Board& board, const Progress& progress, const Program& program) {
  const auto& tile_runs = program.runs;
  auto report = kivu_runner::run_checked(
      progress, "elementwise add",
      board.compute(program.add, [&](kivu_runtime::TileContext& tile) -> std::expected<void, ExchangeError> {
        const auto found = tile_runs.find(tile.logical());
        if (found == tile_runs.end()) return {};
        std::uint64_t cycles = 0;
        for (const AddRun& run : found->second) {
          KIVU_ASSIGN_OR_RETURN(const auto x, tile.array<float>(run.a, run.elements));
          KIVU_ASSIGN_OR_RETURN(const auto y, tile.array<float>(run.b, run.elements));
          KIVU_ASSIGN_OR_RETURN(const auto out, tile.array<float>(run.out, run.elements));
          for (std::uint32_t i = 0; i < run.elements; ++i) out[i] = x[i] + y[i];
          cycles += run.elements + 4;  // per element, plus setting up the run
        }
        tile.cycles = cycles;
        return {};
      }));
  if (!report) return std::unexpected(report.error());
  progress.line(kivu_runtime::describe(board.sync()));
  return {};
}

// Reads `out` back from its segments and compares its bits with a + b
// computed on the host.
Checked<void> check_out(Board& board, const Progress& progress, const Program& program, const std::vector<float>& a,
                        const std::vector<float>& b) {
  std::vector<float> out(elements, 0.0f);
  for (const Segment& segment : program.out_stores) {
    auto read = kivu_runner::check(
        board.d2h_into(segment.tile, segment.address,
                       std::as_writable_bytes(std::span(out))
                           .subspan(std::size_t{segment.first_element} * element_bytes,
                                    std::size_t{segment.elements} * element_bytes)),
        fmt::format("d2h of out elements {}.. from tile {}", segment.first_element, segment.tile));
    if (!read) return read;
  }
  progress.line(fmt::format("d2h of out: {} segments, {} bytes", program.out_stores.size(),
                            std::size_t{elements} * element_bytes));

  std::vector<std::uint32_t> got(elements);
  std::vector<std::uint32_t> expected(elements);
  for (std::uint32_t i = 0; i < elements; ++i) {
    got[i] = std::bit_cast<std::uint32_t>(out[i]);
    expected[i] = std::bit_cast<std::uint32_t>(a[i] + b[i]);
  }
  std::vector<kivu_runner::Readback> readbacks;
  for (const Segment& segment : program.out_stores) {
    readbacks.push_back({segment.tile, segment.address, std::size_t{segment.first_element} * element_bytes,
                         std::size_t{segment.elements} * element_bytes});
  }
  if (auto same = kivu_runner::compare_readback("out = a + b (float bits)", board, readbacks,
                                                std::as_bytes(std::span(got)), std::as_bytes(std::span(expected)), 4);
      !same) {
    return same;
  }
  progress.line(fmt::format("out = a + b matches the host for all {} elements", elements));
  return {};
}

}  // namespace

Checked<void> run_compiled_add(Board& board, const Progress& progress) {
  auto program = compile_elementwise_add(AddProblem{.elements = elements,
                                                    .tiles = kivu_runtime::tile_count,
                                                    .b_tile_offset = b_tile_offset,
                                                    .layout = segmented_layout()});
  if (!program) return std::unexpected(kivu_runner::RunError::failed("compile the add: " + program.error().message));
  KIVU_RETURN_IF_ERROR(describe_program(*program, progress));

  const std::vector<float> a = tensor(0x612d74656e736f72);  // "a-tensor"
  const std::vector<float> b = tensor(0x622d74656e736f72);  // "b-tensor"
  if (auto done = load(board, progress, "a", program->a_loads, a); !done) return done;
  if (auto done = load(board, progress, "b", program->b_loads, b); !done) return done;

  for (const kivu_runtime::ExchangePhase& phase : program->exchanges) {
    KIVU_RETURN_IF_ERROR(kivu_runner::run_checked(progress, phase.kernel, board.exchange(phase)));
  }
  progress.line(kivu_runtime::describe(board.sync()));
  KIVU_RETURN_IF_ERROR(add_on_tiles(board, progress, *program));
  return check_out(board, progress, *program, a, b);
}

}  // namespace kivu_hardware_e2e
