// Deterministic test data.
//
// pattern_byte(salt, tile, offset) is a well-mixed byte that depends on all
// three inputs, so that data written to one tile differs from the data of
// every other tile (and of every other salt): a transfer that lands on the
// wrong tile, at the wrong offset or not at all is caught by comparing with
// the pattern. Host references and device-side initialisation (inside
// compute functions) compute the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kivu_runner {

// One byte of the pattern.
[[nodiscard]] constexpr std::byte pattern_byte(std::uint64_t salt, std::uint16_t tile, std::uint64_t offset) noexcept {
  std::uint64_t x = salt ^ (std::uint64_t{tile} << 48) ^ (offset * 0x9e3779b97f4a7c15u);
  x ^= x >> 31;
  x *= 0xbf58476d1ce4e5b9u;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebu;
  x ^= x >> 31;
  return static_cast<std::byte>(x & 0xffu);
}

// Fills `out` with the pattern from `first_offset` on.
inline void fill_pattern(std::span<std::byte> out, std::uint64_t salt, std::uint16_t tile,
                         std::uint64_t first_offset = 0) noexcept {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = pattern_byte(salt, tile, first_offset + i);
}

// `size` bytes of the pattern from offset 0.
[[nodiscard]] inline std::vector<std::byte> pattern(std::uint64_t salt, std::uint16_t tile, std::size_t size) {
  std::vector<std::byte> bytes(size);
  fill_pattern(bytes, salt, tile);
  return bytes;
}

}  // namespace kivu_runner
