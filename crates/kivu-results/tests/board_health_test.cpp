// The boards' health: Fisher's one-sided test, Holm's correction, the
// verdict on both sides of alpha, the tiles, and the counts the store
// aggregates.
#include "kivu_results/board_health.hpp"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivu_results/store.hpp"
#include "kivu_testing/child_process.hpp"

namespace {

using kivu_results::BoardCounts;
using kivu_results::BoardHealth;
using kivu_results::TileFailures;

// The hypergeometric tail summed term by term from binomial coefficients,
// independent of Boost: P(X >= failed).
double tail_by_hand(int failed, int cases, int rest_failed, int rest_cases) {
  const auto choose = [](int n, int k) {
    return std::exp(std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1));
  };
  const int failures = failed + rest_failed;
  const int total = cases + rest_cases;
  double p = 0;
  for (int x = failed; x <= std::min(failures, cases); ++x) {
    if (failures - x > rest_cases) continue;
    p += choose(cases, x) * choose(rest_cases, failures - x) / choose(total, failures);
  }
  return p;
}

TEST(FisherGreater, MatchesTheHypergeometricTailAndIsOneSided) {
  // All three failures on the board, three cases each: 1 / C(6, 3).
  EXPECT_NEAR(kivu_results::fisher_greater(3, 3, 0, 3), 0.05, 1e-12);
  EXPECT_NEAR(kivu_results::fisher_greater(7, 400, 2, 1200), tail_by_hand(7, 400, 2, 1200), 1e-9);
  EXPECT_NEAR(kivu_results::fisher_greater(40, 800, 3, 2400), tail_by_hand(40, 800, 3, 2400), 1e-12);
  // Failing less than the rest is no evidence of failing more.
  EXPECT_GT(kivu_results::fisher_greater(1, 1000, 30, 3000), 0.9);
  // Nothing to compare: no failure, or no rest.
  EXPECT_EQ(kivu_results::fisher_greater(0, 100, 5, 300), 1.0);
  EXPECT_EQ(kivu_results::fisher_greater(5, 100, 0, 0), 1.0);
}

TEST(Holm, MultipliesByTheRankAndStaysMonotoneInTheGivenOrder) {
  const std::vector<double> raw = {0.01, 0.04, 0.03, 0.005};
  const auto corrected = kivu_results::holm(raw);
  ASSERT_EQ(corrected.size(), 4u);
  EXPECT_DOUBLE_EQ(corrected[3], 0.02);  // smallest x 4
  EXPECT_DOUBLE_EQ(corrected[0], 0.03);  // second x 3
  EXPECT_DOUBLE_EQ(corrected[2], 0.06);  // third x 2
  EXPECT_DOUBLE_EQ(corrected[1], 0.06);  // fourth x 1 = 0.04, raised to stay monotone
  EXPECT_EQ(kivu_results::holm(std::vector<double>{0.6, 0.7}), (std::vector<double>{1.0, 1.0}));
}

BoardCounts four_boards(std::size_t board_2_failures) {
  BoardCounts counts;
  for (int board = 0; board < 4; ++board) {
    counts.boards.push_back({"lab-1:" + std::to_string(board), 40, 800, board == 2 ? board_2_failures : 1});
  }
  return counts;
}

TEST(AssessBoards, SuspectOnlyBelowAlphaAfterTheCorrection) {
  const auto clear = kivu_results::assess_boards(four_boards(20));
  ASSERT_EQ(clear.size(), 4u);
  EXPECT_TRUE(clear[2].suspect);
  EXPECT_LT(clear[2].p_value, 0.01);
  EXPECT_FALSE(clear[0].suspect || clear[1].suspect || clear[3].suspect);
  // The corrected value is the raw one times the number of boards.
  EXPECT_NEAR(clear[2].p_value, 4 * kivu_results::fisher_greater(20, 800, 3, 2400), 1e-15);

  // The same board on both sides of alpha: suspect exactly when p < alpha.
  const auto mild = kivu_results::assess_boards(four_boards(6), 0.5);
  const double p = mild[2].p_value;
  ASSERT_GT(p, 0.0);
  ASSERT_LT(p, 1.0);
  EXPECT_FALSE(kivu_results::assess_boards(four_boards(6), p)[2].suspect);
  EXPECT_TRUE(kivu_results::assess_boards(four_boards(6), std::nextafter(p, 1.0))[2].suspect);
  // Uncorrected, the same counts would cry wolf at 0.01.
  EXPECT_LT(kivu_results::fisher_greater(6, 800, 3, 2400), 0.01);
  EXPECT_FALSE(kivu_results::assess_boards(four_boards(6))[2].suspect);
}

TEST(AssessBoards, EvenFailuresMakeNoSuspectAndTheRowsAreByHostThenBoardNumber) {
  BoardCounts counts;
  for (const char* board : {"lab-2:0", "lab-1:10", "lab-1:2"}) counts.boards.push_back({board, 50, 1000, 10});
  const auto boards = kivu_results::assess_boards(counts);
  ASSERT_EQ(boards.size(), 3u);
  EXPECT_EQ(boards[0].host + ":" + boards[0].board, "lab-1:2");
  EXPECT_EQ(boards[1].host + ":" + boards[1].board, "lab-1:10");
  EXPECT_EQ(boards[2].host + ":" + boards[2].board, "lab-2:0");
  for (const auto& board : boards) {
    EXPECT_FALSE(board.suspect);
    EXPECT_DOUBLE_EQ(board.failure_rate, 0.01);
  }
}

TEST(AssessBoards, TilesMostFirstAndATileOnSeveralBoardsPointsAtTheSoftware) {
  auto counts = four_boards(20);
  counts.tiles = {{"lab-1:2", "714", 15}, {"lab-1:2", "3", 2},    {"lab-1:2", "9", 2},   {"lab-1:2", "1000", 1},
                  {"lab-1:0", "1000", 1}, {"lab-1:1", "1000", 1}, {"lab-1:3", "none", 1}};
  const auto boards = kivu_results::assess_boards(counts);
  EXPECT_EQ(boards[2].tiles,
            (std::vector<TileFailures>{{714, 15, 1, false}, {3, 2, 1, false}, {9, 2, 1, false}, {1000, 1, 3, true}}));
  EXPECT_EQ(boards[0].tiles, (std::vector<TileFailures>{{1000, 1, 3, true}}));
  // A failure tied to no tile names none.
  EXPECT_TRUE(boards[3].tiles.empty());
}

// =============================================================================
// The counts from the store

kivu_results::Recording run_on_boards(int run, int bad_board) {
  kivu_results::Recording r;
  r.commit = "c1";
  r.recorded_at = "2026-01-01T00:00:00Z";
  r.content_hash = "run-" + std::to_string(run);
  for (int board = 0; board < 4; ++board) {
    for (int c = 0; c < 5; ++c) {
      kivu_results::CaseRecord result;
      result.case_name = "hardware_e2e.case_" + std::to_string(c);
      const bool failed = board == bad_board && c < 2;
      result.verdict = failed ? kivu_results::Verdict::Failed : kivu_results::Verdict::Passed;
      result.properties = {{"host", "lab-1"}, {"board", std::to_string(board)}};
      if (failed) result.properties.emplace_back("failed_tile", c == 0 ? "714" : "12");
      r.cases.push_back(result);
    }
  }
  // A skip and a case without a board count nowhere.
  r.cases.push_back(
      {"hardware_e2e.skipped", kivu_results::Verdict::Skipped, 0, {{"host", "lab-1"}, {"board", "0"}}, ""});
  r.cases.push_back({"hardware_e2e.nowhere", kivu_results::Verdict::Failed, 0, {}, ""});
  return r;
}

TEST(StoreBoardCounts, GroupsByBoardAndTileOverTheLastRuns) {
  const kivu_testing::ScratchDirectory scratch;
  auto store = kivu_results::Store::open({kivu_results::StoreAddress::Kind::Sqlite, scratch.file("s.sqlite")});
  ASSERT_TRUE(store) << store.error().message;
  for (int run = 0; run < 6; ++run) ASSERT_TRUE(store->record(run_on_boards(run, run < 3 ? 2 : 1)));

  const auto all = store->board_counts();
  ASSERT_TRUE(all) << all.error().message;
  ASSERT_EQ(all->boards.size(), 4u);
  std::map<std::string, kivu_results::BoardCount> by_board;
  for (const auto& board : all->boards) by_board[board.board] = board;
  EXPECT_EQ(by_board["lab-1:2"].runs, 6u);
  EXPECT_EQ(by_board["lab-1:2"].cases, 30u);
  EXPECT_EQ(by_board["lab-1:2"].failed, 6u);
  EXPECT_EQ(by_board["lab-1:0"].cases, 30u);  // the skip left out
  EXPECT_EQ(by_board["lab-1:0"].failed, 0u);
  std::map<std::string, std::size_t> tiles;
  for (const auto& tile : all->tiles) tiles[tile.board + "/" + tile.tile] = tile.failures;
  EXPECT_EQ(tiles, (std::map<std::string, std::size_t>{
                       {"lab-1:1/12", 3}, {"lab-1:1/714", 3}, {"lab-1:2/12", 3}, {"lab-1:2/714", 3}}));

  // The last three runs saw board 1 fail only.
  const auto last = store->board_counts(3);
  ASSERT_TRUE(last);
  for (const auto& board : last->boards) {
    EXPECT_EQ(board.runs, 3u);
    EXPECT_EQ(board.failed, board.board == "lab-1:1" ? 6u : 0u) << board.board;
  }
  for (const auto& tile : last->tiles) EXPECT_EQ(tile.board, "lab-1:1");
}

TEST(StoreQuarantineHistory, KeepsEachEventOnce) {
  const kivu_testing::ScratchDirectory scratch;
  auto store = kivu_results::Store::open({kivu_results::StoreAddress::Kind::Sqlite, scratch.file("s.sqlite")});
  ASSERT_TRUE(store);
  const kivu_results::QuarantineEvent quarantined{"lab-1", 2, "quarantined", "failed 20 of 800",
                                                  "2026-01-01T00:00:00Z"};
  const kivu_results::QuarantineEvent released{"lab-1", 2, "released", "failed 20 of 800", "2026-01-02T00:00:00Z"};
  EXPECT_EQ(store->record_quarantine_event(released), true);
  EXPECT_EQ(store->record_quarantine_event(quarantined), true);
  EXPECT_EQ(store->record_quarantine_event(released), false);
  const auto history = store->quarantine_history();
  ASSERT_TRUE(history);
  EXPECT_EQ(*history, (std::vector<kivu_results::QuarantineEvent>{quarantined, released}));
}

}  // namespace
