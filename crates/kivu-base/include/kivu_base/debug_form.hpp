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

#include "kivu_base/utf8.hpp"

namespace kivu_base {

// Appends the debug form of `text` to `out`.
inline void append_debug_quoted(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const Utf8Decoded decoded = decode_utf8(text, at);
      if (!decoded.valid) {
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 0xf];
        ++at;
      } else {
        out += text.substr(at, decoded.length);
        at += decoded.length;
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
