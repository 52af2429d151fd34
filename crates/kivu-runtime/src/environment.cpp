// Parsing of the simulated board's own environment variables (see
// environment.hpp, host_write_jitter.hpp and fault_injection.hpp).
#include "kivu_runtime/environment.hpp"

#include "kivu_base/expected.hpp"
#include "kivu_runtime/board_constants.hpp"
#include "kivu_runtime/fault_injection.hpp"
#include "kivu_runtime/host_write_jitter.hpp"

namespace kivu_runtime {

using kivu_host::board_setting_value;
using kivu_host::setting_view;

// =============================================================================
// Board identity

std::string describe_board(const kivu_host::BoardIdentity& identity) {
  return "board " + std::to_string(identity.board) + " (simulated, " + std::to_string(tile_count) + " tiles)";
}

// =============================================================================
// Host-write jitter

std::expected<HostWriteJitter, kivu_host::EnvironmentError> parse_host_write_jitter(
    std::optional<std::string_view> max_us, std::optional<std::string_view> seed) {
  HostWriteJitter jitter;
  if (max_us) {
    KIVU_ASSIGN_OR_RETURN(const auto parsed, kivu_host::parse_unsigned_decimal(host_write_jitter_max_us_variable,
                                                                               *max_us, max_host_write_jitter_us));
    jitter.max_us = static_cast<std::uint32_t>(parsed);
  }
  if (seed) {
    KIVU_ASSIGN_OR_RETURN(jitter.seed, kivu_host::parse_unsigned_decimal(host_write_jitter_seed_variable, *seed));
  }
  return jitter;
}

std::expected<HostWriteJitter, kivu_host::EnvironmentError> host_write_jitter_from_environment() {
  return parse_host_write_jitter(setting_view(board_setting_value(host_write_jitter_max_us_variable)),
                                 setting_view(board_setting_value(host_write_jitter_seed_variable)));
}

// =============================================================================
// Fault injection

std::expected<bool, kivu_host::EnvironmentError> parse_sim_fault(std::optional<std::string_view> value) {
  if (!value || *value == "0") return false;
  if (*value == "1") return true;
  return std::unexpected(kivu_host::EnvironmentError{sim_fault_variable, std::string(*value), "\"0\" or \"1\""});
}

std::expected<bool, kivu_host::EnvironmentError> parse_sim_fault_on_board(std::optional<std::string_view> fault,
                                                                          std::optional<std::string_view> fault_board,
                                                                          const kivu_host::BoardIdentity& identity) {
  KIVU_ASSIGN_OR_RETURN(const bool everywhere, parse_sim_fault(fault));
  if (!fault_board) return everywhere;
  KIVU_ASSIGN_OR_RETURN(const auto board,
                        kivu_host::parse_board_number(sim_fault_board_variable, fault_board, identity.boards));
  return everywhere || board == identity.board;
}

std::expected<bool, kivu_host::EnvironmentError> sim_fault_from_environment(const kivu_host::BoardIdentity& identity) {
  return parse_sim_fault_on_board(setting_view(board_setting_value(sim_fault_variable)),
                                  setting_view(board_setting_value(sim_fault_board_variable)), identity);
}

}  // namespace kivu_runtime
