#include <gtest/gtest.h>

#include "board_test_support.hpp"
#include "kivu_runtime.hpp"

namespace {

using kivu_exchange::ExchangeError;
using namespace kivu_runtime;
using kivu_runtime::testing::pattern;

std::expected<std::vector<std::byte>, ExchangeError> unexpected(ExchangeError error) { return std::unexpected(error); }

// A write packet of `data` for physical tile `physical` at `address`.
std::vector<std::byte> write_packet(std::uint16_t physical, std::uint32_t address, std::span<const std::byte> data) {
  return encode_host_packet(
             {HostPacketKind::Write, *route_to(physical), address, static_cast<std::uint16_t>(data.size())}, data)
      .value();
}

void set_route_word(std::vector<std::byte>& packet, std::uint16_t word) {
  packet[host_packet_route_offset] = static_cast<std::byte>(word & 0xff);
  packet[host_packet_route_offset + 1] = static_cast<std::byte>(word >> 8);
}

// =============================================================================
// Transfers

TEST(HostLink, RoundTripsALargeTransferAtAHighAddressAsManyPackets) {
  Board board;
  const auto data = pattern(65536);
  ASSERT_TRUE(board.h2d(100, 0x60000, data));
  EXPECT_EQ(board.d2h(100, 0x60000, 65536), data);
  EXPECT_EQ(board.counters().host_packets, 2u * 65536 / host_packet_max_payload);
}

TEST(HostLink, ReadsZerosFromMemoryNothingWrote) {
  Board board;
  EXPECT_EQ(board.d2h(1471, 0, 300), std::vector<std::byte>(300));
}

TEST(HostLink, ReadsFromTwoTilesIntoDisjointRangesOfOneHostBuffer) {
  Board board;
  ASSERT_TRUE(board.h2d(1471, 0, pattern(64, 1)));
  ASSERT_TRUE(board.h2d(274, 0, pattern(64, 2)));
  std::vector<std::byte> host(128);
  ASSERT_TRUE(board.d2h_into(1471, 0, std::span(host).first(64)));
  ASSERT_TRUE(board.d2h_into(274, 0, std::span(host).last(64)));
  auto expected = pattern(64, 1);
  const auto second = pattern(64, 2);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(host, expected);
}

TEST(HostLink, RejectsBadTilesSizesAndAddresses) {
  Board board;
  const auto data = pattern(16);
  EXPECT_EQ(board.h2d(1472, 0, data), std::unexpected(ExchangeError(ExchangeError::Tile{1472})));
  EXPECT_EQ(board.h2d(0, 0, {}), std::unexpected(ExchangeError(ExchangeError::Count{0})));
  EXPECT_EQ(board.h2d(0, tile_sram_bytes - 8, data),
            std::unexpected(ExchangeError(ExchangeError::Address{tile_sram_bytes - 8})));
  EXPECT_EQ(board.d2h(0, 0, 0), unexpected(ExchangeError::Count{0}));
  EXPECT_EQ(board.d2h(0, 0xffffffff, 1), unexpected(ExchangeError::Address{0xffffffff}));
  EXPECT_EQ(board.d2h(0, 0, tile_sram_bytes + 1), unexpected(ExchangeError::Address{0}));
  EXPECT_EQ(board.read_tile_memory(65535, 0, 1), unexpected(ExchangeError::Tile{65535}));
  EXPECT_EQ(board.counters().host_packets, 0u);
}

TEST(HostLink, LeavesTheHostBufferAloneWhenAReadFails) {
  Board board;
  std::vector<std::byte> host(8, std::byte{0x5a});
  EXPECT_FALSE(board.d2h_into(0, tile_sram_bytes - 4, host));
  EXPECT_EQ(host, std::vector<std::byte>(8, std::byte{0x5a}));
}

// =============================================================================
// Packets and routes

TEST(HostPackets, EncodeTheRouteFieldsOfThePhysicalTile) {
  EXPECT_EQ(route_to(1425), (HostRoute{22, 17}));
  EXPECT_EQ(physical_tile(HostRoute{22, 17}), 1425);
  EXPECT_EQ(route_to(1472), std::unexpected(ExchangeError(ExchangeError::Tile{1472})));
  const auto packet = write_packet(1425, 0x1234, pattern(3));
  EXPECT_EQ(packet.size(), host_packet_header_bytes + 3);
  EXPECT_EQ(packet[host_packet_route_offset], std::byte{(22 << 6 | 17) & 0xff});
  EXPECT_EQ(packet[host_packet_route_offset + 1], std::byte{(22 << 6) >> 8});
  const auto decoded = decode_host_packet(packet);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->header, (HostPacketHeader{HostPacketKind::Write, {22, 17}, 0x1234, 3}));
}

TEST(HostPackets, RejectMalformedPackets) {
  const auto good = write_packet(5, 0, pattern(4));
  const auto malformed = [](std::vector<std::byte> packet) {
    return decode_host_packet(packet).error() == ExchangeError(ExchangeError::HostPacket{});
  };
  EXPECT_TRUE(malformed(std::vector<std::byte>(good.begin(), good.begin() + 9)));  // short header
  EXPECT_TRUE(malformed(std::vector<std::byte>(good.begin(), good.end() - 1)));    // short payload
  auto longer = good;
  longer.push_back(std::byte{0});
  EXPECT_TRUE(malformed(longer));
  auto kind = good;
  kind[0] = std::byte{3};
  EXPECT_TRUE(malformed(kind));
  auto reserved = good;
  reserved[1] = std::byte{1};
  EXPECT_TRUE(malformed(reserved));
  auto route_bits = good;
  route_bits[host_packet_route_offset + 1] |= std::byte{0x80};
  EXPECT_TRUE(malformed(route_bits));
  auto empty = good;
  empty[8] = std::byte{0};
  EXPECT_TRUE(malformed(std::vector<std::byte>(empty.begin(), empty.begin() + host_packet_header_bytes)));
  auto read_with_payload = good;
  read_with_payload[0] = std::byte{2};
  EXPECT_TRUE(malformed(read_with_payload));
  EXPECT_EQ(encode_host_packet({HostPacketKind::Read, {0, 0}, 0, 257}).error(),
            ExchangeError(ExchangeError::HostPacket{}));
}

TEST(HostPackets, ACorruptedPositionFieldDeliversToTheNeighbouringTile) {
  Board board;
  const std::uint16_t physical = *board.physical(1471);  // row 0, position 63
  auto packet = write_packet(physical, 0, pattern(32));
  packet[host_packet_route_offset] ^= std::byte{0x01};  // position 63 -> 62
  ASSERT_TRUE(board.deliver_packet(packet));
  EXPECT_EQ(board.read_tile_memory(1471, 0, 32), std::vector<std::byte>(32));
  EXPECT_EQ(board.read_tile_memory(board.logical(physical ^ 1).value(), 0, 32), pattern(32));
}

TEST(HostPackets, ACorruptedRowFieldDeliversToAnotherRowOrIsRejected) {
  Board board;
  auto packet = write_packet(64 * 3 + 17, 0, pattern(8));
  set_route_word(packet, 5 << 6 | 17);
  ASSERT_TRUE(board.deliver_packet(packet));
  EXPECT_EQ(board.read_tile_memory(board.logical(64 * 5 + 17).value(), 0, 8), pattern(8));
  EXPECT_EQ(board.read_tile_memory(board.logical(64 * 3 + 17).value(), 0, 8), std::vector<std::byte>(8));

  set_route_word(packet, 23 << 6 | 17);  // no row 23 on the board
  EXPECT_EQ(board.deliver_packet(packet), unexpected(ExchangeError::HostPacket{}));
}

TEST(HostPackets, ReadPacketsReturnTheAddressedBytesAndCheckTheRange) {
  Board board;
  ASSERT_TRUE(board.h2d(0, 0x100, pattern(16)));
  auto read = encode_host_packet({HostPacketKind::Read, {0, 0}, 0x104, 4});
  ASSERT_TRUE(read);
  const auto all = pattern(16);
  EXPECT_EQ(board.deliver_packet(*read), std::vector<std::byte>(all.begin() + 4, all.begin() + 8));
  auto beyond = encode_host_packet({HostPacketKind::Read, {0, 0}, tile_sram_bytes - 2, 4});
  EXPECT_EQ(board.deliver_packet(*beyond), unexpected(ExchangeError::Address{tile_sram_bytes - 2}));
}

TEST(HostLink, RoutesEveryTileOfTheBoardToItself) {
  Board board;
  EXPECT_EQ(board.logical(63), 1471);
  EXPECT_EQ(board.logical(1472), std::unexpected(ExchangeError(ExchangeError::Tile{1472})));
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    ASSERT_TRUE(board.h2d(tile, 0, std::vector<std::byte>{std::byte(tile & 0xff), std::byte(tile >> 8)}));
  }
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    ASSERT_EQ(board.d2h(tile, 0, 2), (std::vector<std::byte>{std::byte(tile & 0xff), std::byte(tile >> 8)}));
  }
}

// =============================================================================
// Lazy memory

TEST(TileMemory, IsMappedOnlyForTilesThatWereWritten) {
  Board board;
  EXPECT_EQ(board.allocated_tiles(), 0u);
  ASSERT_TRUE(board.d2h(5, 0, 64));
  EXPECT_EQ(board.allocated_tiles(), 0u);
  ASSERT_TRUE(board.h2d(7, 0x60000, pattern(65536)));
  EXPECT_EQ(board.allocated_tiles(), 1u);
  EXPECT_EQ(board.allocated_bytes(), std::size_t{tile_sram_bytes});
  EXPECT_TRUE(board.is_allocated(7));
  EXPECT_FALSE(board.is_allocated(5));
  EXPECT_FALSE(board.is_allocated(1472));
}

}  // namespace
