// The registry as the harness sees it: names, order, selection by name, and
// the CMake table that registers the real cases with CTest.
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kivu_e2e::testing {
namespace {

const std::vector<std::string> registry = {
    "all_tile_permutation_works",
    "all_tile_reduction_works",
    "blocked_gemm_with_cycle_profile_works",
    "compiler_segmented_allocation_executes_on_hardware",
    "direct_multicast_works",
    "distinct_sources_can_write_disjoint_host_ranges",
    "flash_attention_matches_host_softmax_across_encoder_shapes",
    "h2d_compute_d2d_compute_d2h_works",
    "high_address_large_h2d_and_d2h_work",
    "host_routes_cover_every_endpoint_field",
    "initialized_d2d_relay_and_d2h_work",
    "initialized_local_tile_d2h_works",
    "initialized_remote_tile_d2h_works",
    "large_h2d_timed_relay_and_d2h_composition_works",
    "local_h2d_and_d2h_round_trip_works",
    "multicast_receiver_can_send_in_same_phase",
    "randomized_multi_tile_host_round_trips_work",
    "randomized_static_d2d_graphs_work",
    "remote_tile_h2d_and_d2h_work",
    "sparse_compute_to_dense_exchange_works",
};

TEST(Registry, ListsTheTwentyCasesUnderOneSuiteInAscendingOrder) {
  Sandbox sandbox;
  const pid_t pid = sandbox.start({"--gtest_list_tests"}, sandbox.environment());
  const SuiteRun run = sandbox.finish(pid);
  std::string expected = "hardware_e2e.\n";
  for (const auto& name : registry) expected += "  " + name + "\n";
  EXPECT_EQ(run.output, expected);
  EXPECT_TRUE(std::ranges::is_sorted(registry));
}

TEST(Registry, SelectsCasesByName) {
  Sandbox sandbox;
  const SuiteRun selected = sandbox.finish(
      sandbox.start({"--gtest_filter=hardware_e2e.remote*"}, sandbox.environment()));
  ASSERT_EQ(selected.cases.size(), 1u);
  EXPECT_EQ(selected.cases[0].name, "remote_tile_h2d_and_d2h_work");
}

TEST(Registry, ThreeShardsTogetherRunEveryCaseExactlyOnce) {
  Sandbox sandbox;
  sandbox.all_pass();
  std::vector<std::string> ran;
  for (int shard = 0; shard < 3; ++shard) {
    auto env = sandbox.environment();
    env.push_back("GTEST_TOTAL_SHARDS=3");
    env.push_back("GTEST_SHARD_INDEX=" + std::to_string(shard));
    env.push_back("GTEST_SHARD_STATUS_FILE=" + (sandbox.root() / "shard-status").string());
    const SuiteRun run = sandbox.run("*", env);
    EXPECT_TRUE(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0) << run.output;
    EXPECT_GE(run.cases.size(), 1u) << "shard " << shard << " ran nothing";
    for (const auto& result : run.cases) ran.push_back(result.name);
  }
  std::ranges::sort(ran);
  EXPECT_EQ(ran, registry);
}

TEST(Registry, TheXmlReportListsEveryCase) {
  Sandbox sandbox;
  sandbox.all_pass();
  const fs::path report = sandbox.root() / "report.xml";
  const pid_t pid = spawn({suite_on_stand_ins(), "--gtest_output=xml:" + report.string()}, sandbox.environment(),
                          sandbox.work(), sandbox.root() / "xml-output.txt");
  const int status = wait_status_of(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(sandbox.root() / "xml-output.txt");
  const std::string xml = read_file(report);
  for (const auto& name : registry) {
    EXPECT_NE(xml.find("<testcase name=\"" + name + "\""), std::string::npos) << name;
  }
  std::size_t count = 0;
  for (auto at = xml.find("<testcase "); at != std::string::npos; at = xml.find("<testcase ", at + 1)) ++count;
  EXPECT_EQ(count, registry.size());
}

TEST(Registry, TheCtestTableNamesEveryCaseOfTheRegistry) { EXPECT_EQ(split(CTEST_CASE_NAMES, ','), registry); }

}  // namespace
}  // namespace kivu_e2e::testing
