#include <gtest/gtest.h>

#include "board_test_support.hpp"
#include "kivu_runtime.hpp"

using kivu_exchange::ExchangeError;
using namespace kivu_runtime;
using kivu_runtime::testing::pattern;

TEST(HostLink, RoundTripsDataOnAnyTileAndAddress) {
  Board board;
  const auto data = pattern(65536);
  ASSERT_TRUE(board.h2d(100, 0x60000, data));
  EXPECT_EQ(board.d2h(100, 0x60000, 65536), data);
  EXPECT_EQ(board.counters().host_packets, 2u * 65536 / host_packet_max_payload);
}
