#include "xml_text.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "kivu_results/merge.hpp"

namespace kivu_results {

namespace {

using detail::append_escaped_code_point;
using detail::xml_allows;

// The code point that the UTF-8 sequence at the start of `text` encodes,
// and its length; nothing when the bytes are not well-formed UTF-8
// (overlong forms, surrogates and values above U+10FFFF are not).
std::optional<std::pair<char32_t, std::size_t>> next_code_point(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return std::pair{char32_t{lead}, std::size_t{1}};
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if ((lead & 0xe0) == 0xc0) {
    length = 2, value = lead & 0x1f, least = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, value = lead & 0x0f, least = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(i) & 0x3f);
  }
  if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return std::nullopt;
  return std::pair{value, length};
}

void append_hex(std::string& out, std::uint32_t value, int min_digits) {
  static constexpr char hex[] = "0123456789abcdef";
  int digits = 1;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  for (int d = std::max(digits, min_digits) - 1; d >= 0; --d) out += hex[(value >> (4 * d)) & 0xf];
}

enum class Target { xml, terminal };

std::string escaped(std::string_view text, Target target) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto next = next_code_point(text);
    if (!next) {
      out += "\\x";
      append_hex(out, static_cast<unsigned char>(text.front()), 2);
      text.remove_prefix(1);
      continue;
    }
    const auto [c, length] = *next;
    if (target == Target::terminal && c == '\n') {
      out += "\\n";
    } else if (target == Target::terminal && c == '\r') {
      out += "\\r";
    } else if (!xml_allows(c) || (target == Target::terminal && (c == 0x7f || (c >= 0x80 && c <= 0x9f)))) {
      append_escaped_code_point(out, c);
    } else {
      out += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace

void detail::append_escaped_code_point(std::string& out, char32_t c) {
  out += "\\u{";
  append_hex(out, c, 1);
  out += '}';
}

std::string xml_text(std::string_view text) { return escaped(text, Target::xml); }

std::string terminal_text(std::string_view text) { return escaped(text, Target::terminal); }

}  // namespace kivu_results
