// The tile generator against its reference numbers.
#include "rng.hpp"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace kivu_e2e {
namespace {

std::vector<std::uint16_t> draws(std::uint64_t seed, int count) {
  auto rng = Rng::with_seed(seed);
  std::vector<std::uint16_t> tiles;
  for (int i = 0; i < count; ++i) tiles.push_back(rng.u16(HalfOpenRange{0, 1472}));
  return tiles;
}

std::string empty_range_message(auto range) {
  auto rng = Rng::with_seed(1);
  try {
    (void)rng.u16(range);
  } catch (const CaseFailure& failure) {
    return failure.message();
  }
  return "no failure";
}

TEST(Rng, SeedZeroGivesTheReferenceSequence) {
  auto rng = Rng::with_seed(0);
  EXPECT_EQ(rng.gen_u64(), 0x9a45cd888d59f0d6ULL);
  EXPECT_EQ(rng.gen_u64(), 0x01445b6a189663f5ULL);
}

TEST(Rng, TripSeedsDrawTheReferenceTilesInOrder) {
  EXPECT_EQ(draws(0x243f6a8885a308d3ULL, 8), (std::vector<std::uint16_t>{144, 956, 34, 1243, 71, 1300, 1157, 1104}));
  EXPECT_EQ(draws(0x13198a2e03707344ULL, 8), (std::vector<std::uint16_t>{647, 11, 451, 108, 958, 536, 19, 846}));
  EXPECT_EQ(draws(0xa4093822299f31d0ULL, 8), (std::vector<std::uint16_t>{82, 416, 19, 602, 893, 829, 1187, 1065}));
}

TEST(Rng, ModuloZeroConsumesOneNumberAndGivesZero) {
  auto rng = Rng::with_seed(0);
  EXPECT_EQ(rng.gen_mod_u32(0), 0u);
  EXPECT_EQ(rng.gen_u64(), 0x01445b6a189663f5ULL);
}

TEST(Rng, TheFullRangeIsTheLowHalfOfOneDraw) {
  auto rng = Rng::with_seed(0);
  EXPECT_EQ(rng.u16(InclusiveRange{0, 0xffff}), 0xf0d6);
}

TEST(Rng, DrawsStayWithinTheirRange) {
  auto rng = Rng::with_seed(42);
  for (int i = 0; i < 2000; ++i) {
    const auto inclusive = rng.u16(InclusiveRange{1465, 1471});
    EXPECT_GE(inclusive, 1465);
    EXPECT_LE(inclusive, 1471);
    const auto half_open = rng.u16(HalfOpenRange{65530, 65535});
    EXPECT_GE(half_open, 65530);
    EXPECT_LE(half_open, 65534);
  }
  EXPECT_EQ(rng.u16(InclusiveRange{7, 7}), 7);
}

TEST(Rng, AnEmptyRangeFailsWithBothBoundsInDebugForm) {
  EXPECT_EQ(empty_range_message(HalfOpenRange{5, 5}), "empty range: Included(5)..Excluded(5)");
  EXPECT_EQ(empty_range_message(HalfOpenRange{0, 0}), "empty range: Included(0)..Excluded(0)");
  EXPECT_EQ(empty_range_message(HalfOpenRange{9, 3}), "empty range: Included(9)..Excluded(3)");
  EXPECT_EQ(empty_range_message(InclusiveRange{5, 4}), "empty range: Included(5)..Included(4)");
}

}  // namespace
}  // namespace kivu_e2e
