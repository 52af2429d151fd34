// The scenarios of kivu-host-e2e, each run on a board and checked against
// references computed on the host.
//
// Round trip: the host writes a pattern distinct per tile to every tile
// (H2D), reads each back into its own range of one host buffer, with guard
// bytes between the ranges (D2H), and the tiles' memory is also read
// directly: a transfer routed to the wrong tile, a wrong address or an
// overrun of a host range all show up as mismatches.
//
// Initialised D2H: a compute step writes the pattern on each tile, from its
// own tile number; the host reads it back as above.
//
// Relay: the data (written by the host, or initialised by the device) moves
// from the tile to a partner tile half the board away in one timed exchange
// phase; the host reads it from the partner, and the source must still hold
// it.
//
// Compute relay: H2D to the tile, a compute step transforms the bytes there,
// an exchange moves them to the partner, a second compute step transforms
// them again, and the host reads the result back (D2H).
#pragma once

#include "host_settings.hpp"
#include "kivu_runner/progress.hpp"
#include "kivu_runtime/board.hpp"

namespace kivu_host_e2e {

// The tile that a relay from `tile` sends to: half the board away.
[[nodiscard]] constexpr std::uint16_t relay_partner(std::uint16_t tile) noexcept {
  return static_cast<std::uint16_t>((tile + kivu_runtime::tile_count / 2u) % kivu_runtime::tile_count);
}

// Runs the scenario of `settings`; a failure names the step and the tile.
[[nodiscard]] kivu_runner::Checked<void> run_scenario(kivu_runtime::Board& board, const HostSettings& settings,
                                                      const kivu_runner::Progress& progress);

}  // namespace kivu_host_e2e
