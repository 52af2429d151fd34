// Every scenario of the suite passes on the simulated board, also with
// host-write jitter, and fails (exit 1, a mismatch reported) when the board
// flips one bit of the first readback: so no scenario's check is vacuous.
#include <gtest/gtest.h>

#include "kivu_runtime_testing/child_process.hpp"
#include "runner_scenarios.hpp"

namespace kivu_runner_tests {
namespace {

class SuiteScenario : public ::testing::TestWithParam<Scenario> {
protected:
  [[nodiscard]] ChildResult run(const Environment& extra) const {
    Environment environment = GetParam().environment;
    environment.insert(environment.end(), extra.begin(), extra.end());
    return run_child(GetParam().runner, environment);
  }
};

TEST_P(SuiteScenario, PassesOnTheBoard) {
  const ChildResult result = run({});
  ASSERT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  EXPECT_TRUE(result.err.empty()) << result.describe();
  EXPECT_TRUE(result.out.ends_with(": passed\n")) << result.describe();
}

TEST_P(SuiteScenario, PassesWithHostWriteJitter) {
  const ChildResult result =
      run({{"KIVU_HOST_WRITE_JITTER_MAX_US", "200"}, {"KIVU_HOST_WRITE_JITTER_SEED", "7"}});
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
}

INSTANTIATE_TEST_SUITE_P(Runners, SuiteScenario, ::testing::ValuesIn(suite_scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& scenario) { return scenario.param.name; });

}  // namespace
}  // namespace kivu_runner_tests
