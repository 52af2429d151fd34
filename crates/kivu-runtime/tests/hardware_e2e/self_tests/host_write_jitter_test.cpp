// Forwarding of the host-write jitter settings: the suite's
// KIVU_TEST_HOST_WRITE_JITTER_{MAX_US,SEED} become the runner's
// KIVU_HOST_WRITE_JITTER_{MAX_US,SEED}, for the host-transfer and GEMM
// runners only, after the case's own variables, as raw bytes.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kivu_e2e::testing {
namespace {

using Variables = std::vector<std::pair<std::string, std::string>>;

class HostWriteJitter : public ::testing::Test {
protected:
  // Runs one case of each runner with `settings` added to the suite's
  // environment and checks every runner's environment: the case's variables,
  // then `forwarded` for the host and GEMM runners only.
  void expect_forwarding(const std::vector<std::string>& settings, const Variables& forwarded) {
    sandbox.all_pass();
    auto suite_env = sandbox.environment();
    suite_env.insert(suite_env.end(), settings.begin(), settings.end());
    const SuiteRun run = sandbox.run(
        "all_tile_reduction_works:blocked_gemm_with_cycle_profile_works:"
        "flash_attention_matches_host_softmax_across_encoder_shapes:randomized_static_d2d_graphs_work:"
        "remote_tile_h2d_and_d2h_work",
        suite_env);
    for (const auto& result : run.cases) EXPECT_TRUE(result.passed) << result.name << run.output;

    const auto with_forwarded = [&](Variables variables) {
      variables.insert(variables.end(), forwarded.begin(), forwarded.end());
      return variables;
    };
    const auto invocations = read_invocations(sandbox.logs());
    ASSERT_EQ(invocations.size(), 7u);
    // The profile lies in a private folder of TMPDIR (gemm_profile_test.cpp).
    std::string profile;
    for (const auto& invocation : invocations) {
      if (invocation.runner == "kivu-gemm-e2e") profile = invocation.variable("KIVU_PROFILE_OUTPUT").value_or("");
    }
    EXPECT_TRUE(profile.starts_with((sandbox.tmp() / "kivu-gemm-profile.").string()) &&
                profile.ends_with("/corvane-kit-gemm-profile-" + std::to_string(run.pid) + ".capnp"))
        << profile;
    for (const auto& invocation : invocations) {
      SCOPED_TRACE(invocation.runner);
      Variables expected;
      if (invocation.runner == "kivu-host-e2e") {
        expected = with_forwarded({{"KIVU_HOST_TEST_TILE", "1471"}, {"KIVU_HOST_TEST_BYTES", "8192"}});
      } else if (invocation.runner == "kivu-gemm-e2e") {
        expected = with_forwarded(
            {{"KIVU_GEMM_DIMENSION", "128"}, {"KIVU_PROFILE_OUTPUT", profile}, {"KIVU_GEMM_SRAM_CHECK_BLOCK", "1,1"}});
      } else if (invocation.runner == "kivu-hardware-e2e") {
        expected = {{"KIVU_GRAPH_TEST", "reduction"}};
      } else if (invocation.runner == "kivu-randomized-e2e") {
        expected = {{"KIVU_RANDOM_SEED", *invocation.variable("KIVU_RANDOM_SEED")}};
      }
      EXPECT_EQ(invocation.env, expected_env(suite_env, with_failure_file(expected, invocation)));
    }
  }

  Sandbox sandbox;
};

TEST_F(HostWriteJitter, BothSettingsReachOnlyTheHostAndGemmRunners) {
  expect_forwarding({"KIVU_TEST_HOST_WRITE_JITTER_MAX_US=250", "KIVU_TEST_HOST_WRITE_JITTER_SEED=7"},
                    {{"KIVU_HOST_WRITE_JITTER_MAX_US", "250"}, {"KIVU_HOST_WRITE_JITTER_SEED", "7"}});
}

TEST_F(HostWriteJitter, ASeedWithoutAMaximumForwardsOnlyTheSeed) {
  expect_forwarding({"KIVU_TEST_HOST_WRITE_JITTER_SEED=12345"}, {{"KIVU_HOST_WRITE_JITTER_SEED", "12345"}});
}

TEST_F(HostWriteJitter, EmptyAndNonUtf8ValuesPassThroughUnchanged) {
  expect_forwarding({"KIVU_TEST_HOST_WRITE_JITTER_MAX_US=", "KIVU_TEST_HOST_WRITE_JITTER_SEED=\xff\xfe not a number"},
                    {{"KIVU_HOST_WRITE_JITTER_MAX_US", ""}, {"KIVU_HOST_WRITE_JITTER_SEED", "\xff\xfe not a number"}});
}

TEST_F(HostWriteJitter, RunnerSideSettingsOfTheSuiteAreReplacedOnlyWhereForwarded) {
  // The inherited KIVU_HOST_WRITE_JITTER_SEED=old reaches the graph runners
  // as it is, and is replaced for the host and GEMM runners.
  expect_forwarding({"KIVU_HOST_WRITE_JITTER_SEED=old", "KIVU_TEST_HOST_WRITE_JITTER_SEED=new"},
                    {{"KIVU_HOST_WRITE_JITTER_SEED", "new"}});
}

TEST_F(HostWriteJitter, NoSettingsForwardNothing) { expect_forwarding({}, {}); }

}  // namespace
}  // namespace kivu_e2e::testing
