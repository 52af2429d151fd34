#include "profile_stats.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "profile_fixtures.hpp"

namespace {

using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_profile::testing::sample;
using namespace kivu_profile;

TEST(ProfileStats, SumsCyclesPerStepKindPerTileAndOverall) {
  ProfileReport report{500,
                       {{7, {sample(ProfileStepKind::Compute, 10, 40), sample(ProfileStepKind::Idle, 40, 50)}},
                        {3,
                         {sample(ProfileStepKind::Exchange, 0, 5), sample(ProfileStepKind::Compute, 5, 8),
                          sample(ProfileStepKind::Synchronization, 8, 9)}}}};
  const auto stats = compute_stats(report);
  EXPECT_EQ(stats.sample_count, 5u);
  EXPECT_EQ(stats.cycles, (kivu_package::KindCycles{.exchange = 5, .compute = 33, .synchronization = 1, .idle = 10}));
  EXPECT_EQ(stats.total_cycles(), 49u);
  ASSERT_EQ(stats.tiles.size(), 2u);
  EXPECT_EQ(stats.tiles[0].physical_tile, 3u) << "tiles are ordered by physical number";
  EXPECT_EQ(stats.tiles[0].busy_cycles(), 9u);
  EXPECT_EQ(stats.tiles[1].busy_cycles(), 30u) << "idle cycles are not busy";
  EXPECT_EQ(stats.find(7)->cycles.idle, 10u);
  EXPECT_EQ(stats.find(4), nullptr);
}

TEST(ProfileStats, SpanRunsFromTheEarliestStartToTheLatestEndOverAllTiles) {
  ProfileReport report{1,
                       {{0, {sample(ProfileStepKind::Compute, 120, 300)}},
                        {1, {sample(ProfileStepKind::Idle, 100, 150), sample(ProfileStepKind::Compute, 150, 160)}}}};
  EXPECT_EQ(compute_stats(report).span, (Span{100, 300}));
  EXPECT_EQ(compute_stats(report).span_cycles(), 200u);
}

TEST(ProfileStats, HasNoSpanWithoutSamples) {
  ProfileReport report{1, {{0, {}}}};
  EXPECT_FALSE(compute_stats(report).span.has_value());
  EXPECT_EQ(compute_stats(report).span_cycles(), 0u);
}

TEST(ProfileStats, CountsASampleThatEndsBeforeItStartsAsZeroCycles) {
  ProfileReport report{1, {{0, {sample(ProfileStepKind::Compute, 50, 60), sample(ProfileStepKind::Compute, 90, 10)}}}};
  const auto stats = compute_stats(report);
  EXPECT_EQ(stats.reversed_samples, 1u);
  EXPECT_EQ(stats.sample_count, 2u);
  EXPECT_EQ(stats.cycles.compute, 10u);
  EXPECT_EQ(stats.span, (Span{50, 60})) << "a reversed sample does not stretch the span";
}

TEST(ProfileStats, MergesEntriesThatNameTheSameTile) {
  ProfileReport report{
      1, {{5, {sample(ProfileStepKind::Compute, 0, 10)}}, {2, {}}, {5, {sample(ProfileStepKind::Exchange, 10, 15)}}}};
  const auto stats = compute_stats(report);
  EXPECT_EQ(stats.tile_entries, 3u);
  ASSERT_EQ(stats.tiles.size(), 2u);
  EXPECT_EQ(stats.find(5)->sample_count, 2u);
  EXPECT_EQ(stats.find(5)->busy_cycles(), 15u);
  EXPECT_EQ(stats.repeated_tiles, std::vector<std::uint32_t>{5});
}

TEST(ProfileStats, HandlesTheWidestCycleRangeWithoutOverflow) {
  ProfileReport report{
      1,
      {{0, {sample(ProfileStepKind::Compute, 0, UINT32_MAX)}}, {1, {sample(ProfileStepKind::Compute, 0, UINT32_MAX)}}}};
  const auto stats = compute_stats(report);
  EXPECT_EQ(stats.total_cycles(), 2ull * UINT32_MAX);
  EXPECT_EQ(stats.span_cycles(), UINT32_MAX);
}

TEST(StepKindNames, RoundTripTheSchemaNamesAndRejectOthers) {
  for (const auto kind : step_kinds) EXPECT_EQ(parse_kind(kind_name(kind)), kind);
  EXPECT_EQ(kind_name(ProfileStepKind::Synchronization), "synchronization");
  EXPECT_FALSE(parse_kind("Idle").has_value());
  EXPECT_FALSE(parse_kind("busy").has_value());
  EXPECT_FALSE(parse_kind("").has_value());
}

TEST(FormatRanges, JoinsRunsOfConsecutiveNumbers) {
  EXPECT_EQ(format_ranges({}), "");
  EXPECT_EQ(format_ranges({4}), "4");
  EXPECT_EQ(format_ranges({0, 1, 2, 3, 5, 7, 8}), "0-3, 5, 7-8");
}

}  // namespace
