#include "kivu_results/gate.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <fmt/format.h>

namespace kivu_results {

namespace {

// The median of `values` (the mean of the middle two for an even count);
// reorders them.
double median_of(std::vector<double>& values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::ranges::nth_element(values, middle);
  if (values.size() % 2 == 1) return *middle;
  return (*std::max_element(values.begin(), middle) + *middle) / 2;
}

}  // namespace

std::expected<GateVerdict, std::string> judge(std::span<const double> values,
                                              std::span<const ChangePoint> change_points, double value, double k) {
  if (!(k > 0) || !std::isfinite(k))
    return std::unexpected(fmt::format("the band's width k must be above 0, not {}", k));
  if (!std::isfinite(value)) return std::unexpected(fmt::format("the figure to judge is not a number: {}", value));
  std::size_t start = 0;
  for (const ChangePoint& point : change_points) start = std::max(start, point.index);
  if (start > values.size()) {
    return std::unexpected(
        fmt::format("a change point at point {} lies beyond the series of {} points", start, values.size()));
  }
  const std::size_t size = values.size() - start;
  if (size < gate_min_level_points) {
    return std::unexpected(
        fmt::format("the series' last level has {} point{} (from point {} on); the gate needs at least {}", size,
                    size == 1 ? "" : "s", start, gate_min_level_points));
  }
  std::vector<double> level(values.begin() + static_cast<std::ptrdiff_t>(start), values.end());
  if (const auto bad = std::ranges::find_if(level, [](double v) { return !std::isfinite(v); }); bad != level.end()) {
    return std::unexpected(fmt::format("point {} of the series is not a number: {}",
                                       start + static_cast<std::size_t>(bad - level.begin()), *bad));
  }

  GateVerdict verdict;
  verdict.level_start = start;
  verdict.level_size = size;
  verdict.median = median_of(level);
  for (double& v : level) v = std::abs(v - verdict.median);
  verdict.mad = median_of(level);
  const double spread = std::max(1.4826 * verdict.mad, gate_relative_floor * std::abs(verdict.median));
  verdict.low = verdict.median - k * spread;
  verdict.high = verdict.median + k * spread;
  verdict.inside = verdict.low <= value && value <= verdict.high;
  return verdict;
}

}  // namespace kivu_results
