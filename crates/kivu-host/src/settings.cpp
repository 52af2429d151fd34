// Reading variables and their numbers (see kivu_host/settings.hpp).
#include "kivu_host/settings.hpp"

#include <cstdlib>

#include "kivu_base/debug_form.hpp"
#include "kivu_base/number.hpp"

namespace kivu_host {

std::string EnvironmentError::message() const {
  std::string line = "invalid " + variable + " value ";
  kivu_base::append_debug_quoted(line, value);
  line += ": expected ";
  line += expected;
  return line;
}

std::expected<std::uint64_t, EnvironmentError> parse_unsigned_decimal(std::string_view variable, std::string_view value,
                                                                      std::uint64_t max) {
  if (const auto parsed = kivu_base::parse_digits(value, 10, max)) return *parsed;
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
