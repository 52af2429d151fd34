#include "tile_memory.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "kivu_runtime/board_constants.hpp"

namespace kivu_runtime::detail {

bool in_sram(std::uint32_t address, std::uint64_t size) noexcept {
  return static_cast<std::uint64_t>(address) + size <= tile_sram_bytes;
}

TileMemory::TileMemory(std::size_t tiles) : bases_(tiles, nullptr) {}

TileMemory::~TileMemory() {
  for (std::byte* base : bases_) {
    if (base != nullptr) ::munmap(base, tile_sram_bytes);
  }
}

std::byte* TileMemory::map(std::uint16_t physical) noexcept {
  std::byte*& base = bases_[physical];
  if (base == nullptr) {
    void* mapping = ::mmap(nullptr, tile_sram_bytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    base = static_cast<std::byte*>(mapping);
    ++mapped_count_;
  }
  return base;
}

void TileMemory::read(std::uint16_t physical, std::uint32_t address, std::span<std::byte> out) const noexcept {
  const std::byte* base = bases_[physical];
  if (base == nullptr) {
    std::ranges::fill(out, std::byte{0});
  } else if (!out.empty()) {
    std::memcpy(out.data(), base + address, out.size());
  }
}

}  // namespace kivu_runtime::detail
