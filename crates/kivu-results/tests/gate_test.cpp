#include "kivu_results/gate.hpp"

#include <limits>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using kivu_results::ChangePoint;
using kivu_results::judge;

ChangePoint change_at(std::size_t index) {
  ChangePoint point;
  point.index = index;
  return point;
}

TEST(Gate, JudgesAgainstTheLevelAfterTheLastChangePoint) {
  std::vector<double> values(20, 100.0);
  for (std::size_t i = 12; i < 20; ++i) values[i] = 200.0 + static_cast<double>(i % 3);  // 200, 201, 202
  const std::vector<ChangePoint> changes = {change_at(5), change_at(12)};
  const auto verdict = judge(values, changes, 201.0);
  ASSERT_TRUE(verdict.has_value()) << verdict.error();
  EXPECT_EQ(verdict->level_start, 12u);
  EXPECT_EQ(verdict->level_size, 8u);
  EXPECT_DOUBLE_EQ(verdict->median, 201.0);
  EXPECT_DOUBLE_EQ(verdict->mad, 1.0);
  EXPECT_TRUE(verdict->inside);
  // The old level's figure is an alarm now.
  EXPECT_FALSE(judge(values, changes, 100.0)->inside);
  // Without change points the whole series is the level.
  EXPECT_EQ(judge(values, {}, 150.0)->level_size, 20u);
}

TEST(Gate, BandIsMedianPlusMinusKScaledMadBoundsIncluded) {
  const std::vector<double> values = {10, 11, 9, 10, 10, 12, 8};  // median 10, MAD 1
  const double half_width = 4.0 * 1.4826;
  const auto at = [&](double value, double k = 4.0) { return judge(values, {}, value, k).value(); };
  EXPECT_DOUBLE_EQ(at(10).low, 10 - half_width);
  EXPECT_DOUBLE_EQ(at(10).high, 10 + half_width);
  EXPECT_TRUE(at(10 + half_width).inside);
  EXPECT_FALSE(at(10 + half_width + 1e-9).inside);
  EXPECT_TRUE(at(10 - half_width).inside);
  EXPECT_FALSE(at(10 - half_width - 1e-9).inside);
  // k scales the band.
  EXPECT_FALSE(at(13, 2.0).inside);
  EXPECT_TRUE(at(12.9, 2.0).inside);
}

TEST(Gate, AnOutlierInTheLevelDoesNotWidenTheBand) {
  std::vector<double> values = {100, 101, 99, 100, 100, 102, 98, 100, 1e9};
  const auto verdict = judge(values, {}, 110.0);
  ASSERT_TRUE(verdict.has_value());
  EXPECT_DOUBLE_EQ(verdict->median, 100.0);
  EXPECT_FALSE(verdict->inside);
}

TEST(Gate, IdenticalFiguresUseTheRelativeFloor) {
  // MAD 0: the band is ±4 · 0.1% of the median, not empty and not endless.
  const std::vector<double> values(10, 1000.0);
  const auto verdict = judge(values, {}, 1000.0);
  ASSERT_TRUE(verdict.has_value());
  EXPECT_DOUBLE_EQ(verdict->mad, 0.0);
  EXPECT_TRUE(verdict->inside);
  EXPECT_DOUBLE_EQ(verdict->low, 996.0);
  EXPECT_DOUBLE_EQ(verdict->high, 1004.0);
  EXPECT_TRUE(judge(values, {}, 1003.0)->inside);
  EXPECT_TRUE(judge(values, {}, 1004.0)->inside);
  EXPECT_FALSE(judge(values, {}, 1004.01)->inside);
  EXPECT_FALSE(judge(values, {}, 1010.0)->inside);  // a 1% shift
  EXPECT_FALSE(judge(values, {}, 990.0)->inside);
  // A level of zeros accepts only 0.
  const std::vector<double> zeros(6, 0.0);
  EXPECT_TRUE(judge(zeros, {}, 0.0)->inside);
  EXPECT_FALSE(judge(zeros, {}, 1e-9)->inside);
}

TEST(Gate, TooShortALevelIsAnError) {
  const std::vector<double> values = {1, 1, 1, 1, 5, 5, 5, 5, 5};
  // Five points after the change: enough; four: not.
  EXPECT_TRUE(judge(values, std::vector{change_at(4)}, 5.0).has_value());
  const auto short_level = judge(values, std::vector{change_at(5)}, 5.0);
  ASSERT_FALSE(short_level.has_value());
  EXPECT_EQ(short_level.error(), "the series' last level has 4 points (from point 5 on); the gate needs at least 5");
  EXPECT_FALSE(judge(std::vector<double>{1, 2, 3, 4}, {}, 2.0).has_value());
  EXPECT_TRUE(judge(std::vector<double>{1, 2, 3, 4, 5}, {}, 2.0).has_value());
  EXPECT_FALSE(judge(std::vector<double>{}, {}, 2.0).has_value());
}

TEST(Gate, RefusesWhatItCannotJudge) {
  const std::vector<double> values(10, 3.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THAT(judge(values, std::vector{change_at(11)}, 3.0).error(), testing::HasSubstr("beyond the series"));
  EXPECT_THAT(judge(values, {}, nan).error(), testing::HasSubstr("not a number"));
  EXPECT_THAT(judge(values, {}, inf).error(), testing::HasSubstr("not a number"));
  EXPECT_THAT(judge(values, {}, 3.0, 0.0).error(), testing::HasSubstr("above 0"));
  EXPECT_THAT(judge(values, {}, 3.0, -1.0).error(), testing::HasSubstr("above 0"));
  auto broken = values;
  broken[7] = nan;
  EXPECT_THAT(judge(broken, {}, 3.0).error(), testing::HasSubstr("point 7"));
  // A change point at the end leaves an empty level.
  EXPECT_FALSE(judge(values, std::vector{change_at(10)}, 3.0).has_value());
}

TEST(Gate, MedianOfAnEvenCount) {
  const std::vector<double> values = {6, 1, 5, 2, 4, 3};
  const auto verdict = judge(values, {}, 3.5).value();
  EXPECT_DOUBLE_EQ(verdict.median, 3.5);
  EXPECT_DOUBLE_EQ(verdict.mad, 1.5);  // deviations 0.5, 0.5, 1.5, 1.5, 2.5, 2.5
}

}  // namespace
