// The number parser and the reading of variables (see kivu_host/settings.hpp).
#include "kivu_host/settings.hpp"

#include <charconv>
#include <cstdlib>

#include "kivu_debug_form.hpp"

namespace kivu_host {

std::string EnvironmentError::message() const {
  std::string line = "invalid " + variable + " value ";
  kivu_debug_form::append_debug_quoted(line, value);
  line += ": expected ";
  line += expected;
  return line;
}

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

}  // namespace kivu_host
