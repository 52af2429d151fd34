// kivu_base/debug_form.hpp: how the workspace shows a text inside an error message.
//
// A debug form puts a text between double quotes and escapes what would make
// the message ambiguous or break its line: double quotes and backslashes get
// a backslash, \n \r \t and NUL show as \n \r \t \0, other control bytes
// (below 0x20, and 0x7f) as \u{hex} in lower case without leading zeros.
// Every other byte, UTF-8 or not, is kept as it is.
//
//   debug_quoted("a \"b\"\n")  ->  "a \"b\"\n"  (with the escapes shown literally)
//
// Header-only; no allocation beyond the result, nothing thrown but bad_alloc.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace kivu_base {

// Appends the debug form of `text` to `out`.
inline void append_debug_quoted(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
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
