// Parsing of the board's environment variables (see environment.hpp,
// host_write_jitter.hpp and fault_injection.hpp).
#include "kivu_runtime/environment.hpp"

#include <charconv>
#include <cstdlib>

#include "kivu_debug_form.hpp"

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

std::expected<std::uint64_t, EnvironmentError> parse_unsigned_decimal(std::string_view variable,
                                                                      std::string_view value, std::uint64_t max) {
  if (const auto parsed = parse_digits(value, 10, max)) return *parsed;
  return std::unexpected(EnvironmentError{std::string(variable), std::string(value),
                                          "an unsigned decimal number no larger than " + std::to_string(max)});
}

std::optional<std::string> environment_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
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
  const auto max_us = environment_value(host_write_jitter_max_us_variable);
  const auto seed = environment_value(host_write_jitter_seed_variable);
  return parse_host_write_jitter(max_us ? std::optional<std::string_view>(*max_us) : std::nullopt,
                                 seed ? std::optional<std::string_view>(*seed) : std::nullopt);
}

// =============================================================================
// Fault injection

std::expected<bool, EnvironmentError> parse_sim_fault(std::optional<std::string_view> value) {
  if (!value || *value == "0") return false;
  if (*value == "1") return true;
  return std::unexpected(EnvironmentError{sim_fault_variable, std::string(*value), "\"0\" or \"1\""});
}

std::expected<bool, EnvironmentError> sim_fault_from_environment() {
  const auto value = environment_value(sim_fault_variable);
  return parse_sim_fault(value ? std::optional<std::string_view>(*value) : std::nullopt);
}

}  // namespace kivu_runtime
