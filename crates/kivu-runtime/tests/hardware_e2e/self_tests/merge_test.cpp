// The suite's results, written one case at a time by suites on the
// stand-ins, come back through `kivu-results merge` as one JUnit report,
// with where each case ran, its failure, the cases that never reported, and
// an exit status that says so. The merge's own tests are kivu-results'
// (crates/kivu-results/tests/merge_test.cpp).
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"
#include "kivu_testing/junit_report.hpp"
#include "support.hpp"

namespace kivu_e2e::testing {
namespace {

using kivu_testing::junit_cases;
using ::testing::HasSubstr;

const std::string listing =
    "hardware_e2e.\n"
    "  all_tile_permutation_works\n"
    "  direct_multicast_works\n"
    "  remote_tile_h2d_and_d2h_work\n"
    "  local_h2d_and_d2h_round_trip_works\n";

struct Merge {
  int status = -1;
  std::string output;
};

// Runs `kivu-results merge` on `args`; its output goes to a file.
Merge run_merge(const Sandbox& sandbox, std::vector<std::string> args) {
  args.insert(args.begin(), {RESULTS_TOOL, "merge"});
  const fs::path output = sandbox.root() / "merge-output.txt";
  const int status = wait_status_of(spawn(args, {"PATH=/usr/bin:/bin"}, sandbox.root(), output));
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(output)};
}

std::string this_host() {
  std::array<char, 256> host{};
  gethostname(host.data(), host.size() - 1);
  return host.data();
}

TEST(Merge, JoinsCaseResultsWithHostBoardFailureAndWhatIsMissing) {
  Sandbox sandbox;
  sandbox.control("* KIVU_BOARD=2 exit 7\n* * exit 0\n");
  const fs::path results = sandbox.root() / "results";
  fs::create_directories(results);
  // Three of the four listed cases, each in a suite process of its own on
  // board 1 or 2; the runners on board 2 fail.
  const std::vector<std::pair<std::string, std::string>> runs = {
      {"all_tile_permutation_works", "1"}, {"direct_multicast_works", "2"}, {"remote_tile_h2d_and_d2h_work", "1"}};
  for (const auto& [name, board] : runs) {
    auto env = sandbox.environment();
    env.push_back("KIVU_SIM_BOARDS=4");
    env.push_back("KIVU_TEST_BOARD=" + board);
    const pid_t suite = spawn({suite_on_stand_ins(), "--gtest_filter=hardware_e2e." + name,
                               "--gtest_output=xml:" + (results / (name + ".xml")).string()},
                              env, sandbox.work(), sandbox.root() / (name + ".txt"));
    wait_status_of(suite);
  }
  write_file(sandbox.root() / "cases.txt", listing);

  const fs::path report = sandbox.root() / "report.xml";
  const Merge merged = run_merge(
      sandbox, {"--expected", (sandbox.root() / "cases.txt").string(), "-o", report.string(), results.string()});
  EXPECT_EQ(merged.status, 1) << merged.output;
  EXPECT_THAT(merged.output, HasSubstr("4 cases, 2 passed, 1 failed, 0 skipped, 1 without a result"));
  EXPECT_THAT(merged.output, HasSubstr("FAILED hardware_e2e.direct_multicast_works host=" + this_host() + " board=2"));
  EXPECT_THAT(merged.output, HasSubstr("NO RESULT hardware_e2e.local_h2d_and_d2h_round_trip_works"));

  const auto cases = junit_cases(read_file(report));
  ASSERT_EQ(cases.size(), 4u) << read_file(report);
  const auto& passed = cases.at("all_tile_permutation_works");
  EXPECT_FALSE(passed.failure.has_value());
  EXPECT_EQ(passed.properties.at("host"), this_host());
  EXPECT_EQ(passed.properties.at("board"), "1");
  const auto& failed = cases.at("direct_multicast_works");
  EXPECT_EQ(failed.properties.at("board"), "2");
  ASSERT_TRUE(failed.failure.has_value());
  EXPECT_THAT(*failed.failure, HasSubstr("failed with exit status: 7"));
  EXPECT_THAT(failed.failure_text, HasSubstr("failed with exit status: 7"));
  const auto& missing = cases.at("local_h2d_and_d2h_round_trip_works");
  ASSERT_TRUE(missing.failure.has_value());
  EXPECT_THAT(*missing.failure, HasSubstr("no result"));
  EXPECT_TRUE(missing.properties.empty());

  // Every case reported and passed: exit 0, and the report on standard output.
  sandbox.control("* * exit 0\n");
  for (const auto& name : {"direct_multicast_works", "local_h2d_and_d2h_round_trip_works"}) {
    wait_status_of(spawn({suite_on_stand_ins(), std::string("--gtest_filter=hardware_e2e.") + name,
                          "--gtest_output=xml:" + (results / (std::string(name) + ".xml")).string()},
                         sandbox.environment(), sandbox.work(), sandbox.root() / "again.txt"));
  }
  const Merge whole = run_merge(sandbox, {"--expected", (sandbox.root() / "cases.txt").string(), results.string()});
  EXPECT_EQ(whole.status, 0) << whole.output;
  EXPECT_THAT(whole.output, HasSubstr("<testsuites name=\"hardware_e2e\" tests=\"4\" failures=\"0\""));
}

}  // namespace
}  // namespace kivu_e2e::testing
