// Reading the simulated board's settings from environment variables.
//
// The board is configured by these variables:
//   KIVU_HOST_WRITE_JITTER_MAX_US  delay bound of each host write, microseconds
//                                  (host_write_jitter.hpp)
//   KIVU_HOST_WRITE_JITTER_SEED    seed of the delays drawn
//   KIVU_SIM_FAULT                 "1" injects one bit fault, "0" none
//                                  (fault_injection.hpp)
//   KIVU_SIM_FAULT_BOARD           the one board that gets the fault
//   KIVU_SIM_FAULT_TILE            intermittently bad tiles,
//                                  BOARD:TILE:PROBABILITY[,...]
//   KIVU_SIM_FAULT_SEED            seed of the bad tiles' draw
//   KIVU_SIM_BOARDS                simulated boards on the host, default 1
//                                  (kivu_host/board_identity.hpp)
//   KIVU_BOARD                     the run's board, default 0
// A variable set to the empty string counts as unset. The values are read
// with the host's parser (kivu_host/settings.hpp): a value that does not
// parse is a kivu_host::EnvironmentError naming the variable and its value.
#pragma once

#include <string>

#include "kivu_host/board_identity.hpp"
#include "kivu_host/settings.hpp"

namespace kivu_runtime {

// How a runner names its board in its first line, e.g.
// "board 0 (simulated, 1472 tiles)".
[[nodiscard]] std::string describe_board(const kivu_host::BoardIdentity& identity);

}  // namespace kivu_runtime
