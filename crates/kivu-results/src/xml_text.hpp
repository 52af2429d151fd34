// What the XML reader and the report writer share about characters: which
// ones XML 1.0 can hold, and the \u{hex} form of one it cannot.
#pragma once

#include <string>

namespace kivu_results::detail {

// XML 1.0's Char production.
[[nodiscard]] constexpr bool xml_allows(char32_t c) {
  return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) || (c >= 0xe000 && c <= 0xfffd) ||
         (c >= 0x10000 && c <= 0x10ffff);
}

// Appends "\u{hex}" (lower-case hex digits, no leading zeros) for `c`.
void append_escaped_code_point(std::string& out, char32_t c);

}  // namespace kivu_results::detail
