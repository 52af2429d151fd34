#include <algorithm>
#include <ostream>
#include <string>

#include "kivu_base/debug_form.hpp"
#include "kivu_exchange.hpp"

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
          kivu_base::write_debug_quoted(out, e.reason);
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

std::string to_string(TilePlace place) {
  return "row " + std::to_string(place.row) + ", position " + std::to_string(place.position);
}

Topology Topology::halcyon() {
  std::vector<std::uint16_t> table;
  table.reserve(halcyon_tile_count);
  for (std::uint16_t logical = 0; logical < halcyon_tile_count; ++logical) {
    table.push_back(halcyon_logical_to_physical(logical));
  }
  return Topology(std::move(table));
}

Topology::Topology(std::vector<std::uint16_t> logical_to_physical)
    : logical_to_physical_(std::move(logical_to_physical)) {
  // Logical numbers are 16-bit: entries past 65535 cannot be named.
  const std::size_t named = std::min<std::size_t>(logical_to_physical_.size(), std::size_t{UINT16_MAX} + 1);
  std::uint16_t largest = 0;
  for (std::size_t logical = 0; logical < named; ++logical) largest = std::max(largest, logical_to_physical_[logical]);
  if (named > 0) physical_to_logical_.resize(std::size_t{largest} + 1, 0);
  // Walking down leaves the lowest logical number on a physical tile named twice.
  for (std::size_t logical = named; logical-- > 0;) {
    physical_to_logical_[logical_to_physical_[logical]] = static_cast<std::uint32_t>(logical + 1);
  }
}

std::expected<std::uint16_t, ExchangeError> Topology::physical(std::uint16_t logical) const noexcept {
  if (logical >= logical_to_physical_.size()) {
    return std::unexpected(ExchangeError::Tile{logical});
  }
  return logical_to_physical_[logical];
}

std::expected<std::uint16_t, ExchangeError> Topology::logical(std::uint16_t physical) const noexcept {
  if (physical >= physical_to_logical_.size() || physical_to_logical_[physical] == 0) {
    return std::unexpected(ExchangeError::Tile{physical});
  }
  return static_cast<std::uint16_t>(physical_to_logical_[physical] - 1);
}

}  // namespace kivu_exchange
