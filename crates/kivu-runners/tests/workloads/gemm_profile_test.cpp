// The blocked GEMM run in-process on a board of the test's own, and the
// cycle profile it writes: decoded with ProfileReport::read, it must be the
// board's own report, agree with the board's per-tile cycle accounting, and
// pass the seven checks that the suite's GEMM case makes.
#include <algorithm>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "gemm_scenario.hpp"
#include "kivu_package.hpp"
#include "kivu_testing/child_process.hpp"

using namespace kivu_gemm;
using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_runtime::Board;
using kivu_runtime::BoardOptions;

namespace {

const ProgressSink quiet = [](std::string_view) {};

GemmSettings settings_for(std::uint32_t dimension, BlockIndex check_block) {
  GemmSettings settings;
  settings.dimension = dimension;
  settings.check_block = check_block;
  return settings;
}

std::string metadata_value(const kivu_package::ProfileStep& step, std::string_view name) {
  for (const auto& entry : step.metadata) {
    if (entry.name == name) return entry.value;
  }
  return "<missing>";
}

// The suite's scenario (dimension 128, check block 1,1) with profiling on,
// run once for all the tests of the fixture.
class ProfiledGemm : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    scratch = new kivu_testing::ScratchDirectory;
    board = new Board(BoardOptions{.profile = true});
    const auto outcome = run_gemm(*board, settings_for(128, {1, 1}), quiet);
    ASSERT_TRUE(outcome) << outcome.error().message();
    written = new ProfileReport(write_gemm_profile(*board, scratch->file("profile.capnp")).value());
    auto read = ProfileReport::read(std::ifstream(scratch->file("profile.capnp"), std::ios::binary));
    ASSERT_TRUE(read) << read.error();
    decoded = new ProfileReport(std::move(*read));
  }
  static void TearDownTestSuite() {
    delete decoded;
    delete written;
    delete board;
    delete scratch;
  }

  static inline kivu_testing::ScratchDirectory* scratch = nullptr;
  static inline Board* board = nullptr;
  static inline ProfileReport* written = nullptr;
  static inline ProfileReport* decoded = nullptr;
};

// =============================================================================
// Runs

TEST(GemmRun, VerifiesDimensionsThatPadToWholeBlocks) {
  for (const auto& [dimension, block] :
       {std::pair{1u, BlockIndex{0, 0}}, std::pair{33u, BlockIndex{1, 1}}, std::pair{100u, BlockIndex{3, 2}}}) {
    Board board;
    const auto outcome = run_gemm(board, settings_for(dimension, block), quiet);
    ASSERT_TRUE(outcome) << dimension << ": " << outcome.error().message();
    EXPECT_EQ(outcome->verified_blocks, outcome->grid * outcome->grid);
  }
}

TEST(GemmRun, FailsWithStatusOneWhenTheFirstReadbackIsCorrupted) {
  Board board(BoardOptions{.fault_injection = true});
  const auto outcome = run_gemm(board, settings_for(64, {1, 0}), quiet);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().exit_status(), kivu_runner::exit_failed);
  ASSERT_TRUE(board.injected_fault());
  EXPECT_EQ(board.injected_fault()->logical_tile, block_tile(2, {0, 0}));
  // The failure names the tile of C block (0,0) and the float the flip hit.
  const auto& location = outcome.error().location();
  ASSERT_TRUE(location) << outcome.error().message();
  EXPECT_EQ(location->tile, block_tile(2, {0, 0}));
  EXPECT_EQ(location->address, board.injected_fault()->address - 3);
  EXPECT_EQ(location->actual ^ location->expected, 1u << 30);
  EXPECT_EQ(location->values, 1u);
  EXPECT_EQ(location->tiles, 1u);
}

TEST(GemmRun, ReportsEachStepOnTheProgressSink) {
  Board board;
  std::vector<std::string> lines;
  ASSERT_TRUE(run_gemm(board, settings_for(64, {0, 0}), [&](std::string_view line) { lines.emplace_back(line); }));
  const auto count = [&](std::string_view part) {
    return std::ranges::count_if(lines, [&](const std::string& line) { return line.find(part) != std::string::npos; });
  };
  EXPECT_EQ(count("broadcast: exchange phase"), 2);
  EXPECT_EQ(count("block MAC: compute step"), 2);
  EXPECT_EQ(count("match"), 3);  // the operands', the D2H and the tile-memory verdicts
}

TEST(GemmRun, RingScheduleVerifiesTheSameProductsPassingBlocksTileToTile) {
  for (const auto& [dimension, block] : {std::pair{1u, BlockIndex{0, 0}}, std::pair{33u, BlockIndex{1, 0}},
                                         std::pair{100u, BlockIndex{3, 2}}, std::pair{128u, BlockIndex{2, 3}}}) {
    Board board;
    auto settings = settings_for(dimension, block);
    settings.schedule = Schedule::Ring;
    std::vector<std::string> lines;
    const auto outcome = run_gemm(board, settings, [&](std::string_view line) { lines.emplace_back(line); });
    ASSERT_TRUE(outcome) << dimension << ": " << outcome.error().message();
    const std::uint32_t grid = outcome->grid;
    EXPECT_EQ(outcome->verified_blocks, grid * grid);
    const auto count = [&](std::string_view part) {
      return std::ranges::count_if(lines, [&](const std::string& l) { return l.find(part) != std::string::npos; });
    };
    EXPECT_EQ(count("broadcast"), 0) << dimension;
    EXPECT_EQ(count("ring align: exchange phase"), 1) << dimension;
    EXPECT_EQ(count("ring shift: exchange phase"), grid - 1) << dimension;
    // Every tile of the grid sends and receives one A and one B block in
    // every round: no tile carries more than another.
    constexpr std::uint64_t per_round = kivu_runtime::exchange_latency_cycles +
                                        4 * block_bytes / kivu_runtime::exchange_bytes_per_cycle;
    for (std::uint32_t r = 0; r < grid; ++r) {
      for (std::uint32_t c = 0; c < grid; ++c) {
        EXPECT_EQ(board.tile_cycles(block_tile(grid, {r, c})).value().exchange, grid * per_round)
            << dimension << ": block " << r << "," << c;
      }
    }
  }
}

// =============================================================================
// The profile

TEST_F(ProfiledGemm, DecodesToExactlyTheBoardsReport) {
  EXPECT_EQ(*decoded, *written);
  EXPECT_EQ(*decoded, board->to_profile_report().value());
}

TEST_F(ProfiledGemm, AgreesWithTheBoardsPerTileCycleTotals) {
  ASSERT_EQ(decoded->tiles.size(), kivu_runtime::tile_count);
  for (std::uint32_t physical = 0; physical < decoded->tiles.size(); ++physical) {
    const auto& tile = decoded->tiles[physical];
    ASSERT_EQ(tile.physical_tile, physical);
    const std::uint16_t logical = board->logical(static_cast<std::uint16_t>(physical)).value();
    std::map<ProfileStepKind, std::uint64_t> totals;
    std::uint64_t at = 0;
    for (const auto& sample : tile.samples) {
      ASSERT_EQ(sample.start_cycle, at) << "tile " << physical;
      totals[sample.step.kind] += sample.end_cycle - sample.start_cycle;
      at = sample.end_cycle;
      ASSERT_EQ(metadata_value(sample.step, "logical_tile"), std::to_string(logical));
    }
    EXPECT_EQ(at, board->cycle());
    const auto expected = board->tile_cycles(logical).value();
    EXPECT_EQ(totals[ProfileStepKind::Compute], expected.compute) << "tile " << physical;
    EXPECT_EQ(totals[ProfileStepKind::Exchange], expected.exchange) << "tile " << physical;
    EXPECT_EQ(totals[ProfileStepKind::Synchronization], expected.synchronization) << "tile " << physical;
    EXPECT_EQ(totals[ProfileStepKind::Idle], expected.idle) << "tile " << physical;
  }
}

TEST_F(ProfiledGemm, ShowsTheMultiplicationOnItsTilesAndIdleWithSyncEverywhereElse) {
  const std::uint16_t busy_tile = block_tile(4, {1, 1});
  const std::uint16_t idle_tile = busy_tile + 1;
  const auto& busy = decoded->tiles[board->physical(busy_tile).value()];
  std::uint32_t rounds = 0;
  for (const auto& sample : busy.samples) {
    if (sample.step.operation != "gemm.block_mac") continue;
    EXPECT_EQ(sample.step.kind, ProfileStepKind::Compute);
    EXPECT_EQ(sample.step.kernel, "block_mac_f32");
    EXPECT_EQ(metadata_value(sample.step, "round"), std::to_string(rounds));
    EXPECT_EQ(metadata_value(sample.step, "dimension"), "128");
    EXPECT_EQ(sample.step.epoch, rounds + 1);  // one sync before the rounds, one after each
    ++rounds;
  }
  EXPECT_EQ(rounds, 4u);

  std::map<ProfileStepKind, int> kinds;
  for (const auto& sample : decoded->tiles[board->physical(idle_tile).value()].samples) ++kinds[sample.step.kind];
  EXPECT_EQ(kinds[ProfileStepKind::Compute], 0);
  EXPECT_EQ(kinds[ProfileStepKind::Exchange], 0);
  EXPECT_EQ(kinds[ProfileStepKind::Synchronization], 5);
  EXPECT_GT(kinds[ProfileStepKind::Idle], 0);
}

TEST_F(ProfiledGemm, PassesTheSevenChecksOfTheSuitesGemmCase) {
  const ProfileReport& profile = *decoded;
  EXPECT_EQ(profile.tiles.size(), 1472u);
  EXPECT_GT(profile.clock_hz, 0u);
  EXPECT_TRUE(std::ranges::all_of(profile.tiles, [](const auto& tile) { return !tile.samples.empty(); }));
  for (const ProfileStepKind kind :
       {ProfileStepKind::Exchange, ProfileStepKind::Compute, ProfileStepKind::Synchronization, ProfileStepKind::Idle}) {
    EXPECT_TRUE(std::ranges::any_of(profile.tiles, [&](const auto& tile) {
      return std::ranges::any_of(tile.samples, [&](const auto& sample) { return sample.step.kind == kind; });
    })) << kind;
  }
}

}  // namespace
