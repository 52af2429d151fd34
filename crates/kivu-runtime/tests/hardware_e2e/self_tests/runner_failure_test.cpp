// How cases fail when their runner cannot be started or does not succeed,
// and that a failed case stops where it should and leaves the lock free.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kivu_e2e::testing {
namespace {

struct CaseTexts {
  std::string launch_message;
  std::string description;  // of the case's first run
};

const std::string host_launch = "launch host exchange test runner";

const std::map<std::string, CaseTexts> case_texts = {
    {"all_tile_permutation_works", {"launch permutation hardware test runner", "all-tile permutation graph"}},
    {"all_tile_reduction_works", {"launch reduction hardware test runner", "all-tile reduction graph"}},
    {"blocked_gemm_with_cycle_profile_works",
     {"launch profiled blocked GEMM hardware test runner", "blocked GEMM with per-tile cycle profile"}},
    {"compiler_segmented_allocation_executes_on_hardware",
     {"launch compiler allocation hardware test runner", "compiler-generated add spanning segmented SRAM arenas"}},
    {"direct_multicast_works", {"launch direct multicast hardware test runner", "single-source multicast graph"}},
    {"distinct_sources_can_write_disjoint_host_ranges", {host_launch, "distinct multi-source D2H"}},
    {"flash_attention_matches_host_softmax_across_encoder_shapes",
     {"launch FlashAttention hardware test runner", "FP16 FlashAttention for encoder head dimensions and batch sizes"}},
    {"h2d_compute_d2d_compute_d2h_works", {host_launch, "H2D, compute, D2D, compute, and D2H composition"}},
    {"high_address_large_h2d_and_d2h_work", {host_launch, "64-KiB high-address H2D and D2H"}},
    {"host_routes_cover_every_endpoint_field", {host_launch, "host routes spanning every endpoint field"}},
    {"initialized_d2d_relay_and_d2h_work", {host_launch, "initialized D2D relay and D2H"}},
    {"initialized_local_tile_d2h_works", {host_launch, "initialized tile D2H"}},
    {"initialized_remote_tile_d2h_works", {host_launch, "remote-tile initialized D2H"}},
    {"large_h2d_timed_relay_and_d2h_composition_works",
     {host_launch, "large H2D, timed D2D relay, and D2H composition"}},
    {"local_h2d_and_d2h_round_trip_works", {host_launch, "local H2D and D2H"}},
    {"multicast_receiver_can_send_in_same_phase",
     {"launch multicast hardware test runner", "multicast graph with a receiver that sends in the same phase"}},
    {"randomized_multi_tile_host_round_trips_work",
     {host_launch,
      "randomized host round trip seed=0x243f6a8885a308d3 bytes=4 tiles=34,71,144,956,1104,1157,1243,1300"}},
    {"randomized_static_d2d_graphs_work",
     {"launch randomized hardware test runner", "randomized exchange graph seed 0x434f5256414e452d"}},
    {"remote_tile_h2d_and_d2h_work", {host_launch, "remote-tile H2D and D2H"}},
    {"sparse_compute_to_dense_exchange_works",
     {"launch compute-to-exchange hardware test runner", "sparse compute followed by an all-tile exchange"}},
};

std::string capability_failed(const std::string& description, const std::string& status) {
  return "hardware capability \"" + description + "\" failed with " + status;
}

bool exited_with(int wait_status, int code) { return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code; }

TEST(RunnerFailure, EveryCaseReportsItsLaunchMessageWhenItsRunnerIsMissing) {
  Sandbox sandbox;
  for (const auto& runner : all_runners) sandbox.remove_runner(runner);
  const SuiteRun run = sandbox.run("*");
  EXPECT_TRUE(exited_with(run.wait_status, 1));
  // Every case ran: none of the failures kept the lock.
  ASSERT_EQ(run.cases.size(), case_texts.size()) << run.output;
  for (const auto& [name, texts] : case_texts) {
    EXPECT_EQ(run.failure(name), texts.launch_message + ": No such file or directory (os error 2)");
  }
}

TEST(RunnerFailure, OnlyTheCasesOfAMissingRunnerFail) {
  Sandbox sandbox;
  sandbox.remove_runner("kivu-hardware-e2e");
  const SuiteRun run = sandbox.run(
      "all_tile_reduction_works:remote_tile_h2d_and_d2h_work:flash_attention_matches_host_softmax_across_encoder_"
      "shapes");
  EXPECT_EQ(run.failure("all_tile_reduction_works"),
            "launch reduction hardware test runner: No such file or directory (os error 2)");
  EXPECT_TRUE(run.result("remote_tile_h2d_and_d2h_work").passed);
  EXPECT_TRUE(run.result("flash_attention_matches_host_softmax_across_encoder_shapes").passed);
}

TEST(RunnerFailure, ARunnerThatIsNotExecutableFailsTheLaunch) {
  Sandbox sandbox;
  sandbox.remove_runner("kivu-host-e2e");
  write_file(sandbox.runners() / "kivu-host-e2e", "#!/bin/sh\nexit 0\n");
  fs::permissions(sandbox.runners() / "kivu-host-e2e", fs::perms::owner_read | fs::perms::owner_write);
  const SuiteRun run = sandbox.run("remote_tile_h2d_and_d2h_work");
  EXPECT_EQ(run.failure("remote_tile_h2d_and_d2h_work"),
            "launch host exchange test runner: Permission denied (os error 13)");
}

TEST(RunnerFailure, EveryCaseQuotesItsScenarioWhenItsRunnerFails) {
  Sandbox sandbox;
  sandbox.control("* * exit 3\n");
  const SuiteRun run = sandbox.run("*");
  EXPECT_TRUE(exited_with(run.wait_status, 1));
  ASSERT_EQ(run.cases.size(), case_texts.size()) << run.output;
  for (const auto& [name, texts] : case_texts) {
    EXPECT_EQ(run.failure(name), capability_failed(texts.description, "exit status: 3"));
  }
}

TEST(RunnerFailure, AFailedCaseLeavesTheLockToTheCasesAfterIt) {
  Sandbox sandbox;
  sandbox.control("kivu-hardware-e2e KIVU_GRAPH_TEST=reduction exit 1\n");
  const SuiteRun run = sandbox.run("all_tile_permutation_works:all_tile_reduction_works:direct_multicast_works");
  EXPECT_TRUE(run.result("all_tile_permutation_works").passed);
  EXPECT_EQ(run.failure("all_tile_reduction_works"),
            "hardware capability \"all-tile reduction graph\" failed with exit status: 1");
  EXPECT_TRUE(run.result("direct_multicast_works").passed);
  EXPECT_EQ(read_invocations(sandbox.logs()).size(), 3u);
}

TEST(RunnerFailure, ARunnerEndedByASignalFailsWithTheSignalsNumberAndName) {
  Sandbox sandbox;
  sandbox.control(
      "kivu-host-e2e * signal 9\n"
      "kivu-hardware-e2e * signal 11\n");
  const SuiteRun run = sandbox.run("remote_tile_h2d_and_d2h_work:all_tile_reduction_works");
  EXPECT_EQ(run.failure("remote_tile_h2d_and_d2h_work"),
            capability_failed("remote-tile H2D and D2H", "signal: 9 (SIGKILL)"));
  EXPECT_EQ(run.failure("all_tile_reduction_works"),
            capability_failed("all-tile reduction graph", "signal: 11 (SIGSEGV)"));
}

TEST(RunnerFailure, AFailingSecondGraphSeedStopsTheCaseBeforeTheThird) {
  Sandbox sandbox;
  sandbox.control("kivu-randomized-e2e KIVU_RANDOM_SEED=7640891576956012809 exit 1\n");
  const SuiteRun run = sandbox.run("randomized_static_d2d_graphs_work");
  EXPECT_EQ(run.failure("randomized_static_d2d_graphs_work"),
            capability_failed("randomized exchange graph seed 0x6a09e667f3bcc909", "exit status: 1"));
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 2u);
  EXPECT_EQ(invocations[1].variable("KIVU_RANDOM_SEED"), "7640891576956012809");
}

TEST(RunnerFailure, AFailingSecondRoundTripStopsTheCaseBeforeTheThird) {
  Sandbox sandbox;
  sandbox.control("kivu-host-e2e KIVU_HOST_TEST_BYTES=1024 exit 2\n");
  const SuiteRun run = sandbox.run("randomized_multi_tile_host_round_trips_work");
  EXPECT_EQ(run.failure("randomized_multi_tile_host_round_trips_work"),
            capability_failed("randomized host round trip seed=0x13198a2e03707344 bytes=1024 "
                              "tiles=11,19,108,451,536,647,846,958",
                              "exit status: 2"));
  EXPECT_EQ(read_invocations(sandbox.logs()).size(), 2u);
}

// =============================================================================
// The runner's own failing lines

TEST(RunnerFailure, TheRunnersFailingLinesFollowTheFailureMessageOnLinesOfTheirOwn) {
  Sandbox sandbox;
  sandbox.control(
      "kivu-hardware-e2e KIVU_GRAPH_TEST=reduction report readback-of-tile-3-differs report "
      "second\x1b[31mline exit 1\n"
      "kivu-hardware-e2e KIVU_GRAPH_TEST=fanout report reported-but-passed exit 0\n"
      "kivu-host-e2e * signal 9\n");
  auto env = sandbox.environment();
  // One left over in the shell is replaced, never written.
  const fs::path planted = sandbox.root() / "planted";
  write_file(planted, "");
  env.push_back("KIVU_RUNNER_FAILURE_FILE=" + planted.string());
  const SuiteRun run = sandbox.run(
      "all_tile_reduction_works:direct_multicast_works:all_tile_permutation_works:"
      "remote_tile_h2d_and_d2h_work",
      env);
  EXPECT_EQ(run.failure("all_tile_reduction_works"),
            "hardware capability \"all-tile reduction graph\" failed with exit status: 1\n"
            "kivu-hardware-e2e: readback-of-tile-3-differs\n"
            "kivu-hardware-e2e: second?[31mline");
  // A runner that succeeds passes whatever it wrote; one that wrote nothing
  // fails with the first line alone.
  EXPECT_TRUE(run.result("direct_multicast_works").passed) << run.output;
  EXPECT_TRUE(run.result("all_tile_permutation_works").passed) << run.output;
  EXPECT_EQ(run.failure("remote_tile_h2d_and_d2h_work"),
            capability_failed("remote-tile H2D and D2H", "signal: 9 (SIGKILL)"));
  EXPECT_EQ(read_file(planted), "");
  EXPECT_TRUE(fs::is_empty(sandbox.tmp())) << "a failure file or its folder was left behind";
}

// A runner says where its failure was in a line of its own; the case keeps
// its message as before and records the place as properties.
TEST(RunnerFailure, TheRunnersLocationLineBecomesPropertiesOfTheFailedCase) {
  Sandbox sandbox;
  sandbox.control(
      "kivu-hardware-e2e KIVU_GRAPH_TEST=reduction report tile-714-differs locate "
      "board=0,tile=714,physical_tile=655,row=10,position=15,address=0x10003,expected=0x0f,actual=0x4f,"
      "values=1,tiles=1 exit 1\n"
      "kivu-hardware-e2e KIVU_GRAPH_TEST=fanout report count-is-wrong locate none exit 1\n"
      "kivu-hardware-e2e KIVU_GRAPH_TEST=permutation report odd locate board=0,tile=x exit 1\n");
  const SuiteRun run = sandbox.run(
      "all_tile_reduction_works:direct_multicast_works:all_tile_permutation_works:local_h2d_and_d2h_round_trip_works");

  const CaseResult& located = run.result("all_tile_reduction_works");
  EXPECT_EQ(run.failure("all_tile_reduction_works"),
            "hardware capability \"all-tile reduction graph\" failed with exit status: 1\n"
            "kivu-hardware-e2e: tile-714-differs");
  const std::map<std::string, std::string> expected = {{"failed_board", "0"},           {"failed_tile", "714"},
                                                       {"failed_physical_tile", "655"}, {"failed_row", "10"},
                                                       {"failed_position", "15"},       {"failed_address", "0x10003"},
                                                       {"failed_expected", "0x0f"},     {"failed_actual", "0x4f"},
                                                       {"failed_values", "1"},          {"failed_tiles", "1"}};
  for (const auto& [name, value] : expected) {
    EXPECT_EQ(located.properties.count(name) ? located.properties.at(name) : "(none)", value) << name;
  }
  EXPECT_EQ(located.properties.count("failed_location"), 0u);

  const CaseResult& untied = run.result("direct_multicast_works");
  EXPECT_EQ(run.failure("direct_multicast_works"),
            "hardware capability \"single-source multicast graph\" failed with exit status: 1\n"
            "kivu-hardware-e2e: count-is-wrong");
  EXPECT_EQ(untied.properties.count("failed_location") ? untied.properties.at("failed_location") : "", "untied");
  EXPECT_EQ(untied.properties.count("failed_tile"), 0u);

  // A line that is not a whole location records nothing and is shown as written.
  const CaseResult& malformed = run.result("all_tile_permutation_works");
  EXPECT_EQ(run.failure("all_tile_permutation_works"),
            "hardware capability \"all-tile permutation graph\" failed with exit status: 1\n"
            "kivu-hardware-e2e: odd\n"
            "location board=0 tile=x");
  EXPECT_EQ(malformed.properties.count("failed_board"), 0u);
  EXPECT_EQ(malformed.properties.count("failed_location"), 0u);

  // A passing case records no failure properties.
  const CaseResult& passed = run.result("local_h2d_and_d2h_round_trip_works");
  EXPECT_TRUE(passed.passed) << run.output;
  EXPECT_EQ(passed.properties.count("failed_location") + passed.properties.count("failed_tile"), 0u);
  EXPECT_EQ(passed.properties.count("board"), 1u) << "the properties were not read";
}

TEST(RunnerFailure, TheFailureFileIsMadeAfreshForEachRunnerAndOnlyItsUserCanReachIt) {
  Sandbox sandbox;
  sandbox.control("* * note started sleep 600000\n");
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.all_tile_reduction_works"}, sandbox.environment());
  std::vector<Invocation> invocations;
  ASSERT_TRUE(eventually([&] {
    invocations = read_invocations(sandbox.logs());
    return !invocations.empty() && !invocations[0].notes.empty();
  })) << "the runner did not start";
  const fs::path file(invocations[0].variable("KIVU_RUNNER_FAILURE_FILE").value_or(""));
  struct stat status {};
  ASSERT_EQ(lstat(file.c_str(), &status), 0) << file;
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(status.st_uid, geteuid());
  EXPECT_EQ(status.st_size, 0);
  ASSERT_EQ(lstat(file.parent_path().c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  EXPECT_EQ(status.st_uid, geteuid());

  kill(invocations[0].pid, SIGKILL);
  const SuiteRun run = sandbox.finish(suite);
  EXPECT_EQ(run.failure("all_tile_reduction_works"),
            capability_failed("all-tile reduction graph", "signal: 9 (SIGKILL)"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(file.parent_path())));
  EXPECT_TRUE(fs::is_empty(sandbox.tmp()));
}

TEST(RunnerFailure, WithoutARoomForTheFailureFileTheRunnerRunsWithoutOne) {
  Sandbox sandbox;
  sandbox.control("* * report unseen exit 5\n");
  auto env = sandbox.environment();
  env.push_back("KIVU_RUNNER_FAILURE_FILE=" + (sandbox.root() / "planted").string());
  for (auto& entry : env) {
    if (entry.starts_with("TMPDIR=")) entry = "TMPDIR=" + (sandbox.root() / "missing").string();
  }
  const SuiteRun run = sandbox.run("all_tile_reduction_works", env);
  EXPECT_EQ(run.failure("all_tile_reduction_works"), capability_failed("all-tile reduction graph", "exit status: 3"));
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 1u);
  EXPECT_EQ(invocations[0].variable("KIVU_RUNNER_FAILURE_FILE"), std::nullopt);
  EXPECT_FALSE(fs::exists(sandbox.root() / "planted"));
}

TEST(RunnerLaunch, ASuiteStartedWithSigchldIgnoredAndBlockedStillWaitsForEveryRunner) {
  // Some CI agents and init systems start jobs so; the kernel would then
  // reap each runner before the suite could wait for it.
  Sandbox sandbox;
  sandbox.all_pass();
  sandbox.launch_through({"/usr/bin/env", "--ignore-signal=CHLD", "--block-signal=CHLD"});
  const SuiteRun run = sandbox.run(
      "local_h2d_and_d2h_round_trip_works:randomized_static_d2d_graphs_work:"
      "blocked_gemm_with_cycle_profile_works");
  EXPECT_TRUE(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0) << run.output;
  for (const char* name : {"local_h2d_and_d2h_round_trip_works", "randomized_static_d2d_graphs_work",
                           "blocked_gemm_with_cycle_profile_works"}) {
    EXPECT_TRUE(run.result(name).passed) << name << "\n" << run.output;
  }
}

}  // namespace
}  // namespace kivu_e2e::testing
