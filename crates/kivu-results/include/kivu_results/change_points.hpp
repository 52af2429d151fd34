// Change points of a metric's series: where its level shifts, found by
// E-divisive means with a permutation significance test.
//
// The series is split by bisection. Within a segment every split point tau
// (leaving at least `min_segment` points on each side) is scored by the
// energy statistic with alpha = 1,
//
//   Q(tau) = m·n/(m+n) · ( 2/(m·n) Σ|x_i - y_j| - 1/C(m,2) Σ|x_i - x_k| - 1/C(n,2) Σ|y_j - y_k| ),
//
// x the m points before tau and y the n points from tau on; the best split
// is kept only if its Q is significant: the segment's points are shuffled
// `permutations` times, each shuffle's best Q computed the same way, and
// p = (1 + #shuffles with best Q >= the observed) / (permutations + 1) must
// be at most `max_p_value`. Accepted splits cut the segment in two, and both
// halves are tested again; a segment whose best split is not significant is
// final. One scan of a segment of n points takes O(n log n) (running sums
// of distances over a Fenwick tree of the points' ranks), so a segment's
// test takes O(permutations · n log n).
//
// The shuffles come from std::mt19937_64 with this file's own unbiased
// Fisher-Yates (std::shuffle's result differs between standard libraries),
// seeded per segment from `seed` and the segment's bounds: the same series
// and options give the same change points on every platform, whatever order
// the segments are tested in.
//
// With the defaults, series of 100 Gaussian points without a change report
// a change point in about 1% of cases (tests/change_points_test.cpp keeps it
// under 2.5% over 1,000 seeded series).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kivu_results/model.hpp"

namespace kivu_results {

struct ChangePointOptions {
  // A split is accepted when its permutation p-value is at most this.
  double max_p_value = 0.01;
  // Shuffles per test; p can be no smaller than 1 / (permutations + 1).
  std::size_t permutations = 199;
  // Seeds the shuffles: the same seed gives the same answer.
  std::uint64_t seed = 1;
  // The fewest points a level may have (at least 2 are used).
  std::size_t min_segment = 3;
};

// The change points of `values`, by increasing index. commits[i] names
// point i (a change point's commit is left empty where `commits` is
// shorter than `values`). Each change point carries the means of the two
// final segments it separates, the relative change between them (0 when
// the mean before is 0) and the p-value of the test that accepted it.
//
// A series without a change, a constant one included (all distances are 0,
// so no split is significant), reports none, as does one shorter than
// 2 · min_segment. Values must be finite: the store refuses NaN and
// infinities before they reach a series; a series that holds one anyway
// reports no change points rather than a meaningless one.
[[nodiscard]] std::vector<ChangePoint> find_change_points(std::span<const double> values,
                                                          std::span<const std::string> commits,
                                                          const ChangePointOptions& options = {});

}  // namespace kivu_results
