#include "diff.hpp"

#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "profile_fixtures.hpp"

using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_profile::Change;
using kivu_profile::compare_profiles;
using kivu_profile::compute_stats;
using kivu_profile::parse_threshold;
using kivu_profile::Threshold;
using kivu_profile::TileChange;
using kivu_profile::testing::sample;
using testing::HasSubstr;
using testing::Not;

namespace {

// Tile `tile` busy with `kind` for `busy` cycles, then idle until cycle 1000.
kivu_package::TileProfile tile_busy(std::uint32_t tile, std::uint32_t busy,
                                    ProfileStepKind kind = ProfileStepKind::Compute) {
  return {tile, {sample(kind, 0, busy), sample(ProfileStepKind::Idle, busy, 1000)}};
}

kivu_profile::ProfileDiff diff_of(const ProfileReport& base, const ProfileReport& next, Threshold threshold = {},
                                  std::size_t top = kivu_profile::default_diff_top) {
  return compare_profiles(compute_stats(base), compute_stats(next), threshold, top);
}

std::string text_of(const kivu_profile::ProfileDiff& diff) {
  std::ostringstream out;
  kivu_profile::write_diff(diff, "base.capnp", "new.capnp", out);
  return out.str();
}

TEST(Threshold, ParsesPercentagesExactlyAndRefusesAnythingElse) {
  EXPECT_EQ(parse_threshold("5"), Threshold{5'000'000});
  EXPECT_EQ(parse_threshold("2.5"), Threshold{2'500'000});
  EXPECT_EQ(parse_threshold(".5"), Threshold{500'000});
  EXPECT_EQ(parse_threshold("10."), Threshold{10'000'000});
  EXPECT_EQ(parse_threshold("0"), Threshold{0});
  EXPECT_EQ(parse_threshold("0.000001"), Threshold{1});
  EXPECT_EQ(parse_threshold("1000000000"), Threshold{1'000'000'000'000'000});
  EXPECT_EQ(parse_threshold("1000000000.000000"), Threshold{1'000'000'000'000'000});
  EXPECT_EQ(parse_threshold("007.250000"), Threshold{7'250'000});
  for (const char* bad : {"", ".", "-1", "+5", "abc", "5%", "1e2", " 5", "5 ", "1.2.3", "0.0000001", "1000000001",
                          "1000000000.000001", "99999999999999999999999", "1.+5", "1.-5", "-.5", "..5", "5.."}) {
    EXPECT_EQ(parse_threshold(bad), std::nullopt) << '"' << bad << '"';
  }
  EXPECT_EQ(Threshold{2'500'000}.text(), "2.5%");
  EXPECT_EQ(Threshold{5'000'000}.text(), "5%");
  EXPECT_DOUBLE_EQ(Threshold{2'500'000}.fraction(), 0.025);
}

TEST(Threshold, GrowthOfExactlyTheThresholdIsNoRegression) {
  const Threshold five{5'000'000};
  EXPECT_FALSE((Change{1000, 1050}.grew_beyond(five)));
  EXPECT_TRUE((Change{1000, 1051}.grew_beyond(five)));
  EXPECT_FALSE((Change{1000, 900}.grew_beyond(five)));
  // 0.3% is not a binary fraction: the boundary must still be exact.
  const auto point_three = *parse_threshold("0.3");
  EXPECT_FALSE((Change{1000, 1003}.grew_beyond(point_three)));
  EXPECT_TRUE((Change{1000, 1004}.grew_beyond(point_three)));
  EXPECT_FALSE((Change{10'000'000, 10'030'000}.grew_beyond(point_three)));
  // Large counts do not overflow.
  EXPECT_FALSE((Change{UINT64_MAX / 2, UINT64_MAX / 2}.grew_beyond(Threshold{0})));
  EXPECT_TRUE((Change{UINT64_MAX / 2, UINT64_MAX}.grew_beyond(Threshold{99'000'000})));
  // From nothing to something is growth beyond any threshold.
  EXPECT_TRUE((Change{0, 1}.grew_beyond(Threshold{1'000'000'000'000'000})));
  EXPECT_FALSE((Change{0, 0}.grew_beyond(Threshold{0})));
}

TEST(Diff, ComparesSpanKindsAndBusyCyclesOfKnownProfiles) {
  const ProfileReport base{1000, {tile_busy(0, 400), tile_busy(1, 100, ProfileStepKind::Exchange), tile_busy(2, 50)}};
  ProfileReport next{1000, {tile_busy(0, 300), tile_busy(1, 200, ProfileStepKind::Exchange), tile_busy(3, 10)}};
  next.tiles[0].samples.push_back(sample(ProfileStepKind::Synchronization, 1000, 1100));
  const auto diff = diff_of(base, next);

  EXPECT_EQ(diff.span, (Change{1000, 1100}));
  EXPECT_EQ(diff.cycles_of(ProfileStepKind::Exchange), (Change{100, 200}));
  EXPECT_EQ(diff.cycles_of(ProfileStepKind::Compute), (Change{450, 310}));
  EXPECT_EQ(diff.cycles_of(ProfileStepKind::Synchronization), (Change{0, 100}));
  EXPECT_EQ(diff.cycles_of(ProfileStepKind::Idle), (Change{2450, 2490}));
  EXPECT_EQ(diff.busy, (Change{550, 610}));
  EXPECT_EQ(diff.busy.difference(), 60);
  EXPECT_EQ(diff.cycles_of(ProfileStepKind::Compute).difference(), -140);
  EXPECT_EQ(diff.only_in_base, (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(diff.only_in_new, (std::vector<std::uint32_t>{3}));
  // Tile 0 (400 -> 400 busy: 300 compute + 100 synchronization) did not
  // change; tile 1 did.
  EXPECT_EQ(diff.top_tiles, (std::vector<TileChange>{{1, {100, 200}}, {0, {400, 400}}}));
  EXPECT_EQ(diff.regressions(), (std::vector<std::string>{"span", "busy", "exchange", "synchronization"}));
}

TEST(Diff, ListsTheTilesThatChangedMostEitherWay) {
  ProfileReport base{1000, {}};
  ProfileReport next{1000, {}};
  const std::uint32_t before[] = {100, 500, 300, 300, 200};
  const std::uint32_t after[] = {150, 100, 340, 260, 200};
  for (std::uint32_t tile = 0; tile < 5; ++tile) {
    base.tiles.push_back(tile_busy(tile, before[tile]));
    next.tiles.push_back(tile_busy(tile, after[tile]));
  }
  const auto top3 = diff_of(base, next, {}, 3).top_tiles;
  // By absolute change: -400, then +50, then +40 and -40 tied, broken by number.
  ASSERT_EQ(top3.size(), 3u);
  EXPECT_EQ(top3[0].tile, 1u);
  EXPECT_EQ(top3[1].tile, 0u);
  EXPECT_EQ(top3[2].tile, 2u);
  EXPECT_TRUE(diff_of(base, next, {}, 0).top_tiles.empty());
  EXPECT_EQ(diff_of(base, next, {}, 99).top_tiles.size(), 5u);
}

TEST(Diff, TextShowsBothProfilesTheChangesAndTheVerdict) {
  const ProfileReport base{1'000'000'000, {tile_busy(0, 400), tile_busy(1, 100)}};
  ProfileReport next{2'000'000'000, {tile_busy(0, 430), tile_busy(1, 100), tile_busy(2, 1)}};
  const auto text = text_of(diff_of(base, next, Threshold{5'000'000}));
  EXPECT_THAT(text, HasSubstr("warning: the clocks differ (1000000000 Hz in base, 2000000000 Hz in new); figures "
                              "are compared in cycles"));
  EXPECT_THAT(text, HasSubstr("span (µs)                             1.000            0.500\n"));
  EXPECT_THAT(text,
              HasSubstr("compute (cycles)                        500              531  +31 (+6.20%)  << regression\n"));
  EXPECT_THAT(text, HasSubstr("idle (cycles)                          1500             2469  +969 (+64.60%)\n"));
  EXPECT_THAT(text, HasSubstr("  tile 0 (row 0, position 0)                  400          430  +30 (+7.50%)\n"));
  EXPECT_THAT(text, HasSubstr("tiles only in new:  1 (2)\n"));
  EXPECT_THAT(text, HasSubstr("\nregression: busy, compute grew by more than 5%\n"));

  const auto same = text_of(diff_of(base, base, Threshold{0}));
  EXPECT_THAT(same, Not(HasSubstr("warning")));
  EXPECT_THAT(same, Not(HasSubstr("<< regression")));
  EXPECT_THAT(same, HasSubstr("\nno regression: nothing grew by more than 0%\n"));
}

}  // namespace
