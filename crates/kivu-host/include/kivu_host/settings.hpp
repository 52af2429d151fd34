// Reading the host's settings from environment variables.
//
// Runners, the simulated board, the suite and kivu-boards are configured by
// environment variables whose values are mostly numbers. A variable set to
// the empty string often counts as unset (board_setting_value). A value that
// does not parse is bad input: the parse functions return an
// EnvironmentError naming the variable and its value, whose message() is one
// printable line fit for a program's stderr.
//
// Parse functions take the variable's value (absent when unset) so that they
// can be tested without touching the process environment; setting_view turns
// what environment_value and board_setting_value return into such a value.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kivu_host {

// =============================================================================
// Errors

// A variable whose value is not acceptable.
struct EnvironmentError {
  std::string variable;  // the variable's name
  std::string value;     // its value, as found
  std::string expected;  // what an acceptable value looks like

  // One line: `invalid VARIABLE value "VALUE": expected EXPECTED`, with
  // control characters of the value escaped so the line stays one line.
  [[nodiscard]] std::string message() const;

  bool operator==(const EnvironmentError&) const = default;
};

// =============================================================================
// Numbers

// Parses `value` as an unsigned decimal number no larger than `max` with
// kivu_base::parse_digits (kivu_base/number.hpp): digits only, no sign,
// blanks or prefix, at least one digit. The error names `variable` and
// `value`.
[[nodiscard]] std::expected<std::uint64_t, EnvironmentError> parse_unsigned_decimal(std::string_view variable,
                                                                                    std::string_view value,
                                                                                    std::uint64_t max = UINT64_MAX);

// =============================================================================
// The process environment

// The value of environment variable `name`, or nothing when it is unset.
[[nodiscard]] std::optional<std::string> environment_value(const char* name);

// The value of the board's variable `name`, or nothing when it is unset or
// empty: a CI template often leaves a variable set but empty, and the suite
// passes such a value on unchanged.
[[nodiscard]] std::optional<std::string> board_setting_value(const char* name);

// A read value as the parse functions take it: a view of `value`, which must
// outlive it, or nothing when `value` is nothing.
[[nodiscard]] inline std::optional<std::string_view> setting_view(const std::optional<std::string>& value) noexcept {
  return value ? std::optional<std::string_view>(*value) : std::nullopt;
}

}  // namespace kivu_host
