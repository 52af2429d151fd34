#include "kivu_exchange.hpp"

#include <ostream>

namespace kivu_exchange {

namespace {

// Writes `text` between double quotes, escaping quotes, backslashes and
// control characters the way a debug form shows them.
void write_quoted(std::ostream& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out << '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out << "\\\""; break;
      case '\\': out << "\\\\"; break;
      case '\n': out << "\\n"; break;
      case '\r': out << "\\r"; break;
      case '\t': out << "\\t"; break;
      case '\0': out << "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out << "\\u{";
          if (byte >> 4) out << hex[byte >> 4];
          out << hex[byte & 0xf] << '}';
        } else {
          out << c;
        }
    }
  }
  out << '"';
}

}  // namespace

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
          write_quoted(out, e.reason);
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
