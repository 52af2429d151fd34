#include "kivu_results/board_health.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <tuple>

#include <boost/math/distributions/hypergeometric.hpp>
#include <boost/math/policies/policy.hpp>
#include <fmt/format.h>

#include "kivu_base/number.hpp"

namespace kivu_results {

namespace {

// A library never throws: Boost.Math reports its errors through errno and a
// NaN here, which the callers read as "no evidence" (p = 1).
using quiet_policy =
    boost::math::policies::policy<boost::math::policies::domain_error<boost::math::policies::errno_on_error>,
                                  boost::math::policies::pole_error<boost::math::policies::errno_on_error>,
                                  boost::math::policies::overflow_error<boost::math::policies::errno_on_error>,
                                  boost::math::policies::evaluation_error<boost::math::policies::errno_on_error>,
                                  boost::math::policies::rounding_error<boost::math::policies::errno_on_error>>;

// "host:board" split at its last colon; the board's number for ordering.
struct BoardName {
  std::string host;
  std::string board;
  std::uint64_t number = 0;
};

BoardName split_board(const std::string& where) {
  const auto colon = where.rfind(':');
  BoardName name{colon == std::string::npos ? std::string() : where.substr(0, colon),
                 colon == std::string::npos ? where : where.substr(colon + 1)};
  name.number = kivu_base::parse_digits(name.board, 10).value_or(0);
  return name;
}

std::optional<std::uint32_t> tile_number(const std::string& text) {
  const auto tile = kivu_base::parse_digits(text, 10, UINT32_MAX);
  if (!tile) return std::nullopt;
  return static_cast<std::uint32_t>(*tile);
}

}  // namespace

double fisher_greater(std::size_t failed, std::size_t cases, std::size_t rest_failed, std::size_t rest_cases) {
  if (failed == 0 || rest_cases == 0 || cases == 0) return 1;
  const std::size_t total = cases + rest_cases;
  const std::size_t failures = failed + rest_failed;
  if (total > UINT32_MAX) return 1;
  // X: the board's share of the pool's failures when its `cases` are drawn
  // from the pool at random.
  const boost::math::hypergeometric_distribution<double, quiet_policy> draw(
      static_cast<unsigned>(failures), static_cast<unsigned>(cases), static_cast<unsigned>(total));
  const std::size_t lowest = cases + failures > total ? cases + failures - total : 0;
  if (failed <= lowest) return 1;
  const double p = boost::math::cdf(boost::math::complement(draw, static_cast<unsigned>(failed - 1)));
  if (!std::isfinite(p)) return 1;
  return std::clamp(p, 0.0, 1.0);
}

std::vector<double> holm(std::span<const double> p_values) {
  const std::size_t m = p_values.size();
  std::vector<std::size_t> order(m);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::stable_sort(order, [&](std::size_t a, std::size_t b) { return p_values[a] < p_values[b]; });
  std::vector<double> corrected(m, 1.0);
  double running = 0;
  for (std::size_t rank = 0; rank < m; ++rank) {
    const double scaled = std::min(1.0, static_cast<double>(m - rank) * p_values[order[rank]]);
    running = std::max(running, scaled);
    corrected[order[rank]] = running;
  }
  return corrected;
}

std::vector<BoardHealth> assess_boards(const BoardCounts& counts, double alpha) {
  std::size_t all_cases = 0;
  std::size_t all_failed = 0;
  for (const auto& board : counts.boards) {
    all_cases += board.cases;
    all_failed += board.failed;
  }
  std::vector<BoardHealth> boards;
  std::vector<double> raw;
  for (const auto& count : counts.boards) {
    const auto name = split_board(count.board);
    BoardHealth health;
    health.host = name.host;
    health.board = name.board;
    health.runs = count.runs;
    health.cases = count.cases;
    health.failed = count.failed;
    health.failure_rate = count.cases == 0 ? 0 : static_cast<double>(count.failed) / static_cast<double>(count.cases);
    raw.push_back(fisher_greater(count.failed, count.cases, all_failed - count.failed, all_cases - count.cases));
    boards.push_back(std::move(health));
  }
  const auto corrected = holm(raw);
  for (std::size_t i = 0; i < boards.size(); ++i) {
    boards[i].p_value = corrected[i];
    boards[i].suspect = corrected[i] < alpha;
  }

  // The tiles: on how many boards each failed, then each board's own.
  std::map<std::uint32_t, std::set<std::string>> tile_boards;
  std::map<std::string, std::map<std::uint32_t, std::size_t>> board_tiles;
  for (const auto& count : counts.tiles) {
    const auto tile = tile_number(count.tile);
    if (!tile || count.failures == 0) continue;
    tile_boards[*tile].insert(count.board);
    board_tiles[count.board][*tile] += count.failures;
  }
  for (std::size_t i = 0; i < boards.size(); ++i) {
    const auto found = board_tiles.find(counts.boards[i].board);
    if (found == board_tiles.end()) continue;
    for (const auto& [tile, failures] : found->second) {
      const std::size_t on = tile_boards[tile].size();
      boards[i].tiles.push_back({tile, failures, on, on > 1});
    }
    std::ranges::sort(boards[i].tiles, [](const TileFailures& a, const TileFailures& b) {
      return std::tie(b.failures, a.tile) < std::tie(a.failures, b.tile);
    });
  }

  std::vector<std::size_t> order(boards.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::sort(order, [&](std::size_t a, std::size_t b) {
    const auto left = split_board(counts.boards[a].board);
    const auto right = split_board(counts.boards[b].board);
    return std::tie(left.host, left.number, left.board) < std::tie(right.host, right.number, right.board);
  });
  std::vector<BoardHealth> sorted;
  sorted.reserve(boards.size());
  for (const auto index : order) sorted.push_back(std::move(boards[index]));
  return sorted;
}

std::string tiles_text(const BoardHealth& board, std::string_view times) {
  if (board.tiles.empty()) return "-";
  std::string text;
  for (const TileFailures& tile : board.tiles) {
    text += fmt::format("{}{} {}{}{}", text.empty() ? "" : ", ", tile.tile, times, tile.failures,
                        tile.software ? " (software)" : "");
  }
  return text;
}

}  // namespace kivu_results
