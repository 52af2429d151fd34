// Reading the simulated board's settings from environment variables.
//
// The board is configured by these variables:
//   KIVU_HOST_WRITE_JITTER_MAX_US  delay bound of each host write, microseconds
//                                  (host_write_jitter.hpp)
//   KIVU_HOST_WRITE_JITTER_SEED    seed of the delays drawn
//   KIVU_SIM_FAULT                 "1" injects one bit fault, "0" none
//                                  (fault_injection.hpp)
//   KIVU_SIM_FAULT_BOARD           the one board that gets the fault
//   KIVU_SIM_BOARDS                simulated boards on the host, default 1
//                                  (kivu_host/board_identity.hpp)
//   KIVU_BOARD                     the run's board, default 0
// A variable set to the empty string counts as unset. The values are read
// with the host's parser (kivu_host/settings.hpp): a value that does not
// parse is an EnvironmentError naming the variable and its value.
#pragma once

#include <string>

#include "kivu_host/board_identity.hpp"
#include "kivu_host/settings.hpp"

namespace kivu_runtime {

// The board's code and the runners built on it name the host's settings
// types and parser as the board's own.
using kivu_host::BoardIdentity;
using kivu_host::environment_value;
using kivu_host::EnvironmentError;
using kivu_host::parse_digits;
using kivu_host::parse_unsigned_decimal;

// How a runner names its board in its first line, e.g.
// "board 0 (simulated, 1472 tiles)".
[[nodiscard]] std::string describe_board(const BoardIdentity& identity);

}  // namespace kivu_runtime
