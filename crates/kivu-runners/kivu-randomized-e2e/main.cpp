// kivu-randomized-e2e: the random static exchange graph of KIVU_RANDOM_SEED
// (an unsigned 64-bit decimal, required), see random_graph.hpp. The tiles
// taking part initialise their windows in a compute step, the phases run
// with a synchronisation after each, and the host reads every window back
// and compares it with the host model. Exit 0 when everything matched, 1 on
// a mismatch or a board error, 2 on bad input.
#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_runner/environment.hpp"
#include "kivu_runner/pattern.hpp"
#include "kivu_runner/runner_help.hpp"
#include "kivu_runner/runner_main.hpp"
#include "kivu_runner/verify.hpp"
#include "random_graph.hpp"

namespace {

using kivu_runner::Checked;
using namespace kivu_randomized_e2e;

constexpr const char* seed_variable = "KIVU_RANDOM_SEED";
constexpr std::uint64_t window_salt = 0x72616e646f6d2d77;  // "random-w"

Checked<void> run_graph(kivu_runtime::Board& board, const kivu_runner::Progress& progress, const RandomGraph& graph) {
  std::size_t transfers = 0;
  std::size_t receivers = 0;
  std::uint64_t bytes = 0;
  for (const auto& phase : graph.phases) {
    transfers += phase.transfers.size();
    for (const auto& transfer : phase.transfers) {
      receivers += transfer.receivers.size();
      bytes += std::uint64_t{transfer.size} * transfer.receivers.size();
    }
  }
  progress.line(fmt::format("seed {}: {} tiles, {} phases, {} transfers to {} receivers, {} bytes, fingerprint {}",
                            graph.seed, graph.tiles.size(), graph.phases.size(), transfers, receivers, bytes,
                            kivu_runner::hex(fingerprint(graph))));

  // Every window starts with its tile's pattern, written by the tile.
  Windows windows;
  for (const std::uint16_t tile : graph.tiles) windows[tile] = kivu_runner::pattern(window_salt, tile, window_bytes);
  kivu_runtime::ComputeStep initialise{
      .operation = "initialise", .kernel = "pattern", .tiles = graph.tiles, .cycles = window_bytes / 4};
  auto initialised = kivu_runner::run_checked(
      progress,
      fmt::format("initialise {} bytes at {} on {} tiles", window_bytes, kivu_runner::hex(window_address),
                  graph.tiles.size()),
      board.compute(initialise,
                    [](kivu_runtime::TileContext& tile) -> std::expected<void, kivu_exchange::ExchangeError> {
                      KIVU_ASSIGN_OR_RETURN(const auto window, tile.bytes(window_address, window_bytes));
                      kivu_runner::fill_pattern(window, window_salt, tile.logical());
                      return {};
                    }));
  if (!initialised) return std::unexpected(initialised.error());
  progress.line(kivu_runtime::describe(board.sync()));
  // Each window is read back before the phases pass it around, so that a
  // value corrupted by its own tile is found there, not where it was sent.
  std::vector<kivu_runner::Contribution> own;
  for (const auto& [tile, expected] : windows) own.push_back({tile, window_address, expected});
  KIVU_RETURN_IF_ERROR(kivu_runner::check_contributions(
      fmt::format("windows at {} before the phases", kivu_runner::hex(window_address)), board, own));

  for (std::size_t p = 0; p < graph.phases.size(); ++p) {
    const auto& phase = graph.phases[p];
    KIVU_RETURN_IF_ERROR(kivu_runner::run_checked(
        progress, fmt::format("phase {}: {} transfers", p, phase.transfers.size()), board.exchange(phase)));
    apply(phase, windows);
    progress.line(kivu_runtime::describe(board.sync()));
  }

  std::vector<std::byte> host;
  std::vector<std::byte> reference;
  std::vector<kivu_runner::Readback> readbacks;
  for (const auto& [tile, expected] : windows) {
    KIVU_ASSIGN_OR_RETURN(const auto read, kivu_runner::check(board.d2h(tile, window_address, window_bytes),
                                                              fmt::format("d2h of tile {}", tile)));
    readbacks.push_back({tile, window_address, host.size(), read.size()});
    host.insert(host.end(), read.begin(), read.end());
    reference.insert(reference.end(), expected.begin(), expected.end());
  }
  KIVU_RETURN_IF_ERROR(kivu_runner::compare_readback(fmt::format("windows at {}", kivu_runner::hex(window_address)),
                                                     board, readbacks, host, reference));
  progress.line(fmt::format("d2h of {} windows of {} bytes matches the host model", windows.size(), window_bytes));
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const kivu_runner::HelpVariable own[] = {
      {seed_variable, fmt::format("0 to {}; required", UINT64_MAX), "the seed of the random exchange graph"},
  };
  return kivu_runner::run_runner_with_help(
      "kivu-randomized-e2e",
      "Runs the random static exchange graph of a seed: the tiles taking part\n"
      "initialise their windows, the phases run, and the host reads every\n"
      "window back and compares it with its model.",
      own, argc, argv, [](const kivu_runner::Progress& progress) -> Checked<void> {
        KIVU_ASSIGN_OR_RETURN(const auto seed, kivu_runner::required_decimal(seed_variable));
        KIVU_ASSIGN_OR_RETURN(const auto options, kivu_runner::board_options(progress));
        kivu_runtime::Board board(options);
        return run_graph(board, progress, generate_graph(seed));
      });
}
