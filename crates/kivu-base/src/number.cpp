// The number reader (see kivu_base/number.hpp).
#include "kivu_base/number.hpp"

#include <charconv>

namespace kivu_base {

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

std::optional<std::uint64_t> parse_decimal(std::string_view text, unsigned places, std::uint64_t max) noexcept {
  constexpr unsigned max_places = 19;  // 10^19 still fits 64 bits
  if (places > max_places) return std::nullopt;
  std::uint64_t scale = 1;
  for (unsigned k = 0; k < places; ++k) scale *= 10;

  const std::size_t point = text.find('.');
  const std::string_view whole_text = text.substr(0, point);
  const std::string_view fraction_text = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  if (whole_text.empty() && fraction_text.empty()) return std::nullopt;
  if (fraction_text.size() > places) return std::nullopt;

  std::uint64_t whole = 0;
  if (!whole_text.empty()) {
    const auto parsed = parse_digits(whole_text, 10, max / scale);
    if (!parsed) return std::nullopt;
    whole = *parsed;
  }
  std::uint64_t fraction = 0;
  if (!fraction_text.empty()) {
    const auto parsed = parse_digits(fraction_text, 10);
    if (!parsed) return std::nullopt;
    fraction = *parsed;
    for (std::size_t k = fraction_text.size(); k < places; ++k) fraction *= 10;
  }
  // whole <= max / scale, so whole * scale <= max; only the sum may pass it.
  const std::uint64_t scaled = whole * scale;
  if (fraction > max - scaled) return std::nullopt;
  return scaled + fraction;
}

}  // namespace kivu_base
