#include "kivu_results/change_points.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "series_fixtures.hpp"

namespace {

using kivu_results::ChangePoint;
using kivu_results::ChangePointOptions;
using kivu_results::find_change_points;
using kivu_results_testing::commit_names;
using kivu_results_testing::noisy_series;

std::vector<ChangePoint> change_points_of(const std::vector<double>& values, const ChangePointOptions& options = {}) {
  const auto commits = commit_names(values.size());
  return find_change_points(values, commits, options);
}

std::vector<std::size_t> indices(const std::vector<ChangePoint>& points) {
  std::vector<std::size_t> out;
  for (const auto& point : points) out.push_back(point.index);
  return out;
}

// The energy statistic of splitting values[begin, end) at `at`, from its
// definition: every pairwise distance summed afresh.
double energy(const std::vector<double>& values, std::size_t begin, std::size_t at, std::size_t end) {
  double between = 0, left = 0, right = 0;
  for (std::size_t i = begin; i < end; ++i) {
    for (std::size_t j = i + 1; j < end; ++j) {
      const double distance = std::abs(values[i] - values[j]);
      (j < at ? left : i >= at ? right : between) += distance;
    }
  }
  const auto m = static_cast<double>(at - begin), n = static_cast<double>(end - at);
  return m * n / (m + n) * (2 * between / (m * n) - 2 * left / (m * (m - 1)) - 2 * right / (n * (n - 1)));
}

// Every split the bisection makes when every test passes: the best split of
// each segment with a positive statistic, down to segments too short.
void all_splits(const std::vector<double>& values, std::size_t begin, std::size_t end, std::size_t min_segment,
                std::vector<std::size_t>& splits) {
  if (end - begin < 2 * min_segment) return;
  double best = -1;
  std::size_t best_at = 0;
  for (std::size_t at = begin + min_segment; at + min_segment <= end; ++at) {
    const double q = energy(values, begin, at, end);
    if (q > best) best = q, best_at = at;
  }
  if (!(best > 0)) return;
  splits.push_back(best_at);
  all_splits(values, begin, best_at, min_segment, splits);
  all_splits(values, best_at, end, min_segment, splits);
}

TEST(ChangePoints, SeriesWithoutAChangeReportNone) {
  // Constant series: every distance is 0, nothing to divide by.
  for (const std::size_t size : {0, 1, 5, 6, 100, 1000}) {
    EXPECT_THAT(change_points_of(std::vector<double>(size, 1234.0)), testing::IsEmpty()) << size << " points";
    EXPECT_THAT(change_points_of(std::vector<double>(size, 0.0)), testing::IsEmpty()) << size << " zeros";
  }
  // Noise around one level.
  EXPECT_THAT(change_points_of(noisy_series(7, 200, 1e6, 0.01)), testing::IsEmpty());
}

TEST(ChangePoints, AStepNamesItsFirstPointCommitMeansAndPValue) {
  const auto values = noisy_series(3, 100, 1000.0, 0.005, 60, 0.05);
  const auto found = change_points_of(values);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].index, 60u);
  EXPECT_EQ(found[0].commit, "c60");
  double before = 0, after = 0;
  for (std::size_t i = 0; i < 60; ++i) before += values[i] / 60;
  for (std::size_t i = 60; i < 100; ++i) after += values[i] / 40;
  EXPECT_DOUBLE_EQ(found[0].before, before);
  EXPECT_DOUBLE_EQ(found[0].after, after);
  EXPECT_NEAR(found[0].relative_change, (after - before) / before, 1e-12);
  EXPECT_NEAR(found[0].relative_change, 0.05, 0.005);
  // No shuffle comes near a clear step: the smallest p there is.
  EXPECT_DOUBLE_EQ(found[0].p_value, 1.0 / 200);
}

TEST(ChangePoints, StepsUpAndDownGiveAdjacentSegmentsMeans) {
  auto values = noisy_series(11, 150, 500.0, 0.01, 40, 0.10);
  for (std::size_t i = 100; i < 150; ++i) values[i] -= 100.0;  // back below the first level
  const auto found = change_points_of(values);
  ASSERT_THAT(indices(found), testing::ElementsAre(40u, 100u));
  // The middle segment is the level after the first and before the second.
  EXPECT_DOUBLE_EQ(found[0].after, found[1].before);
  EXPECT_GT(found[0].relative_change, 0.08);
  EXPECT_LT(found[1].relative_change, -0.15);
}

TEST(ChangePoints, TheSameSeedGivesTheSameAnswerAndSeedsDiffer) {
  // Noise alone: the p-value of its best split depends on the shuffles.
  const auto values = noisy_series(5, 80, 100.0, 0.02);
  ChangePointOptions options;
  options.max_p_value = 1.0;  // keep every split to compare p-values
  options.min_segment = 20;
  const auto first = change_points_of(values, options);
  const auto again = change_points_of(values, options);
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(first.size(), again.size());
  EXPECT_EQ(first[0].index, again[0].index);
  EXPECT_EQ(first[0].p_value, again[0].p_value);
  // The shuffles are this library's own: their p-values are pinned, so a
  // change of generator or shuffle (or the seed not reaching it) shows.
  EXPECT_EQ(first[0].index, 41u);
  EXPECT_DOUBLE_EQ(first[0].p_value, 55.0 / 200);
  options.seed = 2;
  const auto other = change_points_of(values, options);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_DOUBLE_EQ(other[0].p_value, 39.0 / 200);
}

// Without the significance test (no shuffles, every p of 1 accepted) the
// bisection must split where the statistic, computed from its definition,
// is largest: checks the running sums of the fast scan.
TEST(ChangePoints, SplitsWhereTheEnergyStatisticIsLargest) {
  ChangePointOptions options;
  options.permutations = 0;
  options.max_p_value = 1.0;
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    options.min_segment = 2 + seed % 4;
    auto values = noisy_series(seed, 30 + seed, 100.0, 0.05, 12 + seed, 0.03);
    if (seed % 2 == 0) {
      for (double& v : values) v = std::round(v / 4);  // many ties among the values
    }
    std::vector<std::size_t> expected;
    all_splits(values, 0, values.size(), options.min_segment, expected);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(indices(change_points_of(values, options)), expected) << "seed " << seed;
  }
}

TEST(ChangePoints, SignificanceLimitIsInclusive) {
  // With 99 shuffles a clear step has p = 1/100 exactly.
  const auto values = noisy_series(9, 60, 100.0, 0.001, 30, 0.5);
  ChangePointOptions options;
  options.permutations = 99;
  options.max_p_value = 0.01;
  const auto found = change_points_of(values, options);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_DOUBLE_EQ(found[0].p_value, 0.01);
  options.max_p_value = 0.0099;
  EXPECT_THAT(change_points_of(values, options), testing::IsEmpty());
}

TEST(ChangePoints, LevelsAreAtLeastTheMinimumSegmentLong) {
  ChangePointOptions options;
  options.min_segment = 5;
  options.max_p_value = 0.05;  // 10 points allow no smaller p
  // 10 points can be split into two levels of 5; 9 cannot.
  const std::vector<double> ten = {1, 1.1, 0.9, 1, 1.05, 9, 9.1, 8.9, 9, 9.05};
  EXPECT_THAT(indices(change_points_of(ten, options)), testing::ElementsAre(5u));
  const std::vector<double> nine(ten.begin() + 1, ten.end());
  EXPECT_THAT(change_points_of(nine, options), testing::IsEmpty());
  // A level of 5 at the end is split off; one of 4 cannot be: no level
  // found may be shorter than 5.
  std::vector<double> tail(40, 1.0);
  for (std::size_t i = 35; i < 40; ++i) tail[i] = 50.0;
  EXPECT_THAT(indices(change_points_of(tail, options)), testing::ElementsAre(35u));
  tail[35] = 1.0;
  for (const std::size_t index : indices(change_points_of(tail, options))) {
    EXPECT_GE(index, 5u);
    EXPECT_LE(index, 35u);
  }
}

TEST(ChangePoints, MissingCommitsAndNonFiniteValues) {
  const auto values = noisy_series(3, 100, 1000.0, 0.005, 60, 0.05);
  const std::vector<std::string> few = {"a", "b"};
  const auto found = find_change_points(values, few);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].commit, "");
  auto broken = values;
  broken[10] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THAT(change_points_of(broken), testing::IsEmpty());
  broken[10] = std::numeric_limits<double>::infinity();
  EXPECT_THAT(change_points_of(broken), testing::IsEmpty());
}

// Series of 100 Gaussian points without a change: at p <= 0.01 about 1% of
// them report a change point. The bound leaves room for the sampling error
// of 1,000 series (a standard deviation of 0.3%).
TEST(ChangePoints, FalseAlarmRateOnSeriesWithoutAChange) {
  std::size_t alarms = 0;
  constexpr std::size_t series = 1000;
  for (std::uint64_t seed = 1; seed <= series; ++seed) {
    if (!change_points_of(noisy_series(seed, 100, 1e6, 0.01)).empty()) ++alarms;
  }
  const double rate = static_cast<double>(alarms) / series;
  RecordProperty("false_alarm_rate", std::to_string(rate));
  std::printf("false alarms: %zu of %zu series without a change (%.1f%%)\n", alarms, series, 100 * rate);
  EXPECT_LE(rate, 0.025);
}

// A 2% step in series of 100 points: found at its place in nearly every
// series when the noise is 1% (the step is two standard deviations), in
// most when the noise is 2%.
TEST(ChangePoints, DetectsATwoPercentStep) {
  const auto detection = [](double noise) {
    std::size_t found_near = 0;
    constexpr std::size_t series = 200;
    for (std::uint64_t seed = 1; seed <= series; ++seed) {
      const auto found = change_points_of(noisy_series(5000 + seed, 100, 1e6, noise, 50, 0.02));
      for (const auto& point : found) {
        if (point.index + 3 >= 50 && point.index <= 53) {
          ++found_near;
          break;
        }
      }
    }
    return static_cast<double>(found_near) / series;
  };
  const double at_1 = detection(0.01);
  const double at_2 = detection(0.02);
  std::printf("2%% step found within 3 points: %.1f%% at 1%% noise, %.1f%% at 2%% noise\n", 100 * at_1, 100 * at_2);
  RecordProperty("detection_at_1_percent_noise", std::to_string(at_1));
  RecordProperty("detection_at_2_percent_noise", std::to_string(at_2));
  EXPECT_GE(at_1, 0.95);
  EXPECT_GE(at_2, 0.40);
}

}  // namespace
