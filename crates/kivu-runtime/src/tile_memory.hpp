// The SRAM of every tile, mapped lazily.
//
// A tile's SRAM is one anonymous private mapping of tile_sram_bytes, made
// the first time something writes to the tile; the operating system then
// backs only the pages that are touched, zero-filled. Reads of a tile that
// was never mapped see zeros without mapping it.
//
// Not synchronised: the board maps and reads tiles under its own lock, and
// the host writer only writes through pointers handed to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kivu_runtime::detail {

// True when [address, address + size) lies inside a tile's SRAM.
[[nodiscard]] bool in_sram(std::uint32_t address, std::uint64_t size) noexcept;

class TileMemory {
public:
  explicit TileMemory(std::size_t tiles);
  ~TileMemory();
  TileMemory(const TileMemory&) = delete;
  TileMemory& operator=(const TileMemory&) = delete;

  // Base of the tile's SRAM, mapped now if it was not; nullptr when the
  // mapping fails.
  [[nodiscard]] std::byte* map(std::uint16_t physical) noexcept;
  // Base of the tile's SRAM if it is mapped, else nullptr.
  [[nodiscard]] const std::byte* mapped(std::uint16_t physical) const noexcept { return bases_[physical]; }
  // Copies [address, address + out.size()) of the tile into `out` (zeros
  // for an unmapped tile). The range must lie inside SRAM.
  void read(std::uint16_t physical, std::uint32_t address, std::span<std::byte> out) const noexcept;

  [[nodiscard]] std::size_t mapped_tiles() const noexcept { return mapped_count_; }

private:
  std::vector<std::byte*> bases_;
  std::size_t mapped_count_ = 0;
};

}  // namespace kivu_runtime::detail
