// Reading the simulated board's settings from environment variables.
//
// The board is configured by these variables:
//   KIVU_HOST_WRITE_JITTER_MAX_US  delay bound of each host write, microseconds
//   KIVU_HOST_WRITE_JITTER_SEED    seed of the delays drawn
//   KIVU_SIM_FAULT                 "1" injects one bit fault, "0" none
//   KIVU_SIM_FAULT_BOARD           the one board that gets the fault
//   KIVU_SIM_BOARDS                simulated boards on the host, default 1
//   KIVU_BOARD                     the run's board, default 0
// A variable set to the empty string counts as unset.
// A value that does not parse is bad input: the parse functions return an
// EnvironmentError naming the variable and its value, whose message() is
// one printable line fit for a runner's stderr.
//
// The parse functions take the variable's value (absent when unset) so that
// they can be tested without touching the process environment; the
// *_from_environment functions read the process environment.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kivu_runtime {

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
// Generic parsing

// The one reader of numbers in the board's and the runners' variables: the
// text `digits` as an unsigned number in `base` (10, or 16 with digits of
// either case), no larger than `max`. Digits only: at least one, no sign,
// blank or prefix. Nothing when the text is not such a number.
[[nodiscard]] std::optional<std::uint64_t> parse_digits(std::string_view digits, int base,
                                                        std::uint64_t max = UINT64_MAX) noexcept;

// Parses `value` as an unsigned decimal number no larger than `max`: digits
// only, no sign, blanks or prefix, at least one digit. The error names
// `variable` and `value`.
[[nodiscard]] std::expected<std::uint64_t, EnvironmentError> parse_unsigned_decimal(std::string_view variable,
                                                                                    std::string_view value,
                                                                                    std::uint64_t max = UINT64_MAX);

// The value of environment variable `name`, or nothing when it is unset.
[[nodiscard]] std::optional<std::string> environment_value(const char* name);

// The value of the board's variable `name`, or nothing when it is unset or
// empty: a CI template often leaves a variable set but empty, and the suite
// passes such a value on unchanged.
[[nodiscard]] std::optional<std::string> board_setting_value(const char* name);

}  // namespace kivu_runtime
