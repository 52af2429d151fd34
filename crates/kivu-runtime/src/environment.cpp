// Parsing of the board's environment variables (see environment.hpp,
// board_identity.hpp, host_write_jitter.hpp and fault_injection.hpp).
#include "kivu_runtime/environment.hpp"

#include <charconv>
#include <cstdlib>

#include "kivu_debug_form.hpp"

#include "kivu_runtime/board_constants.hpp"
#include "kivu_runtime/board_identity.hpp"
#include "kivu_runtime/fault_injection.hpp"
#include "kivu_runtime/host_write_jitter.hpp"

namespace kivu_runtime {

// =============================================================================
// Errors

std::string EnvironmentError::message() const {
  std::string line = "invalid " + variable + " value ";
  kivu_debug_form::append_debug_quoted(line, value);
  line += ": expected ";
  line += expected;
  return line;
}

// =============================================================================
// Generic parsing

std::optional<std::uint64_t> parse_digits(std::string_view digits, int base, std::uint64_t max) noexcept {
  // from_chars takes no sign of an unsigned type, no blank and no prefix,
  // and reports a value beyond 64 bits; only the end of the text is left to
  // check.
  std::uint64_t value = 0;
  const char* const end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value, base);
  if (error != std::errc{} || stop != end || value > max) return std::nullopt;
  return value;
}

std::expected<std::uint64_t, EnvironmentError> parse_unsigned_decimal(std::string_view variable, std::string_view value,
                                                                      std::uint64_t max) {
  if (const auto parsed = parse_digits(value, 10, max)) return *parsed;
  return std::unexpected(EnvironmentError{std::string(variable), std::string(value),
                                          "an unsigned decimal number no larger than " + std::to_string(max)});
}

std::optional<std::string> environment_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> board_setting_value(const char* name) {
  auto value = environment_value(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

namespace {

std::optional<std::string_view> view(const std::optional<std::string>& value) {
  return value ? std::optional<std::string_view>(*value) : std::nullopt;
}

}  // namespace

// =============================================================================
// Board identity

std::expected<std::uint32_t, EnvironmentError> parse_sim_boards(std::optional<std::string_view> value) {
  if (!value) return 1;
  const auto boards = parse_digits(*value, 10, max_sim_boards);
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
  const auto board = boards == 0 ? std::nullopt : parse_digits(*value, 10, boards - 1);
  if (!board) {
    const std::string range = boards <= 1 ? "0" : "0 to " + std::to_string(boards - 1);
    return std::unexpected(EnvironmentError{
        std::string(variable), std::string(*value),
        "a board of this host: " + range + " (" + sim_boards_variable + " is " + std::to_string(boards) + ")"});
  }
  return static_cast<std::uint32_t>(*board);
}

std::expected<BoardIdentity, EnvironmentError> parse_board_identity(std::optional<std::string_view> sim_boards,
                                                                    std::optional<std::string_view> board) {
  BoardIdentity identity;
  auto boards = parse_sim_boards(sim_boards);
  if (!boards) return std::unexpected(boards.error());
  identity.boards = *boards;
  auto number = parse_board_number(board_variable, board, identity.boards);
  if (!number) return std::unexpected(number.error());
  identity.board = *number;
  return identity;
}

std::expected<std::uint32_t, EnvironmentError> sim_boards_from_environment() {
  return parse_sim_boards(view(board_setting_value(sim_boards_variable)));
}

std::expected<BoardIdentity, EnvironmentError> board_identity_from_environment() {
  return parse_board_identity(view(board_setting_value(sim_boards_variable)),
                              view(board_setting_value(board_variable)));
}

std::string board_lock_name(std::uint32_t board, std::string_view prefix) {
  std::string name(prefix);
  name += '-';
  name += std::to_string(board);
  return name;
}

std::string board_lock_display(std::string_view name) { return "@" + std::string(name); }

std::string describe_board(const BoardIdentity& identity) {
  return "board " + std::to_string(identity.board) + " (simulated, " + std::to_string(tile_count) + " tiles)";
}

// =============================================================================
// Host-write jitter

std::expected<HostWriteJitter, EnvironmentError> parse_host_write_jitter(std::optional<std::string_view> max_us,
                                                                         std::optional<std::string_view> seed) {
  HostWriteJitter jitter;
  if (max_us) {
    auto parsed = parse_unsigned_decimal(host_write_jitter_max_us_variable, *max_us, max_host_write_jitter_us);
    if (!parsed) return std::unexpected(parsed.error());
    jitter.max_us = static_cast<std::uint32_t>(*parsed);
  }
  if (seed) {
    auto parsed = parse_unsigned_decimal(host_write_jitter_seed_variable, *seed);
    if (!parsed) return std::unexpected(parsed.error());
    jitter.seed = *parsed;
  }
  return jitter;
}

std::expected<HostWriteJitter, EnvironmentError> host_write_jitter_from_environment() {
  return parse_host_write_jitter(view(board_setting_value(host_write_jitter_max_us_variable)),
                                 view(board_setting_value(host_write_jitter_seed_variable)));
}

// =============================================================================
// Fault injection

std::expected<bool, EnvironmentError> parse_sim_fault(std::optional<std::string_view> value) {
  if (!value || *value == "0") return false;
  if (*value == "1") return true;
  return std::unexpected(EnvironmentError{sim_fault_variable, std::string(*value), "\"0\" or \"1\""});
}

std::expected<bool, EnvironmentError> parse_sim_fault_on_board(std::optional<std::string_view> fault,
                                                               std::optional<std::string_view> fault_board,
                                                               const BoardIdentity& identity) {
  auto everywhere = parse_sim_fault(fault);
  if (!everywhere) return everywhere;
  if (!fault_board) return *everywhere;
  auto board = parse_board_number(sim_fault_board_variable, fault_board, identity.boards);
  if (!board) return std::unexpected(board.error());
  return *everywhere || *board == identity.board;
}

std::expected<bool, EnvironmentError> sim_fault_from_environment(const BoardIdentity& identity) {
  return parse_sim_fault_on_board(view(board_setting_value(sim_fault_variable)),
                                  view(board_setting_value(sim_fault_board_variable)), identity);
}

}  // namespace kivu_runtime
