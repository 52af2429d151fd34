// The gate of `kivu-results check`: is a new figure within what its series
// has shown lately?
//
// The series' last level (its points from the last change point on) gives
// a median and a MAD (median absolute deviation from the median); the new
// value is inside when it lies in
//
//   median ± k · max(1.4826 · MAD, 0.001 · |median|)
//
// bounds included. 1.4826 · MAD estimates a Gaussian's standard deviation
// while ignoring outliers. The floor of 0.1% of the median keeps a level of
// identical figures (MAD 0, as a deterministic simulator gives) from
// raising an alarm at every new value, or at none: with k = 4 it accepts a
// value within ±0.4% of such a level and flags a 1% shift. A level whose
// median and MAD are both 0 accepts only 0.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "kivu_results/model.hpp"

namespace kivu_results {

// The fewest points the last level must have for a verdict.
inline constexpr std::size_t gate_min_level_points = 5;
// The smallest spread the band assumes, relative to the level's median.
inline constexpr double gate_relative_floor = 0.001;

struct GateVerdict {
  bool inside = false;
  double median = 0;
  double mad = 0;  // raw MAD, before the 1.4826 factor and the floor
  double low = 0;  // the band, bounds included
  double high = 0;
  std::size_t level_start = 0;  // index of the last level's first point
  std::size_t level_size = 0;
};

// Judges `value` against the last level of `values` (the points from the
// last of `change_points` on, or all of them when there is none), with the
// band's half width k spreads. An error, one line, when the last level has
// fewer than gate_min_level_points points, when a change point lies beyond
// the series, when k is not positive, or when `value` or a level point is
// not finite.
[[nodiscard]] std::expected<GateVerdict, std::string> judge(std::span<const double> values,
                                                            std::span<const ChangePoint> change_points, double value,
                                                            double k = 4.0);

}  // namespace kivu_results
