// Reading a runner's variables from the process environment.
//
// Every reader names its variable; a value it cannot accept is bad input
// (a RunError naming the variable and the value as found, exit status 2).
// Unset variables take the caller's default, except in the required_*
// readers. Numbers are unsigned decimal (digits only), addresses hexadecimal
// with the prefix "0x", flags "1" (on) or "0" (off), lists comma-separated
// without blanks or empty entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kivu_runner/run_error.hpp"

namespace kivu_runner {

// An unsigned decimal no larger than `max`, or `fallback` when unset.
[[nodiscard]] Checked<std::uint64_t> decimal_or(const char* variable, std::uint64_t fallback,
                                                std::uint64_t max = UINT64_MAX);

// An unsigned decimal no larger than `max`; unset is bad input.
[[nodiscard]] Checked<std::uint64_t> required_decimal(const char* variable, std::uint64_t max = UINT64_MAX);

// A hexadecimal number "0x..." (either case of digits) below `limit`, or
// `fallback` when unset.
[[nodiscard]] Checked<std::uint32_t> hex_address_or(const char* variable, std::uint32_t fallback, std::uint64_t limit);

// "1" is true, "0" or unset false; anything else is bad input.
[[nodiscard]] Checked<bool> flag(const char* variable);

// A list of unsigned decimals, each no larger than `max`, separated by ","
// (nothing when unset). An empty value or an empty entry is bad input.
[[nodiscard]] Checked<std::optional<std::vector<std::uint64_t>>> decimal_list(const char* variable,
                                                                              std::uint64_t max = UINT64_MAX);

// A logical tile number of the board (0 .. 1471), or `fallback` when unset.
[[nodiscard]] Checked<std::uint16_t> tile_or(const char* variable, std::uint16_t fallback);

// A list of distinct logical tile numbers (nothing when unset).
[[nodiscard]] Checked<std::optional<std::vector<std::uint16_t>>> tile_list(const char* variable);

// Bad input naming `variable` with its current value (or "missing" when
// unset), for checks that involve more than one variable.
[[nodiscard]] RunError bad_value(const char* variable, std::string expected);

}  // namespace kivu_runner
