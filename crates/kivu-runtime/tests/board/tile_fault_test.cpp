// Intermittently bad tiles (KIVU_SIM_FAULT_TILE): the entries and their
// limits, the seeded draw, and the one bit a bad tile flips in whatever
// passes through it first.
#include <algorithm>
#include <bit>

#include <gtest/gtest.h>

#include "board_test_support.hpp"
#include "kivu_runtime.hpp"

namespace {

using namespace kivu_runtime;
using kivu_host::BoardIdentity;
using kivu_runtime::testing::pattern;

const BoardIdentity four_boards{0, 4};

// =============================================================================
// Entries

TEST(TileFaultEntries, ReadEveryFieldAtItsLimits) {
  EXPECT_EQ(parse_sim_fault_tiles(std::nullopt, four_boards).value(), std::vector<FaultyTile>{});
  EXPECT_EQ(parse_sim_fault_tiles("2:714:0.1", four_boards).value(), (std::vector<FaultyTile>{{2, 714, 0.1}}));
  EXPECT_EQ(parse_sim_fault_tiles("0:0:0,3:1471:1,3:1470:1.0,1:5:0.5", four_boards).value(),
            (std::vector<FaultyTile>{{0, 0, 0.0}, {3, 1471, 1.0}, {3, 1470, 1.0}, {1, 5, 0.5}}));
  // The same tile on two boards is two entries.
  EXPECT_EQ(parse_sim_fault_tiles("0:9:1,1:9:1", four_boards)->size(), 2u);
}

TEST(TileFaultEntries, RefuseEachBadValueWithItsOwnReason) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"0:1472:1", "has a tile not below 1472"},
      {"4:0:1", "names a board the host lacks"},
      {"0:0:1.0001", "has a probability that is not a decimal number from 0 to 1"},
      {"0:0:2", "has a probability that is not a decimal number from 0 to 1"},
      {"0:0:-0", "has a probability that is not a decimal number from 0 to 1"},
      {"0:0:1e-1", "has a probability that is not a decimal number from 0 to 1"},
      {"0:0:nan", "has a probability that is not a decimal number from 0 to 1"},
      {"0:0:0.", "has a probability that is not a decimal number from 0 to 1"},
      {"0:x:1", "has a tile that is not an unsigned decimal number"},
      {" 0:1:1", "has a board that is not an unsigned decimal number"},
      {"0:1", "is not three fields separated by \":\""},
      {"0:1:1:1", "is not three fields separated by \":\""},
      {"", "is not three fields separated by \":\""},
      {"0:1:1,", "is not three fields separated by \":\""},
      {"0:1:1,0:1:0.5", "repeats a board and tile named before"},
  };
  for (const auto& [value, reason] : bad) {
    const auto parsed = parse_sim_fault_tiles(value, four_boards);
    ASSERT_FALSE(parsed) << value;
    EXPECT_EQ(parsed.error().variable, "KIVU_SIM_FAULT_TILE");
    EXPECT_EQ(parsed.error().value, value);
    EXPECT_NE(parsed.error().message().find(reason), std::string::npos) << parsed.error().message();
  }
}

// =============================================================================
// The draw

TEST(TileFaultDraw, FollowsTheProbabilityAndReplaysWithTheSeed) {
  const std::vector<FaultyTile> entries = {{0, 10, 1.0}, {0, 11, 0.0}, {1, 12, 1.0}, {0, 13, 0.5}};
  unsigned with_13 = 0;
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    const auto tiles = draw_faulty_tiles(entries, 0, seed);
    // Probability 1 always, 0 never, another board's entry never.
    ASSERT_FALSE(tiles.empty());
    EXPECT_EQ(tiles.front(), 10u);
    EXPECT_EQ(std::ranges::count(tiles, 11), 0);
    EXPECT_EQ(std::ranges::count(tiles, 12), 0);
    with_13 += std::ranges::count(tiles, 13) == 1 ? 1 : 0;
    EXPECT_EQ(draw_faulty_tiles(entries, 0, seed), tiles);
  }
  // 400 draws at 0.5: far outside 140..260 only if the draw is broken.
  EXPECT_GT(with_13, 140u);
  EXPECT_LT(with_13, 260u);
}

// =============================================================================
// What a bad tile does to the values passing through it

Board bad_tile_board(std::uint16_t tile) {
  BoardOptions options;
  options.tile_faults.flipping = {tile};
  return Board(options);
}

unsigned bits_between(const std::vector<std::byte>& a, const std::vector<std::byte>& b) {
  unsigned bits = 0;
  for (std::size_t i = 0; i < a.size(); ++i) bits += std::popcount(std::to_integer<unsigned>(a[i] ^ b[i]));
  return bits;
}

TEST(BadTile, FlipsOneBitOfTheFirstWriteAndStoresIt) {
  Board board = bad_tile_board(714);
  const auto data = pattern(4096);
  ASSERT_TRUE(board.h2d(714, 0x100, data));
  const auto read = board.d2h(714, 0x100, 4096).value();
  EXPECT_EQ(bits_between(read, data), 1u);
  EXPECT_EQ(read[3], data[3] ^ std::byte{0x40});
  const auto physical = board.physical(714).value();
  EXPECT_EQ(board.injected_faults(), (std::vector<FaultRecord>{{714, physical, 0x103, fault_bit}}));
  // Only once: the next write and read through the tile are clean.
  ASSERT_TRUE(board.h2d(714, 0x100, data));
  EXPECT_EQ(board.d2h(714, 0x100, 4096), data);
}

TEST(BadTile, FlipsABitOfTheFirstReadbackWhenNothingWasWrittenToIt) {
  Board board = bad_tile_board(3);
  const auto read = board.read_tile_memory(3, 0x20, 8).value();
  EXPECT_EQ(read[3], std::byte{0x40});
  EXPECT_EQ(board.injected_fault()->address, 0x23u);
}

TEST(BadTile, FlipsABitItSendsOrReceivesInAnExchange) {
  const auto data = pattern(64);
  for (const std::uint16_t bad : {std::uint16_t{5}, std::uint16_t{6}}) {
    Board board = bad_tile_board(bad);
    // Written by a compute step, which is the tile's own work, not a value
    // passing through it.
    ASSERT_TRUE(board.compute(ComputeStep{.tiles = {5}, .cycles = 1}, [&](TileContext& tile) {
      auto bytes = tile.bytes(0, 64);
      if (!bytes) return std::expected<void, kivu_exchange::ExchangeError>(std::unexpected(bytes.error()));
      std::ranges::copy(data, bytes->begin());
      return std::expected<void, kivu_exchange::ExchangeError>{};
    }));
    ExchangePhase phase;
    phase.transfers.push_back(Transfer{5, 0, 64, {{6, 0x400}, {7, 0x400}}});
    ASSERT_TRUE(board.exchange(phase));
    const auto at_6 = board.read_tile_memory(6, 0x400, 64).value();
    const auto at_7 = board.read_tile_memory(7, 0x400, 64).value();
    if (bad == 5) {
      // Sent flipped: both receivers get it; the source keeps its value.
      EXPECT_EQ(bits_between(at_6, data), 1u);
      EXPECT_EQ(at_7, at_6);
      EXPECT_EQ(board.read_tile_memory(5, 0, 64), data);
    } else {
      // Received flipped: only the bad receiver stores it.
      EXPECT_EQ(bits_between(at_6, data), 1u);
      EXPECT_EQ(at_7, data);
    }
    EXPECT_EQ(board.injected_faults().size(), 1u);
  }
}

TEST(BadTile, LeavesARunThatNeverTouchesItAlone) {
  Board board = bad_tile_board(714);
  const auto data = pattern(4096);
  for (const std::uint16_t tile : {std::uint16_t{0}, std::uint16_t{713}, std::uint16_t{715}, std::uint16_t{1471}}) {
    ASSERT_TRUE(board.h2d(tile, 0, data));
    EXPECT_EQ(board.d2h(tile, 0, 4096), data);
  }
  EXPECT_TRUE(board.injected_faults().empty());
}

}  // namespace
