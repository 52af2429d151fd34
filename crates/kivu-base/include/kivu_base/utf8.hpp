// kivu_base/utf8.hpp: the one UTF-8 decoder.
//
// Decoding is strict, with the answers of the usual strict decoders:
// overlong forms, UTF-16 surrogates (U+D800..U+DFFF) and code points above
// U+10FFFF are not characters. Where the bytes are not a character the
// decoder says how many of them belong to the bad sequence (its maximal
// prefix that could have begun a character, 1 to 3 bytes), or that the text
// ended inside a sequence that was good so far. The profile reader and
// writer refuse such texts; the heatmap shows U+FFFD in their place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivu_base {

// What the bytes at one position of a text are.
struct Utf8Decoded {
  // The character; U+FFFD when the bytes are not one.
  char32_t character = U'\uFFFD';
  // Bytes taken: the character's, or those of the bad sequence (at least 1).
  std::uint8_t length = 1;
  // True when the bytes are a character.
  bool valid = false;
  // True when the bytes are no character only because the text ended inside
  // a sequence that was good so far.
  bool truncated = false;

  bool operator==(const Utf8Decoded&) const = default;
};

// Decodes the character that starts at `text[at]`; `at` must be less than
// `text.size()`.
[[nodiscard]] Utf8Decoded decode_utf8(std::string_view text, std::size_t at) noexcept;

// Appends the UTF-8 form of `character`, a code point no larger than
// U+10FFFF, to `out`.
void append_utf8(std::string& out, char32_t character);

}  // namespace kivu_base
