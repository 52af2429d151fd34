// One runner at a time across the host: suite processes started together,
// suites run as parallel CTest jobs, and the real lock file; the lock file's
// own handling; and no runner outliving a killed suite.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
          << invocations[i].runner << " (pid " << invocations[i].pid << ") still ran when "
          << invocations[i + 1].runner << " (pid " << invocations[i + 1].pid << ") started";
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

// =============================================================================
// Across processes

TEST(Exclusivity, ThreeSuitesStartedTogetherNeverRunTwoRunnersAtOnce) {
  Sandbox sandbox;
  write_profile(passing_profile(), sandbox.root() / "passing.capnp");
  sandbox.control("kivu-gemm-e2e * copy " + (sandbox.root() / "passing.capnp").string() +
                  " sleep 3\n"
                  "* * sleep 3\n");
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
      "all_tile_permutation_works",       "all_tile_reduction_works",
      "direct_multicast_works",           "remote_tile_h2d_and_d2h_work",
      "local_h2d_and_d2h_round_trip_works", "flash_attention_matches_host_softmax_across_encoder_shapes",
  };
  // The jobs carry no RESOURCE_LOCK: only the suite's own lock keeps them apart.
  std::string environment;
  for (const auto& entry : sandbox.environment()) environment += (environment.empty() ? "" : ";") + entry;
  std::string testfile;
  for (const auto& name : cases) {
    testfile += "add_test(" + name + " \"" + suite_on_stand_ins() + "\" \"--gtest_filter=hardware_e2e." + name + "\")\n";
    testfile += "set_tests_properties(" + name + " PROPERTIES ENVIRONMENT \"" + environment +
                "\" WORKING_DIRECTORY \"" + sandbox.work().string() + "\")\n";
  }
  const fs::path project = sandbox.root() / "ctest";
  fs::create_directory(project);
  write_file(project / "CTestTestfile.cmake", testfile);

  const fs::path output = sandbox.root() / "ctest-output.txt";
  const pid_t ctest = spawn({CTEST_COMMAND, "--test-dir", project.string(), "-j", std::to_string(cases.size())},
                            {"PATH=/usr/bin:/bin"}, project, output);
  const int status = wait_status_of(ctest);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(output);
  const auto invocations = read_invocations(sandbox.logs());
  EXPECT_EQ(invocations.size(), cases.size());
  expect_one_at_a_time(invocations);
}

TEST(RealLockFile, HoldsTheSuiteBackWhileAnotherProcessHoldsIt) {
  Sandbox sandbox;
  const char* path = "/tmp/kivu-device.lock";
  int fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) fchmod(fd, 0666);
  else fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);

  // Without the self-test redirection the suite uses the host's lock file.
  const pid_t suite =
      sandbox.start({"--gtest_filter=hardware_e2e.remote_tile_h2d_and_d2h_work"},
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
  struct stat info{};
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
  const std::string message =
      "open device lock file " + sandbox.lock().string() + ": Too many levels of symbolic links (os error 40)";
  EXPECT_EQ(run.failure("local_h2d_and_d2h_round_trip_works"), message);
  EXPECT_EQ(run.failure("remote_tile_h2d_and_d2h_work"), message);
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
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

}  // namespace
}  // namespace selftest
