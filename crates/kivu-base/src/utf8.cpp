// The UTF-8 decoder (see kivu_base/utf8.hpp).
#include "kivu_base/utf8.hpp"

namespace kivu_base {

namespace {

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xc0) == 0x80; }

Utf8Decoded bad(std::size_t length) noexcept { return {U'\uFFFD', static_cast<std::uint8_t>(length), false, false}; }

}  // namespace

Utf8Decoded decode_utf8(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const std::size_t left = text.size() - at;
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true, false};

  // The length a lead byte announces, its payload bits, and the range its
  // second byte must lie in: the range leaves out overlong forms (E0, F0),
  // surrogates (ED) and code points above U+10FFFF (F4). C0, C1 (always
  // overlong), F5..FF and stray continuation bytes start no character.
  std::size_t length = 0;
  char32_t character = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, character = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, character = lead & 0x0f;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, character = lead & 0x07;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return bad(1);
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (k >= left) return {U'\uFFFD', static_cast<std::uint8_t>(k), false, true};
    const unsigned char next = byte(k);
    if (k == 1 ? (next < low || next > high) : !is_continuation(next)) return bad(k);
    character = (character << 6) | (next & 0x3f);
  }
  return {character, static_cast<std::uint8_t>(length), true, false};
}

void append_utf8(std::string& out, char32_t character) {
  const auto c = static_cast<std::uint32_t>(character);
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

}  // namespace kivu_base
