// Helpers shared by the board tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "kivu_runtime/board_constants.hpp"

namespace kivu_runtime::testing {

// `size` bytes following a simple pattern that differs per `seed`.
inline std::vector<std::byte> pattern(std::size_t size, unsigned seed = 0) {
  std::vector<std::byte> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>((i * 31u + seed * 7u + 5u) & 0xffu);
  return bytes;
}

// Every logical tile, in order.
inline std::vector<std::uint16_t> all_tiles() {
  std::vector<std::uint16_t> tiles(tile_count);
  std::iota(tiles.begin(), tiles.end(), std::uint16_t{0});
  return tiles;
}

}  // namespace kivu_runtime::testing
