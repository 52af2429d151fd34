#include "kivu_exchange.hpp"

#include <ostream>

#include "kivu_debug_form.hpp"

namespace kivu_exchange {

std::ostream& operator<<(std::ostream& out, const ExchangeError& error) {
  std::visit(
      [&out](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, ExchangeError::Tile>) {
          out << "Tile(" << e.tile << ')';
        } else if constexpr (std::is_same_v<T, ExchangeError::DuplicateTile>) {
          out << "DuplicateTile";
        } else if constexpr (std::is_same_v<T, ExchangeError::Count>) {
          out << "Count(" << e.count << ')';
        } else if constexpr (std::is_same_v<T, ExchangeError::ReceiverSet>) {
          out << "ReceiverSet";
        } else if constexpr (std::is_same_v<T, ExchangeError::Schedule>) {
          out << "Schedule(";
          kivu_debug_form::write_debug_quoted(out, e.reason);
          out << ')';
        } else if constexpr (std::is_same_v<T, ExchangeError::Address>) {
          out << "Address(" << e.address << ')';
        } else {
          static_assert(std::is_same_v<T, ExchangeError::HostPacket>);
          out << "HostPacket";
        }
      },
      error.variant());
  return out;
}

Topology Topology::halcyon() {
  std::vector<std::uint16_t> table;
  table.reserve(halcyon_tile_count);
  for (std::uint16_t logical = 0; logical < halcyon_tile_count; ++logical) {
    table.push_back(halcyon_logical_to_physical(logical));
  }
  return Topology(std::move(table));
}

std::expected<std::uint16_t, ExchangeError> Topology::physical(std::uint16_t logical) const noexcept {
  if (logical >= logical_to_physical_.size()) {
    return std::unexpected(ExchangeError::Tile{logical});
  }
  return logical_to_physical_[logical];
}

}  // namespace kivu_exchange
