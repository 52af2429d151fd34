// Encoding and decoding of host-link packets (format in host_packet.hpp).
#include "kivu_runtime/host_packet.hpp"

#include <algorithm>

#include "kivu_runtime/board_constants.hpp"

namespace kivu_runtime {

namespace {

using kivu_exchange::ExchangeError;

constexpr std::uint16_t position_mask = 0x3f;
constexpr unsigned row_shift = 6;
constexpr std::uint16_t row_mask = 0x1f;
constexpr std::uint16_t route_reserved_mask = 0xf800;
constexpr std::uint8_t row_count = kivu_exchange::halcyon_row_count;

std::uint16_t load16(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[offset]) |
                                    std::to_integer<unsigned>(bytes[offset + 1]) << 8);
}

std::uint32_t load32(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(load16(bytes, offset)) | static_cast<std::uint32_t>(load16(bytes, offset + 2))
                                                                 << 16;
}

void store16(std::byte* out, std::uint16_t value) {
  out[0] = static_cast<std::byte>(value & 0xff);
  out[1] = static_cast<std::byte>(value >> 8);
}

void store32(std::byte* out, std::uint32_t value) {
  store16(out, static_cast<std::uint16_t>(value & 0xffff));
  store16(out + 2, static_cast<std::uint16_t>(value >> 16));
}

bool valid_length(std::uint16_t length) { return length >= 1 && length <= host_packet_max_payload; }

}  // namespace

// =============================================================================
// Routes

std::expected<HostRoute, ExchangeError> route_to(std::uint16_t physical) {
  if (physical >= tile_count) return std::unexpected(ExchangeError::Tile{physical});
  const kivu_exchange::TilePlace place = kivu_exchange::tile_place(physical);
  return HostRoute{static_cast<std::uint8_t>(place.row), static_cast<std::uint8_t>(place.position)};
}

// =============================================================================
// Encoding

std::expected<std::vector<std::byte>, ExchangeError> encode_host_packet(const HostPacketHeader& header,
                                                                        std::span<const std::byte> payload) {
  const bool write = header.kind == HostPacketKind::Write;
  if ((!write && header.kind != HostPacketKind::Read) || header.route.row >= row_count ||
      header.route.position > position_mask || !valid_length(header.length) ||
      (write ? payload.size() != header.length : !payload.empty())) {
    return std::unexpected(ExchangeError::HostPacket{});
  }
  std::vector<std::byte> packet(host_packet_header_bytes + payload.size());
  packet[0] = static_cast<std::byte>(header.kind);
  packet[1] = std::byte{0};
  store16(packet.data() + host_packet_route_offset,
          static_cast<std::uint16_t>(header.route.row << row_shift | header.route.position));
  store32(packet.data() + 4, header.address);
  store16(packet.data() + 8, header.length);
  std::ranges::copy(payload, packet.begin() + host_packet_header_bytes);
  return packet;
}

// =============================================================================
// Decoding

std::expected<DecodedHostPacket, ExchangeError> decode_host_packet(std::span<const std::byte> packet) {
  const auto malformed = std::unexpected(ExchangeError::HostPacket{});
  if (packet.size() < host_packet_header_bytes) return malformed;
  const auto kind = std::to_integer<std::uint8_t>(packet[0]);
  if (kind != static_cast<std::uint8_t>(HostPacketKind::Write) &&
      kind != static_cast<std::uint8_t>(HostPacketKind::Read)) {
    return malformed;
  }
  if (packet[1] != std::byte{0}) return malformed;
  const std::uint16_t route = load16(packet, host_packet_route_offset);
  if ((route & route_reserved_mask) != 0) return malformed;
  const auto row = static_cast<std::uint8_t>(route >> row_shift & row_mask);
  if (row >= row_count) return malformed;

  DecodedHostPacket decoded;
  decoded.header.kind = static_cast<HostPacketKind>(kind);
  decoded.header.route = HostRoute{row, static_cast<std::uint8_t>(route & position_mask)};
  decoded.header.address = load32(packet, 4);
  decoded.header.length = load16(packet, 8);
  if (!valid_length(decoded.header.length)) return malformed;
  const std::size_t expected_payload = decoded.header.kind == HostPacketKind::Write ? decoded.header.length : 0;
  if (packet.size() != host_packet_header_bytes + expected_payload) return malformed;
  decoded.payload = packet.subspan(host_packet_header_bytes);
  return decoded;
}

}  // namespace kivu_runtime
