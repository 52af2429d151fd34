// Strict UTF-8 validation with the usual (valid prefix, bad length) answers.
#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace kivu_package::detail {

namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xc0) == 0x80; }

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;

  // `at` is the start of the sequence being decoded; `len` is how many of
  // its bytes were acceptable before the failing one (absent: input ended).
  const auto fail = [](std::size_t at, std::optional<std::uint8_t> len) {
    return std::optional<Utf8Error>(Utf8Error{at, len});
  };

  while (i < size) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      if (word & high_bits) break;
      i += 8;
    }
    if (i >= size) break;
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }

    const std::size_t start = i;
    if (lead >= 0xc2 && lead <= 0xdf) {
      if (i + 1 >= size) return fail(start, std::nullopt);
      if (!is_continuation(bytes[i + 1])) return fail(start, 1);
      i += 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      // The second byte's range excludes overlongs (E0) and surrogates (ED).
      const unsigned char low = lead == 0xe0 ? 0xa0 : 0x80;
      const unsigned char high = lead == 0xed ? 0x9f : 0xbf;
      if (i + 1 >= size) return fail(start, std::nullopt);
      if (bytes[i + 1] < low || bytes[i + 1] > high) return fail(start, 1);
      if (i + 2 >= size) return fail(start, std::nullopt);
      if (!is_continuation(bytes[i + 2])) return fail(start, 2);
      i += 3;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      // The second byte's range excludes overlongs (F0) and code points
      // above U+10FFFF (F4).
      const unsigned char low = lead == 0xf0 ? 0x90 : 0x80;
      const unsigned char high = lead == 0xf4 ? 0x8f : 0xbf;
      if (i + 1 >= size) return fail(start, std::nullopt);
      if (bytes[i + 1] < low || bytes[i + 1] > high) return fail(start, 1);
      if (i + 2 >= size) return fail(start, std::nullopt);
      if (!is_continuation(bytes[i + 2])) return fail(start, 2);
      if (i + 3 >= size) return fail(start, std::nullopt);
      if (!is_continuation(bytes[i + 3])) return fail(start, 3);
      i += 4;
    } else {
      // A stray continuation byte, C0/C1 (always overlong) or F5..FF.
      return fail(start, 1);
    }
  }
  return std::nullopt;
}

}  // namespace kivu_package::detail
