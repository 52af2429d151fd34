// Which board fails more than the rest of the pool.
//
// A board that goes bad rarely fails every run: one tile corrupts a value
// now and then, and its cases fail here and there. Over many runs its share
// of failed cases stands out from the other boards'. For each board the 2x2
// table (this board, the rest) x (failed, passed) is put to Fisher's exact
// test, one-sided: the chance, were every case result equally likely to
// fail wherever it ran, of the board holding at least as many of the pool's
// failures as it does (the hypergeometric tail, from Boost.Math). Fisher's
// test needs no large counts (failures are rare) and no assumed base rate
// (the pool gives it). With many boards one is bound to look worst by
// chance, so the p-values are corrected by Holm's step-down method, which
// bounds the chance of any false alarm by alpha whatever the boards'
// dependence. A board is suspect when its corrected p-value is below alpha.
//
// A failure that names its tile (the failed_tile property) points at that
// tile. The same tile failing on several boards is no defect of one board's
// hardware: it points at the software (a scenario or the runtime).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kivu_results/store.hpp"

namespace kivu_results {

inline constexpr double default_alpha = 0.01;

struct TileFailures {
  std::uint32_t tile = 0;  // logical
  std::size_t failures = 0;
  std::size_t boards = 0;  // how many boards it failed on, over the pool
  bool software = false;   // failed on several boards: points at the software

  bool operator==(const TileFailures&) const = default;
};

struct BoardHealth {
  std::string host;
  std::string board;
  std::size_t runs = 0;
  std::size_t cases = 0;  // passed and failed
  std::size_t failed = 0;
  double failure_rate = 0;          // failed / cases
  double p_value = 1;               // one-sided, Holm-corrected over the boards compared
  bool suspect = false;             // p_value < alpha
  std::vector<TileFailures> tiles;  // most failures first, then by tile
};

// The one-sided p-value of Fisher's exact test that a board with `failed`
// of `cases` fails more often than the rest, with `rest_failed` of
// `rest_cases`: P(X >= failed) for X hypergeometric. 1 when there is no
// failure or no rest to compare with.
[[nodiscard]] double fisher_greater(std::size_t failed, std::size_t cases, std::size_t rest_failed,
                                    std::size_t rest_cases);

// Holm's step-down correction of `p_values`, in their order: the i-th
// smallest is multiplied by (m - i + 1), kept monotone, capped at 1.
[[nodiscard]] std::vector<double> holm(std::span<const double> p_values);

// A board's tiles, most failures first: "714 x9, 12 x1 (software)", with
// `times` between a tile and its count ("x" in text, "&times;" in HTML);
// "-" when its failures name no tile.
[[nodiscard]] std::string tiles_text(const BoardHealth& board, std::string_view times = "x");

// Every board of `counts`, ordered by host then board number, with its
// test and its tiles; a board is suspect below `alpha`.
[[nodiscard]] std::vector<BoardHealth> assess_boards(const BoardCounts& counts, double alpha = default_alpha);

}  // namespace kivu_results
