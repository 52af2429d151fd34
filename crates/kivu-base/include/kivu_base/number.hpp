// kivu_base/number.hpp: the one reader of unsigned numbers in texts.
//
// Environment variables, command-line options, /proc's tables and the
// tools' thresholds all hold numbers as plain digits. parse_digits reads
// them the same way everywhere: digits only (at least one; no sign, blank,
// prefix or separator), in base 10 or 16, up to a bound of the caller's.
//
//   parse_digits("42", 10)            -> 42
//   parse_digits("9bFFf", 16)         -> 0x9bfff
//   parse_digits("300", 10, 255)      -> nothing
//   parse_digits(" 1", 10)            -> nothing
//
// parse_decimal reads a number with a fraction exactly, as a count of the
// fraction's smallest unit, on parse_digits:
//
//   parse_decimal("2.5", 6)           -> 2'500'000
//   parse_decimal(".5", 3)            -> 500
//   parse_decimal("0.0000001", 6)     -> nothing (more places than 6)
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kivu_base {

// The text `digits` as an unsigned number in `base` (10, or 16 with digits
// of either case), no larger than `max`. Nothing when the text is not such a
// number.
[[nodiscard]] std::optional<std::uint64_t> parse_digits(std::string_view digits, int base,
                                                        std::uint64_t max = UINT64_MAX) noexcept;

// The decimal number `text` times 10^`places` (`places` at most 19): decimal
// digits, then optionally a point and at most `places` digits; the digits
// on either side of the point may be missing, but not both. No sign, blank
// or exponent. Nothing when the text is not such a number or the result is
// larger than `max`.
[[nodiscard]] std::optional<std::uint64_t> parse_decimal(std::string_view text, unsigned places,
                                                         std::uint64_t max = UINT64_MAX) noexcept;

}  // namespace kivu_base
