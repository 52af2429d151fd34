// Which of the host's boards a run is on.
//
// A host has boards 0 .. N-1. With no accelerator attached, the host has
// KIVU_SIM_BOARDS simulated boards (1 .. 64, default 1); every run still
// builds its own board model, so the number only decides which boards exist.
// A runner runs on board KIVU_BOARD (default 0); a board the host does not
// have is bad input. Fault injection can be aimed at one board with
// KIVU_SIM_FAULT_BOARD (see fault_injection.hpp). Each board has its own
// host-wide lock file.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "kivu_runtime/environment.hpp"

namespace kivu_runtime {

// Names of the variables read by board_identity_from_environment.
inline constexpr const char* sim_boards_variable = "KIVU_SIM_BOARDS";
inline constexpr const char* board_variable = "KIVU_BOARD";

// Most simulated boards a host can have.
inline constexpr std::uint32_t max_sim_boards = 64;

// A run's board among the host's.
struct BoardIdentity {
  std::uint32_t board = 0;   // this run's board, below `boards`
  std::uint32_t boards = 1;  // boards on the host

  bool operator==(const BoardIdentity&) const = default;
};

// The host's number of simulated boards from KIVU_SIM_BOARDS's value
// (absent: 1): an unsigned decimal from 1 to max_sim_boards.
[[nodiscard]] std::expected<std::uint32_t, EnvironmentError> parse_sim_boards(std::optional<std::string_view> value);

// A board of a host with `boards` boards, from the value of `variable`
// (absent: board 0): an unsigned decimal below `boards`.
[[nodiscard]] std::expected<std::uint32_t, EnvironmentError> parse_board_number(std::string_view variable,
                                                                                std::optional<std::string_view> value,
                                                                                std::uint32_t boards);

// The run's board from the values of KIVU_SIM_BOARDS and KIVU_BOARD.
[[nodiscard]] std::expected<BoardIdentity, EnvironmentError> parse_board_identity(
    std::optional<std::string_view> sim_boards, std::optional<std::string_view> board);

// The same from the process environment (empty values count as unset).
[[nodiscard]] std::expected<std::uint32_t, EnvironmentError> sim_boards_from_environment();
[[nodiscard]] std::expected<BoardIdentity, EnvironmentError> board_identity_from_environment();

// The host-wide lock file of board 0, which a suite holds while a runner
// uses the board.
inline constexpr const char* device_lock_file = "/tmp/kivu-device.lock";

// The lock file of `board`, given the lock file `board_0` of board 0: the
// same for board 0; for board N "-N" goes before a final ".lock", or at the
// end when there is none (/tmp/kivu-device.lock -> /tmp/kivu-device-3.lock).
[[nodiscard]] std::string lock_file_of_board(std::uint32_t board, std::string_view board_0 = device_lock_file);

// How a runner names its board in its first line, e.g.
// "board 0 (simulated, 1472 tiles)".
[[nodiscard]] std::string describe_board(const BoardIdentity& identity);

}  // namespace kivu_runtime
