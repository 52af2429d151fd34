#include <set>

#include <gtest/gtest.h>

#include "board_test_support.hpp"
#include "kivu_runtime.hpp"

using kivu_exchange::ExchangeError;
using namespace kivu_runtime;
using kivu_runtime::testing::all_tiles;
using kivu_runtime::testing::pattern;

namespace {

// A short run: compute on two tiles, an exchange between them, a sync, a
// compute on every tile, a second exchange and a final sync.
Board profiled_run() {
  Board board(BoardOptions{.profile = true});
  EXPECT_TRUE(board.compute(ComputeStep{.operation = "init", .kernel = "fill", .tiles = {0, 1}, .cycles = 40},
                            infallible([](TileContext& tile) { tile.cycles = tile.logical() == 0 ? 40 : 10; })));
  EXPECT_TRUE(board.exchange(ExchangePhase{
      .operation = "relay", .metadata = {{"graph", "pair"}}, .transfers = {Transfer{0, 0, 64, {{1, 64}}}}}));
  board.sync();
  EXPECT_TRUE(board.compute(ComputeStep{.operation = "all", .tiles = all_tiles(), .cycles = 7}, nullptr));
  EXPECT_TRUE(board.exchange(ExchangePhase{.transfers = {Transfer{5, 0, 800, {{6, 0}, {7, 0}}}}}));
  board.sync("final");
  return board;
}

TEST(CycleAccounting, ChargesEachStepAsItsSlowestTile) {
  Board board;
  const auto compute = board.compute(ComputeStep{.tiles = {0, 1}, .cycles = 25}, nullptr);
  ASSERT_TRUE(compute);
  EXPECT_EQ(compute->cycles(), 25u);
  // 100 bytes to two receivers: the source moves 100, each receiver 100.
  const auto exchange = board.exchange(ExchangePhase{.transfers = {Transfer{0, 0, 100, {{2, 0}, {3, 0}}}}});
  ASSERT_TRUE(exchange);
  EXPECT_EQ(exchange->start_cycle, 25u);
  EXPECT_EQ(exchange->cycles(),
            exchange_latency_cycles + (100 + exchange_bytes_per_cycle - 1) / exchange_bytes_per_cycle);
  const auto sync = board.sync();
  EXPECT_EQ(sync.cycles(), sync_cycles);
  EXPECT_EQ(board.cycle(), sync.end_cycle);
  EXPECT_EQ(board.counters().phases(), 3u);
  EXPECT_EQ(describe(*exchange), "exchange phase 1 epoch 0: 3 tiles, 200 bytes, cycles 25..70 (45)");
}

TEST(CycleAccounting, ChargesAnExchangeOneCyclePerEightBytesOrPartAfterTheLatency) {
  ASSERT_EQ(exchange_bytes_per_cycle, 8u);
  // Exact multiples of eight bytes take no extra cycle; one byte more does.
  for (const auto& [bytes, transfer_cycles] :
       std::vector<std::pair<std::uint32_t, std::uint64_t>>{{1, 1}, {8, 1}, {9, 2}, {64, 8}, {65, 9}, {100, 13}}) {
    Board board;
    const auto exchange = board.exchange(ExchangePhase{.transfers = {Transfer{0, 0, bytes, {{2, 0}}}}});
    ASSERT_TRUE(exchange) << bytes;
    EXPECT_EQ(exchange->cycles(), exchange_latency_cycles + transfer_cycles) << bytes << " bytes";
  }
}

TEST(CycleAccounting, NumbersPhasesAndEpochs) {
  const Board board = profiled_run();
  const auto steps = board.steps();
  ASSERT_EQ(steps.size(), 6u);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{0, 0}, {1, 0}, {2, 0},
                                                                         {3, 1}, {4, 1}, {5, 1}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(std::make_pair(steps[i].phase, steps[i].epoch), expected[i]) << "step " << i;
  }
  EXPECT_EQ(board.counters().syncs, 2u);
  EXPECT_EQ(steps[1].operation, "relay");
  EXPECT_EQ(steps[5].operation, "final");
}

TEST(CycleAccounting, SamplesCoverEveryTileFromZeroToTheCurrentCycleWithoutGaps) {
  const Board board = profiled_run();
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    const auto samples = board.samples(tile).value();
    ASSERT_FALSE(samples.empty());
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      ASSERT_EQ(samples[i].start_cycle, at) << "tile " << tile << " sample " << i;
      ASSERT_LT(samples[i].start_cycle, samples[i].end_cycle);
      ASSERT_EQ(samples[i].local_index, i);
      at = samples[i].end_cycle;
    }
    ASSERT_EQ(at, board.cycle());
    ASSERT_EQ(board.tile_cycles(tile)->total(), board.cycle());
  }
}

TEST(CycleAccounting, ShowsNonParticipantsIdleInOneMergedSampleBetweenSyncs) {
  const Board board = profiled_run();
  const auto samples = board.samples(1000).value();
  std::vector<ProfileStepKind> kinds;
  for (const auto& sample : samples) kinds.push_back(sample.kind);
  using enum ProfileStepKind;
  EXPECT_EQ(kinds, (std::vector<ProfileStepKind>{Idle, Synchronization, Compute, Idle, Synchronization}));
  EXPECT_EQ(samples[0].end_cycle, board.steps()[2].start_cycle);
}

TEST(CycleAccounting, ShowsAnEarlyFinisherIdleForTheRestOfTheStep) {
  const Board board = profiled_run();
  const auto samples = board.samples(1).value();
  ASSERT_GE(samples.size(), 3u);
  EXPECT_EQ(samples[0].kind, ProfileStepKind::Compute);
  EXPECT_EQ(samples[0].end_cycle, 10u);
  EXPECT_EQ(samples[1].kind, ProfileStepKind::Idle);
  EXPECT_EQ(samples[1].end_cycle, 40u);
  EXPECT_EQ(samples[2].kind, ProfileStepKind::Exchange);
  EXPECT_EQ(samples[2].bytes, 64u);
  EXPECT_EQ(board.tile_cycles(1)->compute, 10u + 7u);  // and 7 in the all-tile step
}

TEST(CycleAccounting, RecordsNoSamplesUnlessProfiling) {
  Board board;
  board.sync();
  EXPECT_TRUE(board.samples(0)->empty());
  EXPECT_EQ(board.tile_cycles(0)->synchronization, sync_cycles);
  EXPECT_EQ(board.to_profile_report(), std::unexpected(ExchangeError(ExchangeError::Schedule{profiling_off_reason})));
  EXPECT_EQ(board.samples(1472), std::unexpected(ExchangeError(ExchangeError::Tile{1472})));
}

TEST(CycleAccounting, BuildsAProfileReportOfEveryTileInPhysicalOrder) {
  const Board board = profiled_run();
  const auto report = board.to_profile_report();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->clock_hz, clock_hz);
  ASSERT_EQ(report->tiles.size(), std::size_t{tile_count});
  std::set<ProfileStepKind> kinds;
  for (std::uint32_t physical = 0; physical < tile_count; ++physical) {
    const auto& tile = report->tiles[physical];
    ASSERT_EQ(tile.physical_tile, physical);
    ASSERT_FALSE(tile.samples.empty());
    for (const auto& sample : tile.samples) kinds.insert(sample.step.kind);
  }
  EXPECT_EQ(kinds.size(), 4u);

  // Logical tile 1 is physical 2: its exchange sample carries the step's
  // names and metadata, then its own.
  const auto samples = board.samples(1).value();
  const auto& relay = report->tiles[2].samples[2];
  EXPECT_EQ(relay.start_cycle, samples[2].start_cycle);
  EXPECT_EQ(relay.end_cycle, samples[2].end_cycle);
  EXPECT_EQ(relay.step.kind, ProfileStepKind::Exchange);
  EXPECT_EQ(relay.step.operation, "relay");
  EXPECT_EQ(relay.step.phase, 1u);
  EXPECT_EQ(relay.step.local_index, 2u);
  EXPECT_EQ(relay.step.metadata,
            (std::vector<kivu_package::ProfileMetadata>{{"graph", "pair"}, {"logical_tile", "1"}, {"bytes", "64"}}));
}

TEST(CycleAccounting, RefusesAReportWhoseCyclesDoNotFitThirtyTwoBits) {
  Board board(BoardOptions{.profile = true});
  ASSERT_TRUE(board.compute(ComputeStep{.tiles = {0}, .cycles = std::uint64_t{1} << 32}, nullptr));
  EXPECT_EQ(board.to_profile_report(), std::unexpected(ExchangeError(ExchangeError::Count{UINT32_MAX})));
}

}  // namespace
