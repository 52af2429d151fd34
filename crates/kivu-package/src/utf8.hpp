// Strict UTF-8 validation.
//
// Cap'n Proto's Text readers hand out the bytes unchecked, so the profile
// reader validates every text itself. The answers match those of the usual
// strict decoders: overlong forms, UTF-16 surrogates (U+D800..U+DFFF) and
// code points above U+10FFFF are invalid; the error names the length of the
// valid prefix and the length of the maximal invalid subsequence (1 to 3),
// or no length when the input ends inside a sequence that was valid so far.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "kivu_package.hpp"

namespace kivu_package::detail {

// Nothing when `bytes` is valid UTF-8, otherwise where and how it fails.
[[nodiscard]] std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;

// True when `bytes` is all ASCII (and so valid UTF-8). Tests eight bytes at a
// time and may read past the end of `bytes` up to the next multiple of eight
// bytes from its start: only for texts that lie in whole, readable words, as
// a Cap'n Proto text does.
[[nodiscard]] inline bool is_ascii_word_padded(std::string_view bytes) noexcept {
  constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
  const char* at = bytes.data();
  std::size_t left = bytes.size();
  for (; left >= 8; left -= 8, at += 8) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if (word & high_bits) return false;
  }
  if (left == 0) return true;
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  // Only the first `left` bytes (the low ones, in little-endian order) count.
  return (word & high_bits & ((std::uint64_t{1} << (8 * left)) - 1)) == 0;
}

}  // namespace kivu_package::detail
