// Which of the host's boards a run is on, and the boards' host-wide locks.
//
// A host has boards 0 .. N-1. With no accelerator attached, the host has
// KIVU_SIM_BOARDS simulated boards (1 .. 64, default 1); every run still
// builds its own board model, so the number only decides which boards exist.
// A runner runs on board KIVU_BOARD (default 0); a board the host does not
// have is bad input. Fault injection on the simulated board can be aimed at
// one board with KIVU_SIM_FAULT_BOARD (kivu_runtime/fault_injection.hpp).
// Each board has its own host-wide lock, a name in Linux's abstract
// Unix-socket namespace (taking it, and who holds it: kivu_host/board_lock.hpp).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "kivu_host/settings.hpp"

namespace kivu_host {

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

// A host's boards as messages name them: "0" for one board, else "0 to N-1",
// followed by " (KIVU_SIM_BOARDS is N)".
[[nodiscard]] std::string host_boards_text(std::uint32_t boards);

// The message for a board the host lacks: "board B (SOURCE) is not a board
// of this host: its boards are " and host_boards_text(boards). `source` says
// where the number came from (a variable's name, or its name and value).
[[nodiscard]] std::string not_a_host_board(std::uint32_t board, std::string_view source, std::uint32_t boards);

// The run's board from the values of KIVU_SIM_BOARDS and KIVU_BOARD.
[[nodiscard]] std::expected<BoardIdentity, EnvironmentError> parse_board_identity(
    std::optional<std::string_view> sim_boards, std::optional<std::string_view> board);

// The same from the process environment (empty values count as unset).
[[nodiscard]] std::expected<std::uint32_t, EnvironmentError> sim_boards_from_environment();
[[nodiscard]] std::expected<BoardIdentity, EnvironmentError> board_identity_from_environment();

// The host-wide lock of a board is a name in the abstract Unix-socket
// namespace (no file: nothing in the file system can be removed or replaced
// to break it). Binding a socket to the name holds the board; the kernel
// drops the name when the last process that has the socket open lets go.
// Board N's name is the prefix, "-" and N: kivu-board-0, kivu-board-1, ...
inline constexpr const char* board_lock_prefix = "kivu-board";

// The lock name of `board` under `prefix`, without the leading NUL byte of
// the abstract namespace.
[[nodiscard]] std::string board_lock_name(std::uint32_t board, std::string_view prefix = board_lock_prefix);

// How tools show a lock name: "@" for the leading NUL byte, as the kernel's
// /proc/net/unix and ss do (@kivu-board-3).
[[nodiscard]] std::string board_lock_display(std::string_view name);

}  // namespace kivu_host
