// The host link's packet format.
//
// Host-to-device writes and device-to-host reads travel as packets. A packet
// is a 10-byte header, little-endian, followed by the payload of a write:
//
//   byte 0      kind: 1 = write, 2 = read request
//   byte 1      reserved, 0
//   bytes 2-3   route word: bits 0-5 position within the row (0 .. 63),
//               bits 6-10 row (0 .. 22), bits 11-15 zero
//   bytes 4-7   tile-memory address
//   bytes 8-9   length: bytes of payload (write) or bytes wanted (read),
//               1 .. host_packet_max_payload
//   bytes 10-   payload, exactly `length` bytes for a write, none for a read
//
// The route names the physical tile row * 64 + position. The device decodes
// the route from the packet alone, so a wrong field sends the data to
// another tile. Nothing guards the route: a flipped position bit or a row
// changed to another row of the board lands elsewhere; a row beyond the
// board, a non-zero reserved bit, an unknown kind or a bad length make the
// packet malformed (HostPacket).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "kivu_exchange.hpp"

namespace kivu_runtime {

// =============================================================================
// Header

inline constexpr std::size_t host_packet_header_bytes = 10;
// Offset of the little-endian route word within a packet.
inline constexpr std::size_t host_packet_route_offset = 2;

enum class HostPacketKind : std::uint8_t { Write = 1, Read = 2 };

// The endpoint fields of a physical tile number.
struct HostRoute {
  std::uint8_t row = 0;       // kivu_exchange::tile_place(physical).row
  std::uint8_t position = 0;  // kivu_exchange::tile_place(physical).position

  bool operator==(const HostRoute&) const = default;
};

// The route to `physical`, or Tile(physical) when the board has no such tile.
[[nodiscard]] std::expected<HostRoute, kivu_exchange::ExchangeError> route_to(std::uint16_t physical);

// The physical tile number that `route` names.
[[nodiscard]] constexpr std::uint16_t physical_tile(HostRoute route) noexcept {
  return kivu_exchange::physical_at(kivu_exchange::TilePlace{route.row, route.position});
}

struct HostPacketHeader {
  HostPacketKind kind = HostPacketKind::Write;
  HostRoute route;
  std::uint32_t address = 0;
  std::uint16_t length = 0;

  bool operator==(const HostPacketHeader&) const = default;
};

// =============================================================================
// Encoding and decoding

// Encodes a packet. For a write, `payload` is the data and header.length
// must equal its size; for a read, `payload` must be empty. A header that
// would not decode (bad route, length 0 or above host_packet_max_payload, a
// length that disagrees with the payload) gives HostPacket.
[[nodiscard]] std::expected<std::vector<std::byte>, kivu_exchange::ExchangeError> encode_host_packet(
    const HostPacketHeader& header, std::span<const std::byte> payload = {});

// A decoded packet; `payload` points into the packet's bytes.
struct DecodedHostPacket {
  HostPacketHeader header;
  std::span<const std::byte> payload;
};

// Decodes and checks a packet: HostPacket when it is malformed (see the
// format above). Addresses are not checked here; the tile does that.
[[nodiscard]] std::expected<DecodedHostPacket, kivu_exchange::ExchangeError> decode_host_packet(
    std::span<const std::byte> packet);

}  // namespace kivu_runtime
