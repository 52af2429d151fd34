// Strict UTF-8 validation with the usual (valid prefix, bad length) answers,
// on the workspace's one decoder (kivu_base/utf8.hpp).
#include "utf8.hpp"

#include <cstdint>
#include <cstring>

#include "kivu_base/utf8.hpp"

namespace kivu_package::detail {

namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view text) noexcept {
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if (word & high_bits) break;
      i += 8;
    }
    if (i >= size) break;
    const auto decoded = kivu_base::decode_utf8(text, i);
    if (!decoded.valid) {
      return Utf8Error{i, decoded.truncated ? std::nullopt : std::optional<std::uint8_t>(decoded.length)};
    }
    i += decoded.length;
  }
  return std::nullopt;
}

}  // namespace kivu_package::detail
