#include "kivu_runner/environment.hpp"

#include <algorithm>
#include <string_view>

#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"
#include "kivu_runner/progress.hpp"
#include "kivu_runtime/board_constants.hpp"

namespace kivu_runner {

using kivu_host::EnvironmentError;

namespace {

std::string list_expectation(std::uint64_t max) {
  return "unsigned decimal numbers no larger than " + std::to_string(max) +
         " separated by \",\" without blanks or empty entries";
}

}  // namespace

Checked<std::uint64_t> decimal_or(const char* variable, std::uint64_t fallback, std::uint64_t max) {
  const auto value = kivu_host::environment_value(variable);
  if (!value) return fallback;
  KIVU_ASSIGN_OR_RETURN(const auto parsed, kivu_host::parse_unsigned_decimal(variable, *value, max));
  return parsed;
}

Checked<std::uint64_t> required_decimal(const char* variable, std::uint64_t max) {
  const auto value = kivu_host::environment_value(variable);
  if (!value) {
    return std::unexpected(
        RunError::missing(variable, "an unsigned decimal number no larger than " + std::to_string(max)));
  }
  KIVU_ASSIGN_OR_RETURN(const auto parsed, kivu_host::parse_unsigned_decimal(variable, *value, max));
  return parsed;
}

Checked<std::uint32_t> hex_address_or(const char* variable, std::uint32_t fallback, std::uint64_t limit) {
  const auto value = kivu_host::environment_value(variable);
  if (!value) return fallback;
  const auto fail = [&] {
    return std::unexpected(RunError(
        EnvironmentError{variable, *value, "a hexadecimal address with the prefix \"0x\" below " + hex(limit)}));
  };
  const std::string_view text = *value;
  if (!text.starts_with("0x") || limit == 0) return fail();
  // A value is returned in 32 bits, so nothing above them is accepted.
  const auto parsed = kivu_base::parse_digits(text.substr(2), 16, std::min<std::uint64_t>(limit - 1, UINT32_MAX));
  if (!parsed) return fail();
  return static_cast<std::uint32_t>(*parsed);
}

Checked<bool> flag(const char* variable) {
  const auto value = kivu_host::environment_value(variable);
  if (!value || *value == "0") return false;
  if (*value == "1") return true;
  return std::unexpected(RunError(EnvironmentError{variable, *value, "\"1\" or \"0\""}));
}

Checked<std::optional<std::vector<std::uint64_t>>> decimal_list(const char* variable, std::uint64_t max) {
  const auto value = kivu_host::environment_value(variable);
  if (!value) return std::optional<std::vector<std::uint64_t>>{};
  std::vector<std::uint64_t> numbers;
  std::string_view rest = *value;
  while (true) {
    const std::size_t comma = rest.find(',');
    auto parsed = kivu_host::parse_unsigned_decimal(variable, rest.substr(0, comma), max);
    if (!parsed) return std::unexpected(RunError(EnvironmentError{variable, *value, list_expectation(max)}));
    numbers.push_back(*parsed);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return numbers;
}

Checked<std::uint16_t> tile_or(const char* variable, std::uint16_t fallback) {
  KIVU_ASSIGN_OR_RETURN(const auto tile, decimal_or(variable, fallback, kivu_runtime::tile_count - 1u));
  return static_cast<std::uint16_t>(tile);
}

Checked<std::optional<std::vector<std::uint16_t>>> tile_list(const char* variable) {
  KIVU_ASSIGN_OR_RETURN(const auto numbers, decimal_list(variable, kivu_runtime::tile_count - 1u));
  if (!numbers) return std::optional<std::vector<std::uint16_t>>{};
  std::vector<std::uint16_t> tiles(numbers->begin(), numbers->end());
  std::vector<std::uint16_t> sorted = tiles;
  std::ranges::sort(sorted);
  if (std::ranges::adjacent_find(sorted) != sorted.end()) {
    return std::unexpected(bad_value(variable, "distinct tile numbers"));
  }
  return tiles;
}

RunError bad_value(const char* variable, std::string expected) {
  const auto value = kivu_host::environment_value(variable);
  if (!value) return RunError::missing(variable, expected);
  return RunError(EnvironmentError{variable, *value, std::move(expected)});
}

}  // namespace kivu_runner
