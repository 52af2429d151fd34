#include "summary.hpp"

#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "profile_fixtures.hpp"

using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_profile::testing::sample;
using testing::HasSubstr;
using testing::Not;

namespace {

std::string summary_of(const ProfileReport& report) {
  std::ostringstream out;
  kivu_profile::write_summary(report, out);
  return out.str();
}

// The lines that follow the line starting with `heading`, up to a blank line
// or the next heading.
std::vector<std::string> section(const std::string& text, const std::string& heading) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (inside) {
      if (line.empty() || !line.starts_with("  ")) break;
      lines.push_back(line);
    } else if (line.starts_with(heading)) {
      inside = true;
    }
  }
  return lines;
}

TEST(Summary, ReportsTheClockCountsAndSpan) {
  auto report = kivu_profile::testing::gemm_like_profile(1472, 2);
  report.clock_hz = 1'330'000'000;
  const auto text = summary_of(report);
  EXPECT_THAT(text, HasSubstr("clock:    1330000000 Hz (1330.000 MHz)\n"));
  EXPECT_THAT(text, HasSubstr("tiles:    1472 in the profile, 1472 with samples\n"));
  EXPECT_THAT(text, HasSubstr("samples:  11776\n"));
  // 2000 cycles at 1.33 GHz.
  EXPECT_THAT(text, HasSubstr("span:     cycles 0 to 2000: 2000 cycles, 1.504 µs\n"));
  EXPECT_THAT(text, HasSubstr("tiles without samples: none\n"));
  EXPECT_THAT(text, HasSubstr("board tiles not in the profile: none\n"));
}

TEST(Summary, GivesCyclesAndSharePerStepKind) {
  ProfileReport report{1'000'000,
                       {{0, {sample(ProfileStepKind::Exchange, 0, 100), sample(ProfileStepKind::Compute, 100, 400)}},
                        {1, {sample(ProfileStepKind::Idle, 0, 400)}}}};
  const auto kinds = section(summary_of(report), "cycles per step kind");
  ASSERT_EQ(kinds.size(), 5u);
  EXPECT_THAT(kinds[0], testing::MatchesRegex(" *exchange +100 cycles +12.50%"));
  EXPECT_THAT(kinds[1], testing::MatchesRegex(" *compute +300 cycles +37.50%"));
  EXPECT_THAT(kinds[2], testing::MatchesRegex(" *synchronization +0 cycles +0.00%"));
  EXPECT_THAT(kinds[3], testing::MatchesRegex(" *idle +400 cycles +50.00%"));
  EXPECT_THAT(kinds[4], testing::MatchesRegex(" *all +800 cycles"));
}

TEST(Summary, ListsTheFiveBusiestAndFiveIdlestTilesByPhysicalNumber) {
  // Tile t is busy for t cycles of a 100-cycle run; tile 50 has no samples.
  ProfileReport report{1000, {}};
  for (std::uint32_t tile : {3u, 70u, 9u, 64u, 1u, 99u, 12u, 40u}) {
    report.tiles.push_back(
        {tile, {sample(ProfileStepKind::Compute, 0, tile), sample(ProfileStepKind::Idle, tile, 100)}});
  }
  report.tiles.push_back({50, {}});
  const auto text = summary_of(report);
  EXPECT_THAT(text,
              HasSubstr("busy = cycles in exchange, compute and synchronization samples (every step kind but idle)"));
  const auto busiest = section(text, "busiest tiles");
  ASSERT_EQ(busiest.size(), 5u);
  EXPECT_THAT(busiest[0], testing::MatchesRegex(" *tile 99 \\(row 1, position 35\\) +99 busy cycles +99.00%"));
  EXPECT_THAT(busiest[1], HasSubstr("tile 70 "));
  EXPECT_THAT(busiest[4], HasSubstr("tile 12 "));
  const auto idlest = section(text, "idlest tiles");
  ASSERT_EQ(idlest.size(), 5u);
  EXPECT_THAT(idlest[0], testing::MatchesRegex(" *tile 1 \\(row 0, position 1\\) +1 busy cycles +1.00%"));
  EXPECT_THAT(idlest[4], HasSubstr("tile 40 "));
  EXPECT_THAT(text, Not(HasSubstr("tile 50 ("))) << "a tile without samples is neither busy nor idle";
  EXPECT_THAT(text, HasSubstr("tiles without samples: 1 (50)\n"));
}

TEST(Summary, NamesBoardTilesMissingFromTheProfileAndTilesBeyondTheBoard) {
  auto report = kivu_profile::testing::gemm_like_profile(1400);
  report.tiles.push_back({2000, {sample(ProfileStepKind::Compute, 0, 10)}});
  const auto text = summary_of(report);
  EXPECT_THAT(text, HasSubstr("board tiles not in the profile: 72 (1400-1471)\n"));
  EXPECT_THAT(text, HasSubstr("tiles beyond the board's 1472 tiles: 1 (2000)\n"));
}

TEST(Summary, ShowsOnlyCyclesWhenTheClockIsZero) {
  ProfileReport report{0, {{0, {sample(ProfileStepKind::Compute, 0, 10)}}}};
  const auto text = summary_of(report);
  EXPECT_THAT(text, HasSubstr("clock:    0 Hz (unknown"));
  EXPECT_THAT(text, HasSubstr("span:     cycles 0 to 10: 10 cycles\n"));
  EXPECT_THAT(text, Not(HasSubstr("µs"))) << "no division by a zero clock";
}

TEST(Summary, WarnsOfSamplesThatEndBeforeTheyStart) {
  ProfileReport report{1, {{0, {sample(ProfileStepKind::Compute, 10, 5)}}}};
  const auto text = summary_of(report);
  EXPECT_THAT(text, HasSubstr("warning:  1 samples end before they start; they are counted as 0 cycles\n"));
  EXPECT_THAT(text, HasSubstr("span:     none"));
}

}  // namespace
