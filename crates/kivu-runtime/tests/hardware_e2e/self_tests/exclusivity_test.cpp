// One runner at a time on each board across the host: suite processes
// started together, suites run as parallel CTest jobs on one board and on
// four, and the real lock file; the lock file's own handling and the choice
// of board; no runner outliving a killed suite, and no runner starting while
// a killed suite's runner still runs.
#include <fcntl.h>
#include <sys/file.h>
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

namespace selftest {
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
                         const std::vector<std::string>& arguments) {
  std::string environment;
  for (const auto& entry : sandbox.environment()) environment += (environment.empty() ? "" : ";") + entry;
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

TEST(RealLockFile, HoldsTheSuiteBackWhileAnotherProcessHoldsIt) {
  Sandbox sandbox;
  const char* path = "/tmp/kivu-device.lock";
  int fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0)
    fchmod(fd, 0666);
  else
    fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);

  // Without the self-test redirection the suite uses the host's lock file.
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.remote_tile_h2d_and_d2h_work"},
                                    without(sandbox.environment(), "KIVU_SELFTEST_DEVICE_LOCK="));
  std::this_thread::sleep_for(300ms);
  int ignored = 0;
  EXPECT_EQ(waitpid(suite, &ignored, WNOHANG), 0) << "the suite did not wait for the lock";
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty()) << "a runner started while the lock was held";

  const std::uint64_t released = monotonic_ns();
  flock(fd, LOCK_UN);
  close(fd);
  const SuiteRun run = sandbox.finish(suite);
  EXPECT_TRUE(run.result("remote_tile_h2d_and_d2h_work").passed) << run.output;
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 1u);
  EXPECT_GT(invocations[0].start, released);
}

// =============================================================================
// The lock file

TEST(DeviceLockFile, IsCreatedReadableAndWritableByEveryUser) {
  Sandbox sandbox;
  const SuiteRun run = sandbox.run("local_h2d_and_d2h_round_trip_works");
  EXPECT_TRUE(run.result("local_h2d_and_d2h_round_trip_works").passed) << run.output;
  struct stat info {};
  ASSERT_EQ(lstat(sandbox.lock().c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);
}

TEST(DeviceLockFile, AnExistingReadOnlyFileIsUsedAsItIs) {
  Sandbox sandbox;
  write_file(sandbox.lock(), "");
  fs::permissions(sandbox.lock(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const SuiteRun run = sandbox.run("local_h2d_and_d2h_round_trip_works");
  EXPECT_TRUE(run.result("local_h2d_and_d2h_round_trip_works").passed) << run.output;
  EXPECT_EQ(fs::status(sandbox.lock()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST(DeviceLockFile, ASymbolicLinkIsRefusedAndNoRunnerStarts) {
  Sandbox sandbox;
  write_file(sandbox.root() / "elsewhere", "");
  fs::create_symlink(sandbox.root() / "elsewhere", sandbox.lock());
  const SuiteRun run = sandbox.run("local_h2d_and_d2h_round_trip_works:remote_tile_h2d_and_d2h_work");
  const std::string message = "open device lock file " + sandbox.lock().string() +
                              ": Too many levels of symbolic links (os error 40)";
  EXPECT_EQ(run.failure("local_h2d_and_d2h_round_trip_works"), message);
  EXPECT_EQ(run.failure("remote_tile_h2d_and_d2h_work"), message);
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
}

TEST(DeviceLockFile, AFifoAtTheLockPathFailsTheCaseWithoutWaiting) {
  Sandbox sandbox;
  ASSERT_EQ(mkfifo(sandbox.lock().c_str(), 0666), 0);
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.local_h2d_and_d2h_round_trip_works"},
                                    sandbox.environment());
  // Up to 10 s for the suite to end, without collecting it yet.
  for (int i = 0; i < 1000; ++i) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(suite), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == suite) break;
    std::this_thread::sleep_for(10ms);
  }
  kill(suite, SIGKILL);  // no effect on a suite that has ended
  const SuiteRun run = sandbox.finish(suite);
  ASSERT_FALSE(WIFSIGNALED(run.wait_status)) << "the suite hung on the FIFO";
  EXPECT_EQ(run.failure("local_h2d_and_d2h_round_trip_works"),
            "open device lock file " + sandbox.lock().string() + ": not a regular file");
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
}

TEST(DeviceLockFile, ASuiteWaitingForTheLockSaysSoAndNamesTheHolder) {
  Sandbox sandbox;
  write_file(sandbox.lock(), "");
  const int fd = open(sandbox.lock().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const pid_t suite = sandbox.start({"--gtest_filter=hardware_e2e.local_h2d_and_d2h_round_trip_works"},
                                    sandbox.environment());
  const std::string line = "waiting for the device lock " + sandbox.lock().string() + " (held by pid " +
                           std::to_string(getpid()) + ")\n";
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(sandbox.output(suite).find("waiting for"), std::string::npos) << "said so before a second had passed";
  for (int i = 0; i < 300 && sandbox.output(suite).find(line) == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  flock(fd, LOCK_UN);
  close(fd);
  const SuiteRun run = sandbox.finish(suite);
  EXPECT_NE(run.output.find(line), std::string::npos) << run.output;
  EXPECT_TRUE(run.result("local_h2d_and_d2h_round_trip_works").passed) << run.output;
}

// =============================================================================
// Boards

TEST(Boards, ACaseRunsOnTheBoardCtestAllocatedBeforeKivuTestBoard) {
  Sandbox sandbox;
  auto env = sandbox.environment();
  env.push_back("KIVU_TEST_BOARD=2");
  // What ctest with a resource file sets for a test that asks for nothing.
  env.push_back("CTEST_RESOURCE_GROUP_COUNT=0");
  const SuiteRun on_two = sandbox.run("local_h2d_and_d2h_round_trip_works", env);
  env.back() = "CTEST_RESOURCE_GROUP_COUNT=1";
  env.push_back("CTEST_RESOURCE_GROUP_0=boards");
  env.push_back("CTEST_RESOURCE_GROUP_0_BOARDS=id:3,slots:1");
  const SuiteRun on_three = sandbox.run("all_tile_reduction_works", env);

  EXPECT_TRUE(on_two.result("local_h2d_and_d2h_round_trip_works").passed) << on_two.output;
  EXPECT_TRUE(on_three.result("all_tile_reduction_works").passed) << on_three.output;
  EXPECT_NE(on_two.output.find("\nlocal_h2d_and_d2h_round_trip_works on board 2\n"), std::string::npos);
  EXPECT_NE(on_three.output.find("\nall_tile_reduction_works on board 3\n"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(sandbox.root() / "lock-2"));
  EXPECT_TRUE(fs::is_regular_file(sandbox.root() / "lock-3"));
  EXPECT_FALSE(fs::exists(sandbox.lock()));
  const auto invocations = read_invocations(sandbox.logs());
  ASSERT_EQ(invocations.size(), 2u);
  // KIVU_BOARD comes last, after the case's own variables.
  EXPECT_EQ(invocations[0].env.back(), "KIVU_BOARD=2");
  EXPECT_EQ(invocations[1].env.back(), "KIVU_BOARD=3");
}

TEST(Boards, AnUnreadableBoardFailsTheCaseQuotingItAndStartsNoRunner) {
  Sandbox sandbox;
  const std::vector<std::pair<std::vector<std::string>, std::string>> tries = {
      {{"KIVU_TEST_BOARD=two"}, "invalid KIVU_TEST_BOARD value \"two\""},
      {{"KIVU_TEST_BOARD="}, "invalid KIVU_TEST_BOARD value \"\""},
      {{"CTEST_RESOURCE_GROUP_COUNT=1", "CTEST_RESOURCE_GROUP_0_BOARDS=id:-1,slots:1"},
       "invalid CTEST_RESOURCE_GROUP_0_BOARDS value \"id:-1,slots:1\""},
      {{"CTEST_RESOURCE_GROUP_COUNT=1"}, "CTEST_RESOURCE_GROUP_0_BOARDS is unset"},
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

TEST(Boards, FourBoardsUnderCtestRunEveryCaseAndNeverTwoRunnersOnOneBoard) {
  Sandbox sandbox;
  sandbox.all_pass("sleep 100");
  const fs::path boards = sandbox.root() / "boards.json";
  write_file(boards,
             R"({"version": {"major": 1, "minor": 0}, "local": [{"boards": [)"
             R"({"id": "0", "slots": 1}, {"id": "1", "slots": 1}, {"id": "2", "slots": 1}, {"id": "3", "slots": 1})"
             "]}]}\n");
  expect_ctest_passes(sandbox, split(CTEST_CASE_NAMES, ','), "RESOURCE_GROUPS boards:1",
                      {"-j", "8", "--resource-spec-file", boards.string()});

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
  EXPECT_GE(by_board.size(), 3u) << "the cases used fewer than three of the four boards";
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
  for (int i = 0; i < 500 && invocations.empty(); ++i) {
    std::this_thread::sleep_for(10ms);
    invocations = read_invocations(sandbox.logs());
  }
  ASSERT_EQ(invocations.size(), 1u) << "the runner did not start";
  const pid_t runner = invocations[0].pid;

  kill(suite, SIGKILL);
  (void)sandbox.finish(suite);

  int status = 0;
  pid_t reaped = 0;
  for (int i = 0; i < 500 && reaped == 0; ++i) {
    reaped = waitpid(runner, &status, WNOHANG);
    if (reaped == 0) std::this_thread::sleep_for(10ms);
  }
  if (reaped == 0) {
    kill(runner, SIGKILL);
    waitpid(runner, &status, 0);
  }
  ASSERT_EQ(reaped, runner) << "the runner outlived the suite by 5 s";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(RunnerLifetime, ASuiteKilledMidRunHoldsTheBoardUntilItsRunnerHasExited) {
  // The killed suite's runner dies only once the kernel has told it of its
  // parent's death, and takes a while to tear down its memory; the next
  // suite, already waiting for the lock, must not start its runner before
  // it has gone. A race, so several rounds.
  Sandbox sandbox;
  sandbox.control("* KIVU_SELFTEST_ROLE=first touch 128 sleep 60000\n");
  const std::string filter = "--gtest_filter=hardware_e2e.all_tile_reduction_works";
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto first_env = sandbox.environment();
    first_env.push_back("KIVU_SELFTEST_ROLE=first");
    const std::size_t logged = read_invocations(sandbox.logs()).size();
    const pid_t first = sandbox.start({filter}, first_env);
    for (int i = 0; i < 500 && read_invocations(sandbox.logs()).size() == logged; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(read_invocations(sandbox.logs()).size(), logged + 1) << "the first runner did not start";
    std::this_thread::sleep_for(100ms);  // time to touch its memory

    const pid_t second = sandbox.start({filter}, sandbox.environment());
    std::this_thread::sleep_for(50ms);  // time to block on the lock
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
}  // namespace selftest
