// The run's board and the boards' lock names (see kivu_host/board_identity.hpp).
#include "kivu_host/board_identity.hpp"

#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"

namespace kivu_host {

std::expected<std::uint32_t, EnvironmentError> parse_sim_boards(std::optional<std::string_view> value) {
  if (!value) return 1;
  const auto boards = kivu_base::parse_digits(*value, 10, max_sim_boards);
  if (!boards || *boards == 0) {
    return std::unexpected(EnvironmentError{sim_boards_variable, std::string(*value),
                                            "an unsigned decimal number from 1 to " + std::to_string(max_sim_boards)});
  }
  return static_cast<std::uint32_t>(*boards);
}

std::expected<std::uint32_t, EnvironmentError> parse_board_number(std::string_view variable,
                                                                  std::optional<std::string_view> value,
                                                                  std::uint32_t boards) {
  if (!value) return 0;
  const auto board = boards == 0 ? std::nullopt : kivu_base::parse_digits(*value, 10, boards - 1);
  if (!board) {
    return std::unexpected(EnvironmentError{std::string(variable), std::string(*value),
                                            "a board of this host: " + host_boards_text(boards)});
  }
  return static_cast<std::uint32_t>(*board);
}

std::string host_boards_text(std::uint32_t boards) {
  const std::string range = boards <= 1 ? "0" : "0 to " + std::to_string(boards - 1);
  return range + " (" + sim_boards_variable + " is " + std::to_string(boards) + ")";
}

std::string not_a_host_board(std::uint32_t board, std::string_view source, std::uint32_t boards) {
  return "board " + std::to_string(board) + " (" + std::string(source) +
         ") is not a board of this host: its boards are " + host_boards_text(boards);
}

std::expected<BoardIdentity, EnvironmentError> parse_board_identity(std::optional<std::string_view> sim_boards,
                                                                    std::optional<std::string_view> board) {
  BoardIdentity identity;
  KIVU_ASSIGN_OR_RETURN(identity.boards, parse_sim_boards(sim_boards));
  KIVU_ASSIGN_OR_RETURN(identity.board, parse_board_number(board_variable, board, identity.boards));
  return identity;
}

std::expected<std::uint32_t, EnvironmentError> sim_boards_from_environment() {
  return parse_sim_boards(setting_view(board_setting_value(sim_boards_variable)));
}

std::expected<BoardIdentity, EnvironmentError> board_identity_from_environment() {
  return parse_board_identity(setting_view(board_setting_value(sim_boards_variable)),
                              setting_view(board_setting_value(board_variable)));
}

std::string board_lock_name(std::uint32_t board, std::string_view prefix) {
  std::string name(prefix);
  name += '-';
  name += std::to_string(board);
  return name;
}

std::string board_lock_display(std::string_view name) { return "@" + std::string(name); }

}  // namespace kivu_host
