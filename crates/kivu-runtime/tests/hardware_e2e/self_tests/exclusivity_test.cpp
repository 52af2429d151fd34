// One runner at a time on each board across the host: suite processes
// started together, suites run as parallel CTest jobs on one board and on
// four, suites taking any free board, and the real board lock; the lock's
// independence of the file system, and the choice of board; no runner
// outliving a killed suite, and no runner starting while a killed suite's
// runner still runs.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kivu_e2e::testing {
namespace {

using namespace std::chrono_literals;

// No two logged runners were alive at the same time.
void expect_one_at_a_time(const std::vector<Invocation>& invocations) {
  for (std::size_t i = 0; i < invocations.size(); ++i) {
    ASSERT_TRUE(invocations[i].end.has_value()) << "runner " << i << " has no end";
    if (i + 1 < invocations.size()) {
      EXPECT_LT(*invocations[i].end, invocations[i + 1].start)
          << invocations[i].runner << " (pid " << invocations[i].pid << ") still ran when " << invocations[i + 1].runner
          << " (pid " << invocations[i + 1].pid << ") started";
    }
  }
}

// Whether `text` appears in the output of `suite` within a minute.
bool says(const Sandbox& sandbox, pid_t suite, const std::string& text) {
  return eventually([&] { return sandbox.output(suite).find(text) != std::string::npos; });
}

// Whether `suite` is still running (it is not reaped here).
bool still_runs(pid_t suite) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(suite), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::vector<std::string> without(const std::vector<std::string>& env, std::string_view prefix) {
  std::vector<std::string> kept;
  for (const auto& entry : env) {
    if (!entry.starts_with(prefix)) kept.push_back(entry);
  }
  return kept;
}

// Runs each of `cases` as a CTest test of a project in the sandbox (the
// suite on the stand-ins with that case's filter, the sandbox's environment
// and `properties` besides), then ctest on it with `arguments`. Passes when
// ctest does.
void expect_ctest_passes(const Sandbox& sandbox, const std::vector<std::string>& cases, std::string_view properties,
                         const std::vector<std::string>& arguments, const std::vector<std::string>& more_env = {}) {
  std::string environment;
  for (const auto& entry : sandbox.environment()) environment += (environment.empty() ? "" : ";") + entry;
  for (const auto& entry : more_env) environment += ";" + entry;
  std::string testfile;
  for (const auto& name : cases) {
    testfile += "add_test(" + name + " \"" + suite_on_stand_ins() + "\" \"--gtest_filter=hardware_e2e." + name +
                "\")\n";
    testfile += "set_tests_properties(" + name + " PROPERTIES " + std::string(properties) + " ENVIRONMENT \"" +
                environment + "\" WORKING_DIRECTORY \"" + sandbox.work().string() + "\")\n";
  }
  const fs::path project = sandbox.root() / "ctest";
  fs::create_directories(project);
  write_file(project / "CTestTestfile.cmake", testfile);

  const fs::path output = sandbox.root() / "ctest-output.txt";
  std::vector<std::string> argv = {CTEST_COMMAND, "--test-dir", project.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const int status = wait_status_of(spawn(argv, {"PATH=/usr/bin:/bin"}, project, output));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(output);
}

// =============================================================================
// Across processes

TEST(Exclusivity, ThreeSuitesStartedTogetherNeverRunTwoRunnersAtOnce) {
  Sandbox sandbox;
  sandbox.all_pass("sleep 3");
  std::vector<pid_t> suites;
  for (int i = 0; i < 3; ++i) suites.push_back(sandbox.start({"--gtest_filter=hardware_e2e.*"}, sandbox.environment()));
  for (const pid_t pid : suites) {
    const SuiteRun run = sandbox.finish(pid);
    EXPECT_TRUE(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0) << run.output;
  }
  const auto invocations = read_invocations(sandbox.logs());
  EXPECT_EQ(invocations.size(), 3u * 24u);
  expect_one_at_a_time(invocations);
}

TEST(Exclusivity, ParallelCtestJobsNeverRunTwoRunnersAtOnce) {
  Sandbox sandbox;
  sandbox.control("* * sleep 20\n");
  const std::vector<std::string> cases = {
      "all_tile_permutation_works",
      "all_tile_reduction_works",
      "direct_multicast_works",
      "remote_tile_h2d_and_d2h_work",
      "local_h2d_and_d2h_round_trip_works",
      "flash_attention_matches_host_softmax_across_encoder_shapes",
  };
  // The jobs carry no RESOURCE_LOCK: only the suite's own lock keeps them apart.
  expect_ctest_passes(sandbox, cases, "", {"-j", std::to_string(cases.size())});
  const auto invocations = read_invocations(sandbox.logs());
  EXPECT_EQ(invocations.size(), cases.size());
  expect_one_at_a_time(invocations);
}

TEST(RealBoardLock, HoldsTheSuiteBackWhileAnotherProcessHoldsIt) {
  Sandbox sandbox;
  // Board 0's real lock; a suite of the host may hold it for a while.
  const std::string names[] = {"kivu-board-0"};
  auto taken = kivu_host::BoardLock::wait(names, {.bound = std::chrono::minutes(1)});
  ASSERT_TRUE(taken) << "board 0's lock stayed taken for a minute: " << taken.error().locks;
  std::optional fd(std::move(*taken));

  // Without the self-test redirection the suite uses the host's lock names.
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.remote_tile_h2d_and_d2h_work"},
                                    without(sandbox.environment(), "KIVU_SELFTEST_DEVICE_LOCK="));
  EXPECT_TRUE(says(sandbox, suite, "waiting for the device lock @kivu-board-0")) << sandbox.output(suite);
  EXPECT_TRUE(still_runs(suite)) << "the suite did not wait for the lock";
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty()) << "a runner started while the lock was held";

  const std::uint64_t released = monotonic_ns();
  fd.reset();
  const SuiteRun run = sandbox.finish(suite);
  EXPECT_TRUE(run.result("remote_tile_h2d_and_d2h_work").passed) << run.output;
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 1u);
  EXPECT_GT(invocations[0].start, released);
}

// =============================================================================
// The board lock: a name, not a file

TEST(BoardLock, LeavesNothingInTheFileSystemAndThingsPlantedThereChangeNothing) {
  Sandbox sandbox;
  auto env = sandbox.environment();
  env.push_back("KIVU_SIM_BOARDS=3");
  const SuiteRun plain = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
  EXPECT_TRUE(plain.result("local_h2d_and_d2h_round_trip_works").passed) << plain.output;
  EXPECT_FALSE(fs::exists(fs::symlink_status(sandbox.lock())));
  EXPECT_FALSE(fs::exists(fs::symlink_status(sandbox.lock_name(0))));

  // What once stopped or stalled a suite when it sat at a lock's path: a
  // read-only file, a link elsewhere, a FIFO that never gets a writer.
  write_file(sandbox.lock_name(0), "");
  fs::permissions(sandbox.lock_name(0), fs::perms::owner_read);
  write_file(sandbox.root() / "elsewhere", "kept");
  fs::create_symlink(sandbox.root() / "elsewhere", sandbox.lock_name(1));
  ASSERT_EQ(mkfifo(sandbox.lock_name(2).c_str(), 0666), 0);
  for (const std::string board : {"0", "1", "2"}) {
    SCOPED_TRACE("board " + board);
    auto on_board = env;
    on_board.push_back("KIVU_TEST_BOARD=" + board);
    const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.remote_tile_h2d_and_d2h_work"}, on_board);
    (void)eventually([&] { return !still_runs(suite); });
    kill(suite, SIGKILL);  // no effect on a suite that has ended
    const SuiteRun run = sandbox.finish(suite);
    ASSERT_FALSE(WIFSIGNALED(run.wait_status)) << "the suite hung";
    EXPECT_TRUE(run.result("remote_tile_h2d_and_d2h_work").passed) << run.output;
  }
  EXPECT_EQ(read_file(sandbox.root() / "elsewhere"), "kept");
  EXPECT_TRUE(fs::is_symlink(sandbox.lock_name(1)));
  EXPECT_TRUE(fs::is_fifo(sandbox.lock_name(2)));
  EXPECT_EQ(read_invocations(sandbox.logs()).size(), 4u);
}

TEST(BoardLock, RemovingOrReplacingFilesWhileASuiteHoldsTheBoardNeverLetsTwoRunnersShareIt) {
  // Suite A holds board 1 while its runner runs; suite B waits for it.
  // Then everything the suites ever used in the file system for the board is
  // deleted and replaced, as a user who takes the lock for stale, a /tmp
  // cleaner or a second root shell may do, and suite C starts: the runners
  // must still take turns.
  Sandbox sandbox;
  const fs::path release = sandbox.root() / "release";
  sandbox.control("* KIVU_SELFTEST_ROLE=first release " + release.string() + "\n");
  auto env = sandbox.environment();
  env.push_back("KIVU_SIM_BOARDS=2");
  env.push_back("KIVU_TEST_BOARD=1");
  auto first_env = env;
  first_env.push_back("KIVU_SELFTEST_ROLE=first");
  const std::string filter = "--gtest_filter=hardware_e2e.all_tile_reduction_works";
  const pid_t first = sandbox.start({filter}, first_env);
  ASSERT_TRUE(eventually([&] { return !read_invocations(sandbox.logs()).empty(); }))
      << "the first runner did not start";
  const pid_t second = sandbox.start({filter}, env);
  ASSERT_TRUE(says(sandbox, second, "waiting for the device lock")) << sandbox.output(second);

  for (const fs::path& path : {sandbox.lock(), fs::path(sandbox.lock_name(1)), sandbox.tmp()}) {
    fs::remove_all(path);
    write_file(path, "");
  }
  const pid_t third = sandbox.start({filter}, env);
  ASSERT_TRUE(says(sandbox, third, "waiting for the device lock")) << sandbox.output(third);
  write_file(release, "");

  for (const pid_t suite : {first, second, third}) {
    const SuiteRun run = sandbox.finish(suite);
    EXPECT_TRUE(run.result("all_tile_reduction_works").passed) << run.output;
  }
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 3u);
  expect_one_at_a_time(invocations);
  for (const auto& invocation : invocations) EXPECT_EQ(invocation.alive, std::vector<pid_t>{});
}

TEST(BoardLock, ASuiteWaitingForTheLockSaysSoAndNamesTheHolder) {
  Sandbox sandbox;
  auto fd = hold_lock_name(sandbox.lock_name(0));
  ASSERT_TRUE(fd);
  const std::uint64_t started = monotonic_ns();
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.local_h2d_and_d2h_round_trip_works"},
                                    sandbox.environment());
  const std::string line = "waiting for the device lock @" + sandbox.lock_name(0) + " (held by pid " +
                           std::to_string(getpid()) + ")\n";
  EXPECT_TRUE(says(sandbox, suite, "waiting for"));
  // The suite started waiting after `started`: a line seen sooner than a
  // second after that came too early (a slow machine only makes it later).
  EXPECT_GE(monotonic_ns() - started, 1'000'000'000u) << "said so before a second had passed";
  fd.reset();
  const SuiteRun run = sandbox.finish(suite);
  EXPECT_NE(run.output.find(line), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("waiting for", run.output.find("waiting for") + 1), std::string::npos)
      << "said it more than once";
  EXPECT_TRUE(run.result("local_h2d_and_d2h_round_trip_works").passed) << run.output;
}

// =============================================================================
// A bound on the wait: KIVU_TEST_LOCK_TIMEOUT

TEST(LockTimeout, ACaseGivesUpOnABoardHeldPastTheTimeoutNamingItsHolder) {
  Sandbox sandbox;
  auto zero = hold_lock_name(sandbox.lock_name(0));
  auto one = hold_lock_name(sandbox.lock_name(1));
  ASSERT_TRUE(zero);
  ASSERT_TRUE(one);
  const std::string held_by = " (held by pid " + std::to_string(getpid()) + ")";
  auto env = sandbox.environment();
  env.push_back("KIVU_TEST_LOCK_TIMEOUT=1");
  const std::uint64_t started = monotonic_ns();
  const SuiteRun one_board = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
  EXPECT_GE(monotonic_ns() - started, 1'000'000'000u) << "gave up before the timeout";
  env.back() = "KIVU_TEST_LOCK_TIMEOUT=0";
  env.push_back("KIVU_SIM_BOARDS=2");
  env.push_back("KIVU_TEST_BOARD=any");
  const SuiteRun any_board = sandbox.run("all_tile_reduction_works", env);
  zero.reset();
  one.reset();

  EXPECT_EQ(
      one_board.failure("local_h2d_and_d2h_round_trip_works"),
      "gave up after 1 s (KIVU_TEST_LOCK_TIMEOUT) waiting for the device lock @" + sandbox.lock_name(0) + held_by);
  EXPECT_EQ(any_board.failure("all_tile_reduction_works"),
            "gave up after 0 s (KIVU_TEST_LOCK_TIMEOUT) waiting for the device lock of any board: @" +
                sandbox.lock_name(0) + held_by + ", @" + sandbox.lock_name(1) + held_by);
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
}

TEST(LockTimeout, ABoardLetGoWithinTheTimeoutIsTakenAndTheLongestTimeoutIsAccepted) {
  Sandbox sandbox;
  auto zero = hold_lock_name(sandbox.lock_name(0));
  ASSERT_TRUE(zero);
  auto env = sandbox.environment();
  env.push_back("KIVU_TEST_LOCK_TIMEOUT=600");
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.local_h2d_and_d2h_round_trip_works"}, env);
  EXPECT_TRUE(says(sandbox, suite, "waiting for the device lock")) << sandbox.output(suite);
  zero.reset();
  const SuiteRun waited = sandbox.finish(suite);
  EXPECT_TRUE(waited.result("local_h2d_and_d2h_round_trip_works").passed) << waited.output;

  for (const char* value : {"KIVU_TEST_LOCK_TIMEOUT=604800", "KIVU_TEST_LOCK_TIMEOUT=", "KIVU_TEST_LOCK_TIMEOUT=0"}) {
    env.back() = value;
    const SuiteRun run = sandbox.run("all_tile_reduction_works", env);
    EXPECT_TRUE(run.result("all_tile_reduction_works").passed) << value << "\n" << run.output;
  }
  EXPECT_EQ(read_invocations(sandbox.logs()).size(), 4u);
}

TEST(LockTimeout, AnUnreadableTimeoutFailsTheCaseQuotingItAndStartsNoRunner) {
  Sandbox sandbox;
  for (const char* value : {"604801", "x", "-1", "1.5", " 1", "1s", "0x10", "99999999999999999999999"}) {
    auto env = sandbox.environment();
    env.push_back("KIVU_TEST_LOCK_TIMEOUT=" + std::string(value));
    const SuiteRun run = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
    EXPECT_EQ(run.failure("local_h2d_and_d2h_round_trip_works"),
              "invalid KIVU_TEST_LOCK_TIMEOUT value \"" + std::string(value) +
                  "\": expected a number of seconds from 0 to 604800");
  }
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
}

// =============================================================================
// Boards

TEST(Boards, ACaseRunsOnTheBoardCtestAllocatedBeforeKivuTestBoard) {
  Sandbox sandbox;
  auto env = sandbox.environment();
  env.push_back("KIVU_SIM_BOARDS=4");
  env.push_back("KIVU_TEST_BOARD=2");
  // What ctest with a resource file sets for a test that asks for nothing.
  env.push_back("CTEST_RESOURCE_GROUP_COUNT=0");
  const SuiteRun on_two = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
  env.back() = "CTEST_RESOURCE_GROUP_COUNT=1";
  env.push_back("CTEST_RESOURCE_GROUP_0=boards");
  env.push_back("CTEST_RESOURCE_GROUP_0_BOARDS=id:3,slots:1");
  const SuiteRun on_three = sandbox.run("all_tile_reduction_works", env);
  // An allocation comes before "any" too, even when its board is busy.
  env[env.size() - 4] = "KIVU_TEST_BOARD=any";
  auto three = hold_lock_name(sandbox.lock_name(3));
  const pid_t waiting = sandbox.start({"--gtest_filter=hardware_e2e.direct_multicast_works"}, env);
  EXPECT_TRUE(says(sandbox, waiting, "waiting for the device lock @" + sandbox.lock_name(3) + " ("))
      << sandbox.output(waiting);
  EXPECT_TRUE(read_invocations(sandbox.logs()).size() == 2u) << "a runner started off the allocated board";
  three.reset();
  const SuiteRun still_three = sandbox.finish(waiting);

  EXPECT_TRUE(on_two.result("local_h2d_and_d2h_round_trip_works").passed) << on_two.output;
  EXPECT_TRUE(on_three.result("all_tile_reduction_works").passed) << on_three.output;
  EXPECT_TRUE(still_three.result("direct_multicast_works").passed) << still_three.output;
  EXPECT_NE(on_two.output.find("\nlocal_h2d_and_d2h_round_trip_works on board 2\n"), std::string::npos);
  EXPECT_NE(on_three.output.find("\nall_tile_reduction_works on board 3\n"), std::string::npos);
  EXPECT_NE(still_three.output.find("\ndirect_multicast_works on board 3\n"), std::string::npos);
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 3u);
  // KIVU_BOARD comes last, after the case's own variables.
  EXPECT_EQ(invocations[0].env.back(), "KIVU_BOARD=2");
  EXPECT_EQ(invocations[1].env.back(), "KIVU_BOARD=3");
  EXPECT_EQ(invocations[2].env.back(), "KIVU_BOARD=3");
}

TEST(Boards, EmptyBoardVariablesCountAsUnset) {
  Sandbox sandbox;
  const std::vector<std::vector<std::string>> tries = {
      {"KIVU_TEST_BOARD="},
      {"CTEST_RESOURCE_GROUP_COUNT=", "KIVU_TEST_BOARD=1"},
      {"CTEST_RESOURCE_GROUP_COUNT=1", "CTEST_RESOURCE_GROUP_0_BOARDS="},
      {"KIVU_SIM_BOARDS=", "KIVU_TEST_BOARD=0"},
  };
  for (const auto& settings : tries) {
    SCOPED_TRACE(settings.front());
    auto env = sandbox.environment();
    if (settings.front() != "KIVU_SIM_BOARDS=") env.push_back("KIVU_SIM_BOARDS=2");
    env.insert(env.end(), settings.begin(), settings.end());
    const SuiteRun run = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
    if (settings.front() == "CTEST_RESOURCE_GROUP_COUNT=1") {
      // A count above 0 with an empty allocation: no board was allocated.
      EXPECT_NE(run.failure("local_h2d_and_d2h_round_trip_works").find("CTEST_RESOURCE_GROUP_0_BOARDS is unset"),
                std::string::npos)
          << run.output;
      continue;
    }
    EXPECT_TRUE(run.result("local_h2d_and_d2h_round_trip_works").passed) << run.output;
    const bool on_one = settings.back() == "KIVU_TEST_BOARD=1";
    EXPECT_EQ(run.output.find("on board") != std::string::npos, on_one) << run.output;
  }
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 3u);
  EXPECT_EQ(invocations[0].variable("KIVU_BOARD"), std::nullopt);
  EXPECT_EQ(invocations[1].variable("KIVU_BOARD"), "1");
  EXPECT_EQ(invocations[2].variable("KIVU_BOARD"), std::nullopt);
}

TEST(Boards, AnUnreadableBoardFailsTheCaseQuotingItAndStartsNoRunner) {
  Sandbox sandbox;
  const std::vector<std::pair<std::vector<std::string>, std::string>> tries = {
      {{"KIVU_TEST_BOARD=two"}, "invalid KIVU_TEST_BOARD value \"two\""},
      {{"KIVU_TEST_BOARD=Any"}, "invalid KIVU_TEST_BOARD value \"Any\""},
      {{"CTEST_RESOURCE_GROUP_COUNT=1", "CTEST_RESOURCE_GROUP_0_BOARDS=id:-1,slots:1"},
       "invalid CTEST_RESOURCE_GROUP_0_BOARDS value \"id:-1,slots:1\""},
      {{"CTEST_RESOURCE_GROUP_COUNT=1"}, "CTEST_RESOURCE_GROUP_0_BOARDS is unset"},
      {{"KIVU_SIM_BOARDS=65", "KIVU_TEST_BOARD=any"}, "invalid KIVU_SIM_BOARDS value \"65\""},
  };
  for (const auto& [settings, quoted] : tries) {
    auto env = sandbox.environment();
    env.insert(env.end(), settings.begin(), settings.end());
    const SuiteRun run = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
    const std::string failure = run.failure("local_h2d_and_d2h_round_trip_works");
    EXPECT_TRUE(failure.starts_with("cannot choose the board: ")) << failure;
    EXPECT_NE(failure.find(quoted), std::string::npos) << failure;
  }
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
}

TEST(Boards, ABoardTheHostLacksFailsTheCaseInOneLineBeforeTakingAnyLock) {
  Sandbox sandbox;
  // Were the suite to reach for these boards' locks it would wait for them.
  auto lacking = hold_lock_name(sandbox.lock_name(65535));
  auto four = hold_lock_name(sandbox.lock_name(4));
  const std::vector<std::pair<std::vector<std::string>, std::string>> tries = {
      {{"CTEST_RESOURCE_GROUP_COUNT=1", "CTEST_RESOURCE_GROUP_0_BOARDS=id:65535,slots:1"},
       "board 65535 (CTEST_RESOURCE_GROUP_0_BOARDS is \"id:65535,slots:1\") is not a board of this host: its "
       "boards are 0 to 3 (KIVU_SIM_BOARDS is 4)"},
      {{"KIVU_TEST_BOARD=4"},
       "board 4 (KIVU_TEST_BOARD) is not a board of this host: its boards are 0 to 3 "
       "(KIVU_SIM_BOARDS is 4)"},
      {{"KIVU_TEST_BOARD=99999999999"}, "invalid KIVU_TEST_BOARD value \"99999999999\""},
  };
  for (const auto& [settings, message] : tries) {
    SCOPED_TRACE(settings.back());
    auto env = sandbox.environment();
    env.push_back("KIVU_SIM_BOARDS=4");
    // A suite that reached for a held lock would give up at once, and say so.
    env.push_back("KIVU_TEST_LOCK_TIMEOUT=0");
    env.insert(env.end(), settings.begin(), settings.end());
    const SuiteRun run = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
    const std::string failure = run.failure("local_h2d_and_d2h_round_trip_works");
    EXPECT_TRUE(failure.starts_with("cannot choose the board: ")) << failure;
    EXPECT_NE(failure.find(message), std::string::npos) << failure;
    EXPECT_EQ(failure.find('\n'), std::string::npos) << failure;
    EXPECT_EQ(run.output.find("waiting for"), std::string::npos) << run.output;
  }
  lacking.reset();
  four.reset();
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
}

// =============================================================================
// Any free board

TEST(AnyBoard, TakesTheFirstFreeBoardOfTheHostAndNamesItBoardZeroIncluded) {
  Sandbox sandbox;
  auto env = sandbox.environment();
  env.push_back("KIVU_SIM_BOARDS=3");
  env.push_back("KIVU_TEST_BOARD=any");
  env.push_back("KIVU_BOARD=2");  // inherited: held back on board 0, replaced elsewhere
  const SuiteRun free = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
  auto zero = hold_lock_name(sandbox.lock_name(0));
  ASSERT_TRUE(zero);
  const SuiteRun second = sandbox.run("remote_tile_h2d_and_d2h_work", env);
  zero.reset();

  EXPECT_TRUE(free.result("local_h2d_and_d2h_round_trip_works").passed) << free.output;
  EXPECT_TRUE(second.result("remote_tile_h2d_and_d2h_work").passed) << second.output;
  EXPECT_NE(free.output.find("\nlocal_h2d_and_d2h_round_trip_works on board 0\n"), std::string::npos) << free.output;
  EXPECT_NE(second.output.find("\nremote_tile_h2d_and_d2h_work on board 1\n"), std::string::npos) << second.output;
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 2u);
  // As under a CTest allocation.
  EXPECT_EQ(invocations[0].variable("KIVU_BOARD"), std::nullopt);
  EXPECT_EQ(invocations[1].env.back(), "KIVU_BOARD=1");
}

TEST(AnyBoard, ASuitesCasesTakeTheFreeBoardsInTurn) {
  // Five cases one after the other on four free boards: each starts after
  // the board the case before took, so every board runs its share.
  Sandbox sandbox;
  auto env = sandbox.environment();
  env.push_back("KIVU_SIM_BOARDS=4");
  env.push_back("KIVU_TEST_BOARD=any");
  const SuiteRun run = sandbox.run(
      "all_tile_reduction_works:direct_multicast_works:local_h2d_and_d2h_round_trip_works:"
      "remote_tile_h2d_and_d2h_work:initialized_local_tile_d2h_works",
      env);
  EXPECT_TRUE(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0) << run.output;
  std::vector<std::string> boards;
  for (const auto& invocation : read_invocations(sandbox.logs()))
    boards.push_back(invocation.variable("KIVU_BOARD").value_or("0"));
  EXPECT_EQ(boards, (std::vector<std::string>{"0", "1", "2", "3", "0"})) << run.output;
}

TEST(AnyBoard, WaitsAloudWhileEveryBoardIsBusyAndTakesTheFirstThatComesFree) {
  Sandbox sandbox;
  auto zero = hold_lock_name(sandbox.lock_name(0));
  auto one = hold_lock_name(sandbox.lock_name(1));
  ASSERT_TRUE(zero);
  ASSERT_TRUE(one);
  auto env = sandbox.environment();
  env.push_back("KIVU_SIM_BOARDS=2");
  env.push_back("KIVU_TEST_BOARD=any");
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.direct_multicast_works"}, env);
  const std::string pid = std::to_string(getpid());
  const std::string line = "waiting for the device lock of any board: @" + sandbox.lock_name(0) + " (held by pid " +
                           pid + "), @" + sandbox.lock_name(1) + " (held by pid " + pid + ")\n";
  EXPECT_TRUE(says(sandbox, suite, line)) << sandbox.output(suite);
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty()) << "a runner started while every board was busy";
  one.reset();
  const SuiteRun run = sandbox.finish(suite);
  zero.reset();
  EXPECT_NE(run.output.find(line), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("\ndirect_multicast_works on board 1\n"), std::string::npos) << run.output;
  EXPECT_TRUE(run.result("direct_multicast_works").passed) << run.output;
}

TEST(AnyBoard, SuitesTakingAnyBoardNeverShareOne) {
  // Three suites on two boards: every board busy at times, so suites also
  // wait for whichever comes free first. The first runner waits for a
  // second to start, which can only be on the other board: both are used.
  Sandbox sandbox;
  sandbox.all_pass("await 2 sleep 60");
  auto env = sandbox.environment();
  env.push_back("KIVU_SIM_BOARDS=2");
  env.push_back("KIVU_TEST_BOARD=any");
  const std::string filter =
      "--gtest_filter=hardware_e2e.all_tile_*:hardware_e2e.direct_multicast_works:hardware_e2e.initialized_*:"
      "hardware_e2e.remote_tile_h2d_and_d2h_work";
  std::vector<pid_t> suites;
  for (int i = 0; i < 3; ++i) suites.push_back(sandbox.start({filter}, env));
  for (const pid_t pid : suites) {
    const SuiteRun run = sandbox.finish(pid);
    EXPECT_TRUE(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0) << run.output;
  }
  const auto invocations = read_invocations(sandbox.logs());
  EXPECT_GE(invocations.size(), 3u * 7u);  // seven cases, some with several runs
  std::map<std::string, std::vector<Invocation>> by_board;
  for (const auto& invocation : invocations) {
    by_board[invocation.variable("KIVU_BOARD").value_or("0")].push_back(invocation);
    EXPECT_LE(invocation.alive.size(), 1u) << "more runners than boards";
  }
  EXPECT_EQ(by_board.size(), 2u);
  for (const auto& [board, on_board] : by_board) {
    SCOPED_TRACE("board " + board);
    expect_one_at_a_time(on_board);
  }
}

TEST(Boards, FourBoardsUnderCtestRunEveryCaseAndNeverTwoRunnersOnOneBoard) {
  // The first four runners wait for each other: CTest runs four cases at a
  // time, on its four boards, so every board is used.
  Sandbox sandbox;
  sandbox.all_pass("await 4 sleep 100");
  const fs::path boards = sandbox.root() / "boards.json";
  write_file(boards,
             R"({"version": {"major": 1, "minor": 0}, "local": [{"boards": [)"
             R"({"id": "0", "slots": 1}, {"id": "1", "slots": 1}, {"id": "2", "slots": 1}, {"id": "3", "slots": 1})"
             "]}]}\n");
  expect_ctest_passes(sandbox, split(CTEST_CASE_NAMES, ','), "RESOURCE_GROUPS boards:1",
                      {"-j", "8", "--resource-spec-file", boards.string()}, {"KIVU_SIM_BOARDS=4"});

  const auto invocations = read_invocations(sandbox.logs());
  EXPECT_EQ(invocations.size(), 24u);
  std::map<std::string, std::vector<Invocation>> by_board;
  for (const auto& invocation : invocations) {
    // The board CTest allocated reaches the runner too; KIVU_BOARD must agree.
    const auto allocation = invocation.variable("CTEST_RESOURCE_GROUP_0_BOARDS");
    ASSERT_TRUE(allocation.has_value()) << invocation.runner << " ran outside the allocation";
    const std::string board = allocation->substr(3, allocation->find(',') - 3);
    EXPECT_EQ(invocation.variable("KIVU_BOARD"), board == "0" ? std::nullopt : std::optional(board));
    by_board[board].push_back(invocation);
  }
  EXPECT_EQ(by_board.size(), 4u) << "the cases did not use every board";
  for (const auto& [board, on_board] : by_board) {
    SCOPED_TRACE("board " + board);
    expect_one_at_a_time(on_board);
  }
}

// =============================================================================
// Runner lifetime

TEST(RunnerLifetime, AKilledSuiteLeavesNoRunnerBehind) {
  // Orphans of this process's children come back to it, so the test can see
  // how the runner ended.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct SubreaperOff {
    ~SubreaperOff() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } subreaper_off;
  Sandbox sandbox;
  sandbox.control("* * sleep 60000\n");
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.all_tile_reduction_works"}, sandbox.environment());

  std::vector<Invocation> invocations;
  ASSERT_TRUE(eventually([&] {
    invocations = read_invocations(sandbox.logs());
    return !invocations.empty();
  })) << "the runner did not start";
  ASSERT_EQ(invocations.size(), 1u);
  const pid_t runner = invocations[0].pid;

  kill(suite, SIGKILL);
  (void)sandbox.finish(suite);

  int status = 0;
  pid_t reaped = 0;
  (void)eventually([&] {
    reaped = waitpid(runner, &status, WNOHANG);
    return reaped != 0;
  });
  if (reaped == 0) {
    kill(runner, SIGKILL);
    waitpid(runner, &status, 0);
  }
  ASSERT_EQ(reaped, runner) << "the runner outlived the suite by a minute";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(RunnerLifetime, ASuiteKilledMidRunHoldsTheBoardUntilItsRunnerHasExited) {
  // The killed suite's runner dies only once the kernel has told it of its
  // parent's death, and takes a while to tear down its memory; the next
  // suite, already waiting for the lock, must not start its runner before
  // it has gone. A race, so several rounds.
  Sandbox sandbox;
  sandbox.control("* KIVU_SELFTEST_ROLE=first touch 128 note touched sleep 60000\n");
  const std::string filter = "--gtest_filter=hardware_e2e.all_tile_reduction_works";
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto first_env = sandbox.environment();
    first_env.push_back("KIVU_SELFTEST_ROLE=first");
    const std::size_t logged = read_invocations(sandbox.logs()).size();
    const pid_t first = sandbox.start({filter}, first_env);
    // The first runner has touched its memory, so it takes a while to go.
    ASSERT_TRUE(eventually([&] {
      const auto invocations = read_invocations(sandbox.logs());
      return invocations.size() == logged + 1 && invocations.back().notes == std::vector<std::string>{"touched"};
    })) << "the first runner did not start";

    const pid_t second = sandbox.start({filter}, sandbox.environment());
    ASSERT_TRUE(says(sandbox, second, "waiting for the device lock")) << sandbox.output(second);
    kill(first, SIGKILL);
    (void)sandbox.finish(first);
    const SuiteRun run = sandbox.finish(second);
    ASSERT_TRUE(run.result("all_tile_reduction_works").passed) << run.output;
    const auto invocations = read_invocations(sandbox.logs());
    ASSERT_EQ(invocations.size(), logged + 2);
    EXPECT_EQ(invocations.back().alive, std::vector<pid_t>{})
        << "the second runner started while the killed suite's runner still ran";
  }
}

}  // namespace
}  // namespace kivu_e2e::testing
