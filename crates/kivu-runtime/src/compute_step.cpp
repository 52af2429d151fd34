#include "kivu_runtime/compute_step.hpp"

#include "tile_memory.hpp"

namespace kivu_runtime {

std::expected<std::span<std::byte>, kivu_exchange::ExchangeError> TileContext::bytes(std::uint32_t address,
                                                                                     std::uint32_t size) const {
  if (!detail::in_sram(address, size)) return std::unexpected(kivu_exchange::ExchangeError::Address{address});
  return std::span<std::byte>(sram_ + address, size);
}

}  // namespace kivu_runtime
