// Every scenario of the suite passes on the simulated board, also with
// host-write jitter, and fails (exit 1, a mismatch reported) when the board
// flips one bit of the first readback: so no scenario's check is vacuous.
// A passing runner prints its board line and "passed" only; a failing one
// also the steps that led there.
#include "runner_scenarios.hpp"

#include <algorithm>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"

namespace kivu_runner::testing {
namespace {

class SuiteScenario : public ::testing::TestWithParam<Scenario> {
protected:
  [[nodiscard]] ChildResult run(const Environment& extra) const {
    Environment environment = GetParam().environment;
    environment.insert(environment.end(), extra.begin(), extra.end());
    return run_child(GetParam().runner, environment);
  }
};

std::size_t line_count(const std::string& text) { return static_cast<std::size_t>(std::ranges::count(text, '\n')); }

TEST_P(SuiteScenario, PassesOnTheBoardSayingOnlyTheBoardAndTheVerdict) {
  const ChildResult result = run({});
  ASSERT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  EXPECT_TRUE(result.err.empty()) << result.describe();
  EXPECT_TRUE(result.out.ends_with(": passed\n")) << result.describe();
  EXPECT_NE(result.out.find(": board 0 (simulated, 1472 tiles)\n"), std::string::npos) << result.describe();
  EXPECT_EQ(line_count(result.out), 2u) << result.describe();
}

TEST_P(SuiteScenario, PassesWithHostWriteJitter) {
  const ChildResult result = run({{"KIVU_HOST_WRITE_JITTER_MAX_US", "200"}, {"KIVU_HOST_WRITE_JITTER_SEED", "7"}});
  ASSERT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  EXPECT_NE(result.out.find("host-write jitter up to 200 us, seed 7"), std::string::npos) << result.describe();
}

TEST_P(SuiteScenario, FailsWithAMismatchWhenTheBoardFlipsABit) {
  const ChildResult result = run({{"KIVU_SIM_FAULT", "1"}});
  ASSERT_TRUE(result.exited && result.exit_code == 1) << result.describe();
  const auto lines = result.error_lines();
  ASSERT_EQ(lines.size(), 1u) << result.describe();
  EXPECT_NE(lines[0].find("mismatch"), std::string::npos) << result.describe();
  EXPECT_EQ(result.out.find(": passed"), std::string::npos) << result.describe();
  // The steps held back are shown, as a verbose run shows them (but for
  // the measured host wall time).
  const ChildResult verbose = run({{"KIVU_SIM_FAULT", "1"}, {"KIVU_RUNNER_VERBOSE", "1"}});
  const std::regex wall_time("host wall time [0-9]+ us");
  EXPECT_EQ(std::regex_replace(result.out, wall_time, "host wall time N us"),
            std::regex_replace(verbose.out, wall_time, "host wall time N us"));
  EXPECT_EQ(result.err, verbose.err);
  EXPECT_GT(line_count(result.out), 2u) << result.describe();
}

// The logical tile that a failure line names ("... tile T (physical ..."),
// or nothing.
std::optional<std::string> tile_named(const std::string& line) {
  static const std::regex named(
      "mismatch on board [0-9]+, tile ([0-9]+) \\(physical [0-9]+: row [0-9]+, position "
      "[0-9]+\\) at 0x[0-9a-f]+: got 0x[0-9a-f]+, expected 0x[0-9a-f]+; [0-9]+ of [0-9]+ "
      "values? differs?, on [0-9]+ tiles?$");
  std::smatch match;
  if (!std::regex_search(line, match, named)) return std::nullopt;
  return match[1].str();
}

// A tile that fails at probability 1 is caught by the scenario, whatever
// passes through it first (a write, a readback or an exchange). The tile is
// one the scenario reads back first: the one the KIVU_SIM_FAULT flip names.
TEST_P(SuiteScenario, CatchesABadTileItTouchesAndSaysWhere) {
  const ChildResult first_readback = run({{"KIVU_SIM_FAULT", "1"}});
  ASSERT_EQ(first_readback.error_lines().size(), 1u) << first_readback.describe();
  const auto touched = tile_named(first_readback.error_lines()[0]);
  ASSERT_TRUE(touched) << first_readback.describe();

  const ChildResult result = run({{"KIVU_SIM_FAULT_TILE", "0:" + *touched + ":1"}, {"KIVU_SIM_FAULT_SEED", "3"}});
  ASSERT_TRUE(result.exited && result.exit_code == 1) << "bad tile " << *touched << "\n" << result.describe();
  ASSERT_EQ(result.error_lines().size(), 1u) << result.describe();
  EXPECT_TRUE(tile_named(result.error_lines()[0])) << result.describe();
  EXPECT_NE(result.out.find("faulty tiles: tile " + *touched + " with probability 1; seed 3"), std::string::npos)
      << result.describe();
}

INSTANTIATE_TEST_SUITE_P(Runners, SuiteScenario, ::testing::ValuesIn(suite_scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& scenario) { return scenario.param.name; });

// =============================================================================
// The board a runner runs on

TEST(RunnerBoard, IsNamedInTheFirstLineAndKeepsTheFaultOfAnotherBoardOut) {
  const Environment four_boards{{"KIVU_SIM_BOARDS", "4"}, {"KIVU_SIM_FAULT_BOARD", "2"}};
  Environment on_board_3 = four_boards;
  on_board_3.emplace_back("KIVU_BOARD", "3");
  const ChildResult passed = run_child(KIVU_HOST_E2E, on_board_3);
  ASSERT_TRUE(passed.exited && passed.exit_code == 0) << passed.describe();
  EXPECT_TRUE(passed.out.starts_with("kivu-host-e2e: board 3 (simulated, 1472 tiles)\n")) << passed.describe();

  Environment on_board_2 = four_boards;
  on_board_2.emplace_back("KIVU_BOARD", "2");
  const ChildResult failed = run_child(KIVU_HOST_E2E, on_board_2);
  ASSERT_TRUE(failed.exited && failed.exit_code == 1) << failed.describe();
  EXPECT_NE(failed.out.find("fault injection on"), std::string::npos) << failed.describe();
}

TEST(RunnerBoard, TakesEmptyJitterValuesAsUnset) {
  const ChildResult result = run_child(KIVU_HOST_E2E,
                                       {{"KIVU_HOST_WRITE_JITTER_MAX_US", ""}, {"KIVU_HOST_WRITE_JITTER_SEED", ""}});
  ASSERT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  EXPECT_TRUE(result.out.starts_with("kivu-host-e2e: board 0 (simulated, 1472 tiles)\n")) << result.describe();
  EXPECT_EQ(result.out.find("jitter"), std::string::npos) << result.describe();
}

}  // namespace
}  // namespace kivu_runner::testing
