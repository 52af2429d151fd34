#include <algorithm>

#include <gtest/gtest.h>

#include "kivu_exchange.hpp"

namespace {

using kivu_exchange::ExchangeError;
using kivu_exchange::halcyon_logical_to_physical;
using kivu_exchange::Topology;

TEST(HalcyonTopology, MapsTheLogicalTilesOneToOneOntoThePhysicalTiles) {
  const auto table = Topology::halcyon().logical_to_physical();
  ASSERT_EQ(table.size(), 1472u);
  auto sorted = table;
  std::ranges::sort(sorted);
  for (std::uint16_t i = 0; i < 1472; ++i) ASSERT_EQ(sorted[i], i);
}

TEST(HalcyonTopology, LooksUpTheWorkedTiles) {
  const auto topology = Topology::halcyon();
  const std::pair<std::uint16_t, std::uint16_t> worked[] = {{0, 0},     {1, 2},     {2, 64},    {3, 66}, {44, 1408},
                                                            {45, 1410}, {46, 1409}, {48, 1345}, {90, 1}, {91, 3},
                                                            {92, 4},    {1470, 61}, {1471, 63}};
  for (const auto& [logical, physical] : worked) {
    EXPECT_EQ(topology.physical(logical), physical) << "logical " << logical;
  }
}

TEST(HalcyonTopology, RejectsTilesBeyondTheTableWithTheirNumber) {
  const auto topology = Topology::halcyon();
  EXPECT_EQ(topology.physical(1472), std::unexpected(ExchangeError(ExchangeError::Tile{1472})));
  EXPECT_EQ(topology.physical(65535), std::unexpected(ExchangeError(ExchangeError::Tile{65535})));
}

TEST(HalcyonTopology, MapsEveryPhysicalTileBackToItsLogicalTile) {
  const auto topology = Topology::halcyon();
  for (std::uint16_t logical = 0; logical < 1472; ++logical) {
    ASSERT_EQ(topology.logical(topology.physical(logical).value()), logical) << "logical " << logical;
  }
  EXPECT_EQ(topology.logical(1409), 46);
  EXPECT_EQ(topology.logical(63), 1471);
  EXPECT_EQ(topology.logical(1472), std::unexpected(ExchangeError(ExchangeError::Tile{1472})));
  EXPECT_EQ(topology.logical(65535), std::unexpected(ExchangeError(ExchangeError::Tile{65535})));
}

TEST(ExplicitTopology, FindsNoLogicalTileWhereTheTableHasAHole) {
  // Physical 1 and 3 are nobody's; physical 2 is named twice: the lower wins.
  const Topology topology({4, 2, 0, 2});
  EXPECT_EQ(topology.logical(4), 0);
  EXPECT_EQ(topology.logical(2), 1);
  EXPECT_EQ(topology.logical(0), 2);
  EXPECT_EQ(topology.logical(1), std::unexpected(ExchangeError(ExchangeError::Tile{1})));
  EXPECT_EQ(topology.logical(3), std::unexpected(ExchangeError(ExchangeError::Tile{3})));
  EXPECT_EQ(topology.logical(5), std::unexpected(ExchangeError(ExchangeError::Tile{5})));
  EXPECT_EQ(Topology({}).logical(0), std::unexpected(ExchangeError(ExchangeError::Tile{0})));
}

TEST(HalcyonMapping, DoesNoRangeCheckOfItsOwn) {
  EXPECT_EQ(halcyon_logical_to_physical(1472), 64);
  EXPECT_EQ(halcyon_logical_to_physical(2), 64);
  std::uint16_t largest = 0;
  for (std::uint32_t i = 0; i <= 65535; ++i) {
    largest = std::max(largest, halcyon_logical_to_physical(static_cast<std::uint16_t>(i)));
  }
  EXPECT_EQ(largest, 4255);
}

TEST(HalcyonMapping, PutsBothLanesOfAPairTwoPositionsApartInOneRow) {
  for (std::uint16_t n = 0; n < 736; ++n) {
    const auto even = halcyon_logical_to_physical(static_cast<std::uint16_t>(2 * n));
    const auto odd = halcyon_logical_to_physical(static_cast<std::uint16_t>(2 * n + 1));
    ASSERT_EQ(odd, even + 2) << "pair " << n;
  }
}

TEST(HalcyonMapping, WalksTheRowsSerpentineAcrossBlocks) {
  // Block 0 climbs to row 22; block 1 starts there and comes back down.
  EXPECT_EQ(halcyon_logical_to_physical(45), 1410);
  EXPECT_EQ(halcyon_logical_to_physical(46), 1409);
  EXPECT_EQ(halcyon_logical_to_physical(90) / 64, 0);
}

TEST(TilePlace, FindsTheRowAndPositionAtTheCornersAndRowBoundaries) {
  using kivu_exchange::tile_place;
  using kivu_exchange::TilePlace;
  const std::pair<std::uint16_t, TilePlace> places[] = {
      {0, {0, 0}}, {63, {0, 63}}, {64, {1, 0}}, {127, {1, 63}}, {128, {2, 0}}, {1408, {22, 0}}, {1471, {22, 63}},
  };
  for (const auto& [physical, place] : places) {
    EXPECT_EQ(tile_place(physical), place) << "physical " << physical;
    EXPECT_EQ(kivu_exchange::physical_at(place), physical) << "physical " << physical;
  }
  // No range check: the first number past the board lies in a row past 22.
  EXPECT_EQ(tile_place(1472), (TilePlace{23, 0}));
  EXPECT_EQ(tile_place(65535), (TilePlace{1023, 63}));
}

TEST(TilePlace, RoundTripsEveryTileOfTheBoardAndNamesItsPlace) {
  for (std::uint16_t physical = 0; physical < kivu_exchange::halcyon_tile_count; ++physical) {
    const auto place = kivu_exchange::tile_place(physical);
    ASSERT_LT(place.row, kivu_exchange::halcyon_row_count) << "physical " << physical;
    ASSERT_EQ(kivu_exchange::physical_at(place), physical);
  }
  EXPECT_EQ(kivu_exchange::to_string(kivu_exchange::tile_place(0)), "row 0, position 0");
  EXPECT_EQ(kivu_exchange::to_string(kivu_exchange::tile_place(1471)), "row 22, position 63");
}

}  // namespace
