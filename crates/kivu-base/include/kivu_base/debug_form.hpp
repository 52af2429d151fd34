// kivu_base/debug_form.hpp: how the workspace shows a text inside an error message.
//
// A debug form puts a text between double quotes and escapes what would make
// the message ambiguous or break its line: double quotes and backslashes get
// a backslash, \n \r \t and NUL show as \n \r \t \0, other control bytes
// (below 0x20, and 0x7f) as \u{hex} in lower case without leading zeros.
// Characters in valid UTF-8 are kept as they are; a byte that is not part of
// a valid UTF-8 sequence shows as \xNN (two hex digits, lower case), so that
// the message itself stays valid UTF-8 and the byte can still be read off.
//
//   debug_quoted("a \"b\"\n")  ->  "a \"b\"\n"  (with the escapes shown literally)
//   debug_quoted("a\x01\x80")  ->  "a\u{1}\x80"
//
// This is the one form in which the workspace quotes a value inside a
// message: the libraries' error texts, the runners' and the tools' lines.
//
// Header-only; no allocation beyond the result, nothing thrown but bad_alloc.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace kivu_base {

// The length of the valid UTF-8 sequence that `text` starts with: 1 to 4,
// or 0 when its first byte does not begin one (a stray continuation byte,
// an overlong form, a surrogate, a code point above U+10FFFF, or a sequence
// cut short). 0 for an empty text.
[[nodiscard]] constexpr std::size_t utf8_sequence_length(std::string_view text) noexcept {
  if (text.empty()) return 0;
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;   // the range of the second byte, which rules out
  unsigned char high = 0xbf;  // overlongs, surrogates and code points past U+10FFFF
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
  }
  return length;
}

// Appends the debug form of `text` to `out`.
inline void append_debug_quoted(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const std::size_t length = utf8_sequence_length(text.substr(at));
      if (length == 0) {
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 0xf];
        ++at;
      } else {
        out += text.substr(at, length);
        at += length;
      }
      continue;
    }
    ++at;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\u{";
          if (byte >> 4) out += hex[byte >> 4];
          out += hex[byte & 0xf];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// The debug form of `text`.
[[nodiscard]] inline std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_debug_quoted(out, text);
  return out;
}

// Writes the debug form of `text` to `out`.
inline std::ostream& write_debug_quoted(std::ostream& out, std::string_view text) { return out << debug_quoted(text); }

}  // namespace kivu_base
