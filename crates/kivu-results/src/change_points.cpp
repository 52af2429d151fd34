#include "kivu_results/change_points.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

namespace kivu_results {

namespace {

// A Fenwick tree over the ranks of a segment's values: how many of the
// points inserted so far have a rank up to r, and the sum of their values.
class RankSums {
public:
  explicit RankSums(std::size_t ranks) : count_(ranks + 1), sum_(ranks + 1) {}

  void clear() {
    std::ranges::fill(count_, 0);
    std::ranges::fill(sum_, 0.0);
  }

  void insert(std::size_t rank, double value) {
    for (std::size_t i = rank + 1; i < count_.size(); i += i & (~i + 1)) {
      ++count_[i];
      sum_[i] += value;
    }
  }

  // Points inserted with a rank of at most `rank`: their number and sum.
  std::pair<std::size_t, double> up_to(std::size_t rank) const {
    std::size_t count = 0;
    double sum = 0;
    for (std::size_t i = rank + 1; i > 0; i -= i & (~i + 1)) {
      count += count_[i];
      sum += sum_[i];
    }
    return {count, sum};
  }

private:
  std::vector<std::size_t> count_;
  std::vector<double> sum_;
};

struct Split {
  double q = -std::numeric_limits<double>::infinity();
  std::size_t at = 0;  // first point of the right part, within the segment
};

// Scores every split of one segment and returns the best. `z` holds the
// segment's values (centred, so that the running sums stay small), `rank`
// their ranks among the segment's distinct values, in the same order.
class SegmentScanner {
public:
  SegmentScanner(std::size_t size, std::size_t ranks, std::size_t min_segment)
      : min_segment_(min_segment), sums_(ranks), left_(size + 1), right_(size + 1) {}

  Split best_split(std::span<const double> z, std::span<const std::size_t> rank) {
    const std::size_t n = z.size();
    // left_[t]: the sum of |z_i - z_k| over pairs i < k < t; right_[t]: over
    // pairs t <= j < k. Each step adds one point's distances to the points
    // already in the tree: |z - z_i| summed is z·below - sum(below) +
    // sum(above) - z·above, ties adding nothing either way.
    const auto sweep = [&](std::size_t at, std::size_t inserted, double total) {
      const auto [below, below_sum] = sums_.up_to(rank[at]);
      const auto above = static_cast<double>(inserted - below);
      const double distances = z[at] * static_cast<double>(below) - below_sum + (total - below_sum) - z[at] * above;
      sums_.insert(rank[at], z[at]);
      return distances;
    };
    sums_.clear();
    left_[0] = 0;
    double total = 0;
    for (std::size_t t = 0; t < n; ++t) {
      left_[t + 1] = left_[t] + sweep(t, t, total);
      total += z[t];
    }
    sums_.clear();
    right_[n] = 0;
    total = 0;
    for (std::size_t t = n; t-- > 0;) {
      right_[t] = right_[t + 1] + sweep(t, n - 1 - t, total);
      total += z[t];
    }

    const double all_pairs = left_[n];
    Split best;
    for (std::size_t tau = min_segment_; tau + min_segment_ <= n; ++tau) {
      const auto m = static_cast<double>(tau);
      const auto k = static_cast<double>(n - tau);
      const double within_left = left_[tau];
      const double within_right = right_[tau];
      const double between = all_pairs - within_left - within_right;
      const double q = m * k / (m + k) *
                       (2.0 * between / (m * k) - 2.0 * within_left / (m * (m - 1)) -
                        2.0 * within_right / (k * (k - 1)));
      if (q > best.q) best = {q, tau};
    }
    return best;
  }

private:
  std::size_t min_segment_;
  RankSums sums_;
  std::vector<double> left_;
  std::vector<double> right_;
};

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A uniform integer in [0, bound), without the modulo bias: draws below
// 2^64 mod bound are redrawn, so every remainder is equally likely.
std::uint64_t uniform_below(std::mt19937_64& generator, std::uint64_t bound) {
  const std::uint64_t threshold = (0 - bound) % bound;
  for (;;) {
    const std::uint64_t draw = generator();
    if (draw >= threshold) return draw % bound;
  }
}

// Fisher-Yates over two arrays at once (values and their ranks).
void shuffle_together(std::vector<double>& values, std::vector<std::size_t>& ranks, std::mt19937_64& generator) {
  for (std::size_t i = values.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>(uniform_below(generator, i));
    std::swap(values[i - 1], values[j]);
    std::swap(ranks[i - 1], ranks[j]);
  }
}

struct Accepted {
  std::size_t index = 0;
  double p_value = 1;
};

// Tests the best split of values[begin, end): its index in the series and
// p-value when significant.
std::optional<Accepted> test_segment(std::span<const double> values, std::size_t begin, std::size_t end,
                                     const ChangePointOptions& options, std::size_t min_segment) {
  const std::size_t n = end - begin;
  if (n < 2 * min_segment) return std::nullopt;
  const auto segment = values.subspan(begin, n);
  const double mean = std::accumulate(segment.begin(), segment.end(), 0.0) / static_cast<double>(n);
  std::vector<double> z(n);
  std::ranges::transform(segment, z.begin(), [mean](double v) { return v - mean; });
  std::vector<double> distinct = z;
  std::ranges::sort(distinct);
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<std::size_t> rank(n);
  for (std::size_t i = 0; i < n; ++i) {
    rank[i] = static_cast<std::size_t>(std::ranges::lower_bound(distinct, z[i]) - distinct.begin());
  }

  SegmentScanner scanner(n, distinct.size(), min_segment);
  const Split observed = scanner.best_split(z, rank);
  // Q is 0 for every split of a constant segment, and can be below 0 when
  // the parts are no further apart than their own points: no change.
  if (!(observed.q > 0)) return std::nullopt;

  // The shuffles count the best Q at least the observed one; a little
  // tolerance keeps rounding from separating equal statistics. Once more
  // shuffles reached it than significance allows, the rest cannot change
  // the verdict.
  const double reach = observed.q * (1 - 1e-12);
  const auto total = static_cast<double>(options.permutations + 1);
  std::mt19937_64 generator(splitmix64(splitmix64(options.seed ^ splitmix64(begin)) ^ end));
  std::size_t at_least = 0;
  for (std::size_t k = 0; k < options.permutations; ++k) {
    shuffle_together(z, rank, generator);
    if (scanner.best_split(z, rank).q >= reach) {
      ++at_least;
      if (static_cast<double>(1 + at_least) / total > options.max_p_value) return std::nullopt;
    }
  }
  const double p_value = static_cast<double>(1 + at_least) / total;
  if (p_value > options.max_p_value) return std::nullopt;
  return Accepted{begin + observed.at, p_value};
}

double mean_of(std::span<const double> values, std::size_t begin, std::size_t end) {
  double sum = 0;
  for (std::size_t i = begin; i < end; ++i) sum += values[i];
  return sum / static_cast<double>(end - begin);
}

}  // namespace

std::vector<ChangePoint> find_change_points(std::span<const double> values, std::span<const std::string> commits,
                                            const ChangePointOptions& options) {
  const std::size_t min_segment = std::max<std::size_t>(options.min_segment, 2);
  if (values.size() < 2 * min_segment) return {};
  if (!std::ranges::all_of(values, [](double v) { return std::isfinite(v); })) return {};

  // Bisection: every segment is tested once; a significant split makes two
  // new segments. Each segment seeds its own shuffles, so the order does
  // not matter.
  std::vector<Accepted> accepted;
  std::vector<std::pair<std::size_t, std::size_t>> pending = {{0, values.size()}};
  while (!pending.empty()) {
    const auto [begin, end] = pending.back();
    pending.pop_back();
    if (const auto split = test_segment(values, begin, end, options, min_segment)) {
      accepted.push_back(*split);
      pending.emplace_back(begin, split->index);
      pending.emplace_back(split->index, end);
    }
  }
  std::ranges::sort(accepted, {}, &Accepted::index);

  std::vector<ChangePoint> found;
  found.reserve(accepted.size());
  for (std::size_t i = 0; i < accepted.size(); ++i) {
    const std::size_t begin = i == 0 ? 0 : accepted[i - 1].index;
    const std::size_t at = accepted[i].index;
    const std::size_t end = i + 1 < accepted.size() ? accepted[i + 1].index : values.size();
    ChangePoint point;
    point.index = at;
    if (at < commits.size()) point.commit = commits[at];
    point.before = mean_of(values, begin, at);
    point.after = mean_of(values, at, end);
    point.relative_change = point.before == 0 ? 0.0 : (point.after - point.before) / std::abs(point.before);
    point.p_value = accepted[i].p_value;
    found.push_back(std::move(point));
  }
  return found;
}

}  // namespace kivu_results
