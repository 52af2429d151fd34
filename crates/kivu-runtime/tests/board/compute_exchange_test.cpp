#include <cstring>

#include <gtest/gtest.h>

#include "board_test_support.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_runtime.hpp"

using kivu_exchange::ExchangeError;
using namespace kivu_runtime;
using kivu_runtime::testing::pattern;

namespace {

std::expected<StepReport, ExchangeError> fails(ExchangeError error) { return std::unexpected(error); }

ExchangeError error_of(const std::expected<StepReport, ExchangeError>& result) { return result.error(); }

ExchangePhase phase_of(std::vector<Transfer> transfers) {
  ExchangePhase phase;
  phase.transfers = std::move(transfers);
  return phase;
}

// =============================================================================
// Delivery

TEST(Exchange, MulticastsOneSourceToEveryReceiverAtItsOwnAddress) {
  Board board;
  ASSERT_TRUE(board.h2d(3, 0x40, pattern(100)));
  const auto report = board.exchange(
      phase_of({Transfer{3, 0x40, 100, {{0, 0}, {1471, 0x1000}, {700, 0x9C000 - 100}}}}));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->bytes, 300u);
  EXPECT_EQ(report->tiles, 4u);
  EXPECT_EQ(board.d2h(0, 0, 100), pattern(100));
  EXPECT_EQ(board.d2h(1471, 0x1000, 100), pattern(100));
  EXPECT_EQ(board.d2h(700, 0x9C000 - 100, 100), pattern(100));
}

TEST(Exchange, AReceiverThatAlsoSendsSendsWhatItHeldWhenThePhaseBegan) {
  Board board;
  ASSERT_TRUE(board.h2d(0, 0, pattern(16, 1)));
  ASSERT_TRUE(board.h2d(1, 0, pattern(16, 2)));
  // 0 -> 1 and 1 -> 2 in one phase, to the same address that 1 sends from.
  ASSERT_TRUE(board.exchange(phase_of({Transfer{0, 0, 16, {{1, 0}}}, Transfer{1, 0, 16, {{2, 0}}}})));
  EXPECT_EQ(board.d2h(1, 0, 16), pattern(16, 1));
  EXPECT_EQ(board.d2h(2, 0, 16), pattern(16, 2));
}

TEST(Exchange, SwapsTwoBuffersInOnePhase) {
  Board board;
  ASSERT_TRUE(board.h2d(10, 0, pattern(8, 1)));
  ASSERT_TRUE(board.h2d(20, 0, pattern(8, 2)));
  ASSERT_TRUE(board.exchange(phase_of({Transfer{10, 0, 8, {{20, 0}}}, Transfer{20, 0, 8, {{10, 0}}}})));
  EXPECT_EQ(board.d2h(10, 0, 8), pattern(8, 2));
  EXPECT_EQ(board.d2h(20, 0, 8), pattern(8, 1));
}

TEST(Exchange, PermutesAllTiles) {
  Board board;
  std::vector<Transfer> transfers;
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    ASSERT_TRUE(board.h2d(tile, 0, pattern(4, tile)));
    transfers.push_back(Transfer{tile, 0, 4, {{static_cast<std::uint16_t>((tile * 7 + 3) % tile_count), 4}}});
  }
  ASSERT_TRUE(board.exchange(phase_of(std::move(transfers))));
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    ASSERT_EQ(board.d2h(static_cast<std::uint16_t>((tile * 7 + 3) % tile_count), 4, 4), pattern(4, tile));
  }
}

// =============================================================================
// Checks

TEST(Exchange, RejectsEachKindOfBadPhase) {
  Board board;
  EXPECT_EQ(board.exchange(ExchangePhase{}), fails(ExchangeError::Count{0}));
  EXPECT_EQ(board.exchange(phase_of({Transfer{0, 0, 0, {{1, 0}}}})), fails(ExchangeError::Count{0}));
  EXPECT_EQ(board.exchange(phase_of({Transfer{1472, 0, 4, {{1, 0}}}})), fails(ExchangeError::Tile{1472}));
  EXPECT_EQ(board.exchange(phase_of({Transfer{0, 0, 4, {{2000, 0}}}})), fails(ExchangeError::Tile{2000}));
  EXPECT_EQ(board.exchange(phase_of({Transfer{0, 0, 4, {}}})), fails(ExchangeError::ReceiverSet{}));
  EXPECT_EQ(board.exchange(phase_of({Transfer{0, 0, 4, {{1, 0}, {2, 8}, {1, 16}}}})),
            fails(ExchangeError::DuplicateTile{}));
  EXPECT_EQ(board.exchange(phase_of({Transfer{0, tile_sram_bytes - 2, 4, {{1, 0}}}})),
            fails(ExchangeError::Address{tile_sram_bytes - 2}));
  EXPECT_EQ(board.exchange(phase_of({Transfer{0, 0, 4, {{1, tile_sram_bytes}}}})),
            fails(ExchangeError::Address{tile_sram_bytes}));
  EXPECT_EQ(board.counters().exchange_phases, 0u);
  EXPECT_EQ(board.cycle(), 0u);
}

TEST(Exchange, RejectsOverlappingWritesWithinAndAcrossTransfers) {
  Board board;
  const ExchangeError overlap = ExchangeError::Schedule{overlapping_writes_reason};
  EXPECT_EQ(error_of(board.exchange(phase_of({Transfer{0, 0, 8, {{5, 0}}}, Transfer{1, 0, 8, {{5, 7}}}}))), overlap);
  EXPECT_EQ(error_of(board.exchange(phase_of({Transfer{0, 0, 8, {{5, 8}}}, Transfer{1, 0, 16, {{5, 0}}}}))), overlap);
  // Touching ranges and equal ranges on different tiles are fine.
  EXPECT_TRUE(board.exchange(phase_of({Transfer{0, 0, 8, {{5, 0}, {6, 0}}}, Transfer{1, 0, 8, {{5, 8}}}})));
}

TEST(Exchange, AFailingPhaseMovesNothing) {
  Board board;
  ASSERT_TRUE(board.h2d(0, 0, pattern(8)));
  EXPECT_FALSE(board.exchange(phase_of({Transfer{0, 0, 8, {{1, 0}}}, Transfer{0, 0, 8, {}}})));
  EXPECT_EQ(board.d2h(1, 0, 8), std::vector<std::byte>(8));
  EXPECT_FALSE(board.is_allocated(1));
}

// =============================================================================
// Compute

TEST(Compute, RunsTheFunctionOnEachListedTileWithItsOwnMemory) {
  Board board;
  std::vector<std::uint16_t> seen;
  const auto report = board.compute(ComputeStep{.tiles = {9, 4, 1471}, .cycles = 10},
                                    infallible([&](TileContext& tile) {
                                      seen.push_back(tile.logical());
                                      auto words = tile.array<std::uint32_t>(0x100, 2).value();
                                      words[0] = tile.logical();
                                      words[1] = tile.physical();
                                      tile.cycles = tile.logical();  // charge per tile
                                    }));
  ASSERT_TRUE(report);
  EXPECT_EQ(seen, (std::vector<std::uint16_t>{9, 4, 1471}));
  EXPECT_EQ(report->cycles(), 1471u);
  const auto readback = board.d2h(1471, 0x100, 8).value();
  std::uint32_t words[2];
  std::memcpy(words, readback.data(), 8);
  EXPECT_EQ(words[0], 1471u);
  EXPECT_EQ(words[1], 63u);
}

TEST(Compute, RejectsBadTileListsBeforeRunningAnything) {
  Board board;
  int calls = 0;
  const auto count = infallible([&](TileContext&) { ++calls; });
  EXPECT_EQ(board.compute(ComputeStep{}, count), fails(ExchangeError::Count{0}));
  EXPECT_EQ(board.compute(ComputeStep{.tiles = {1, 1472}}, count), fails(ExchangeError::Tile{1472}));
  EXPECT_EQ(board.compute(ComputeStep{.tiles = {1, 2, 1}}, count), fails(ExchangeError::DuplicateTile{}));
  EXPECT_EQ(calls, 0);
}

TEST(Compute, StopsAtAFailingFunctionWithoutAdvancingTheClock) {
  Board board;
  const auto result = board.compute(ComputeStep{.tiles = {0, 1}},
                                    [](TileContext& tile) -> std::expected<void, ExchangeError> {
                                      KIVU_RETURN_IF_ERROR(tile.bytes(tile_sram_bytes - 4, 8));
                                      return {};
                                    });
  EXPECT_EQ(result, fails(ExchangeError::Address{tile_sram_bytes - 4}));
  EXPECT_EQ(board.cycle(), 0u);
  EXPECT_EQ(board.counters().compute_steps, 0u);
}

TEST(Compute, RejectsMisalignedTypedAccess) {
  Board board;
  const auto result = board.compute(ComputeStep{.tiles = {0}},
                                    [](TileContext& tile) -> std::expected<void, ExchangeError> {
                                      KIVU_RETURN_IF_ERROR(tile.array<std::uint32_t>(2, 1));
                                      return {};
                                    });
  EXPECT_EQ(result, fails(ExchangeError::Address{2}));
}

}  // namespace
