// The blocked GEMM case: where it tells its runner to put the profile (a
// private folder that another user cannot reach into), how it judges the
// profile, and when the file is removed or left behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"

namespace kivu_e2e::testing {
namespace {

using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;

const std::string gemm_case = "blocked_gemm_with_cycle_profile_works";
const std::string unwrap = "called `Result::unwrap()` on an `Err` value: ";

std::string any_kind_assertion(const std::string& kind) {
  return "assertion failed: profile.tiles.iter().any(|tile|\n"
         "        {\n"
         "            tile.samples.iter().any(|sample|\n"
         "                    sample.step.kind == kivu_package::ProfileStepKind::" +
         kind +
         ")\n"
         "        })";
}

// Every sample of kind `from` becomes `to`.
void replace_kind(ProfileReport& report, ProfileStepKind from, ProfileStepKind to) {
  for (auto& tile : report.tiles) {
    for (auto& sample : tile.samples) {
      if (sample.step.kind == from) sample.step.kind = to;
    }
  }
}

class GemmProfile : public ::testing::Test {
protected:
  // Runs the GEMM case with `env`; its runner copies `profile` (when given)
  // to the path it is told, then exits with `exit_code`.
  SuiteRun run_gemm(const std::vector<std::string>& env, const std::string* profile = nullptr, int exit_code = 0) {
    std::string rule = "kivu-gemm-e2e *";
    if (profile != nullptr) {
      write_file(sandbox.root() / "crafted.capnp", *profile);
      rule += " copy " + (sandbox.root() / "crafted.capnp").string();
    }
    rule += " exit " + std::to_string(exit_code) + "\n";
    sandbox.control(rule);
    return sandbox.run(gemm_case, env);
  }
  SuiteRun run_gemm(const std::string& profile, int exit_code = 0) {
    return run_gemm(sandbox.environment(), &profile, exit_code);
  }

  static std::string encoded(const ProfileReport& report) {
    auto bytes = kivu_package::encode_profile(report);
    if (!bytes) throw std::runtime_error("cannot encode profile");
    return *bytes;
  }

  // The profile path the runner was told.
  std::string told_path() const {
    const auto invocations = read_invocations(sandbox.logs());
    if (invocations.size() != 1) return "<" + std::to_string(invocations.size()) + " invocations>";
    return invocations[0].variable("KIVU_PROFILE_OUTPUT").value_or("<unset>");
  }

  static std::string file_name(pid_t pid) { return "corvane-kit-gemm-profile-" + std::to_string(pid) + ".capnp"; }

  // The private folder of the told path: "kivu-gemm-profile." and six
  // characters of mkdtemp, directly in `directory` (given as the case joins
  // it); empty when the told path is not of that form, or names another file
  // than this run's.
  std::string told_folder(const SuiteRun& run, const std::string& directory) const {
    const std::string told = told_path();
    const std::string prefix = directory + "kivu-gemm-profile.";
    const std::string suffix = "/" + file_name(run.pid);
    if (told.size() != prefix.size() + 6 + suffix.size() || !told.starts_with(prefix) || !told.ends_with(suffix)) {
      ADD_FAILURE() << "told " << told << ", expected " << prefix << "XXXXXX" << suffix;
      return "";
    }
    return told.substr(0, told.size() - suffix.size());
  }

  std::vector<std::string> env_with_tmpdir(const std::optional<std::string>& tmpdir) const {
    std::vector<std::string> env;
    for (const auto& entry : sandbox.environment()) {
      if (!entry.starts_with("TMPDIR=")) env.push_back(entry);
    }
    if (tmpdir) env.push_back("TMPDIR=" + *tmpdir);
    return env;
  }

  Sandbox sandbox;
  const std::string passing = encoded(passing_profile());
};

// =============================================================================
// Where the profile goes

TEST_F(GemmProfile, TheProfileLiesInAPrivateFolderOfTmpdirAndBothAreRemovedAfterAPass) {
  const SuiteRun run = run_gemm(passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  EXPECT_NE(told_folder(run, sandbox.tmp().string() + "/"), "");
  EXPECT_TRUE(fs::is_empty(sandbox.tmp()));
}

TEST_F(GemmProfile, ATmpdirEndingInASlashGetsNoSecondSlash) {
  const SuiteRun run = run_gemm(env_with_tmpdir(sandbox.tmp().string() + "/"), &passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  EXPECT_NE(told_folder(run, sandbox.tmp().string() + "/"), "");
}

TEST_F(GemmProfile, WithoutTmpdirTheProfileLiesInSlashTmp) {
  const SuiteRun run = run_gemm(env_with_tmpdir(std::nullopt), &passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  const std::string folder = told_folder(run, "/tmp/");
  EXPECT_NE(folder, "");
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(GemmProfile, AnEmptyTmpdirNamesTheFolderInTheWorkingDirectory) {
  const SuiteRun run = run_gemm(env_with_tmpdir(""), &passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  EXPECT_NE(told_folder(run, ""), "");
  EXPECT_TRUE(fs::is_empty(sandbox.work()));
}

TEST_F(GemmProfile, AFolderThatCannotBeMadeFailsTheCaseInOneLineBeforeTheRunner) {
  const std::string missing = (sandbox.tmp() / "missing").string();
  const SuiteRun run = run_gemm(env_with_tmpdir(missing), &passing);
  EXPECT_EQ(run.failure(gemm_case), "cannot make a private folder for the GEMM profile from \"" + missing +
                                        "/kivu-gemm-profile.XXXXXX\": No such file or directory");
  EXPECT_TRUE(read_invocations(sandbox.logs()).empty());
}

// Another user who knows the suite's pid puts a FIFO at the name in a shared
// sticky folder before the case runs, as `mkfifo /tmp/...-$$.capnp; exec
// hardware_e2e` would. The runner never sees that path: the case passes, and
// the FIFO gets nothing (a writer would otherwise wait at its open, holding
// the board).
TEST_F(GemmProfile, AFifoThatAnotherUserPutAtTheNameNeitherHoldsTheRunnerNorGetsTheProfile) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv (util-linux) is missing";
  fs::permissions(sandbox.root(), fs::perms{0711});
  const fs::path shared = sandbox.root() / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms{01777});
  sandbox.launch_through({"/bin/sh", "-c",
                          "setpriv --reuid=65534 --regid=65534 --clear-groups mkfifo -m 0666 "
                          "\"$TMPDIR/corvane-kit-gemm-profile-$$.capnp\" && exec \"$@\"",
                          "sh"});
  const SuiteRun run = run_gemm(env_with_tmpdir(shared.string()), &passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  const fs::path fifo = shared / file_name(run.pid);
  EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
  EXPECT_NE(told_folder(run, shared.string() + "/"), "");
  EXPECT_EQ(kivu_testing::directory_entries(shared), std::vector<std::string>{file_name(run.pid)});
}

// A profile kept after a failed check lies in a folder only the suite's user
// can enter.
TEST_F(GemmProfile, AKeptProfileStaysInItsPrivateFolderAndTheSuiteSaysWhere) {
  ProfileReport report = passing_profile();
  report.clock_hz = 0;
  const std::string bytes = encoded(report);
  const SuiteRun run = run_gemm(bytes);
  EXPECT_EQ(run.failure(gemm_case), "assertion failed: profile.clock_hz > 0");
  const std::string folder = told_folder(run, sandbox.tmp().string() + "/");
  ASSERT_NE(folder, "");
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms{0700});
  EXPECT_EQ(read_file(told_path()), bytes);
  EXPECT_NE(run.output.find("blocked GEMM profile kept in " + folder + "\n"), std::string::npos) << run.output;
  if (::geteuid() == 0) {
    fs::permissions(sandbox.root(), fs::perms{0711});
    fs::permissions(sandbox.tmp(), fs::perms{01777});
    const auto opened = kivu_testing::run_unprivileged([&]() -> std::string {
      const int fd = ::open(told_path().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
      return fd >= 0 ? "opened" : std::strerror(errno);
    });
    if (opened) {
      EXPECT_EQ(*opened, std::strerror(EACCES));
    }
  }
}

// =============================================================================
// The seven checks

struct Check {
  std::string what;
  std::function<void(ProfileReport&)> spoil;
  std::string message;
};

TEST_F(GemmProfile, EachFailedCheckReportsItsAssertionAndKeepsTheProfile) {
  const std::vector<Check> checks = {
      {"1471 tiles", [](ProfileReport& r) { r.tiles.pop_back(); },
       "assertion `left == right` failed\n  left: 1471\n right: 1472"},
      {"1473 tiles and no clock: the count comes first",
       [](ProfileReport& r) {
         r.tiles.push_back(r.tiles.back());
         r.clock_hz = 0;
       },
       "assertion `left == right` failed\n  left: 1473\n right: 1472"},
      {"no clock", [](ProfileReport& r) { r.clock_hz = 0; }, "assertion failed: profile.clock_hz > 0"},
      {"one tile without samples", [](ProfileReport& r) { r.tiles[700].samples.clear(); },
       "assertion failed: profile.tiles.iter().all(|tile| !tile.samples.is_empty())"},
      {"no exchange", [](ProfileReport& r) { replace_kind(r, ProfileStepKind::Exchange, ProfileStepKind::Compute); },
       any_kind_assertion("Exchange")},
      {"no compute", [](ProfileReport& r) { replace_kind(r, ProfileStepKind::Compute, ProfileStepKind::Idle); },
       any_kind_assertion("Compute")},
      {"no synchronization",
       [](ProfileReport& r) { replace_kind(r, ProfileStepKind::Synchronization, ProfileStepKind::Compute); },
       "assertion failed: profile.tiles.iter().any(|tile|\n"
       "        {\n"
       "            tile.samples.iter().any(|sample|\n"
       "                    sample.step.kind ==\n"
       "                        kivu_package::ProfileStepKind::Synchronization)\n"
       "        })"},
      {"no idle", [](ProfileReport& r) { replace_kind(r, ProfileStepKind::Idle, ProfileStepKind::Compute); },
       any_kind_assertion("Idle")},
  };
  for (const Check& check : checks) {
    SCOPED_TRACE(check.what);
    fs::remove_all(sandbox.logs());
    fs::create_directory(sandbox.logs());
    ProfileReport report = passing_profile();
    check.spoil(report);
    const std::string bytes = encoded(report);
    const SuiteRun run = run_gemm(bytes);
    EXPECT_EQ(run.failure(gemm_case), check.message);
    const fs::path left = told_path();
    EXPECT_EQ(read_file(left), bytes);
    fs::remove_all(left.parent_path());
  }
}

// =============================================================================
// Files that cannot be read

TEST_F(GemmProfile, AProfileThatDoesNotDecodeFailsWithThePackageErrorAndStays) {
  // The schema version is the root struct's first word: after the segment
  // table (one word) and the root pointer (one word).
  std::string version_4 = passing;
  ASSERT_EQ(version_4[16], 3);
  version_4[16] = 4;
  SuiteRun run = run_gemm(version_4);
  EXPECT_EQ(run.failure(gemm_case), unwrap + "Invalid(\"unsupported profile schema version 4\")");
  EXPECT_EQ(read_file(told_path()), version_4);
  fs::remove_all(sandbox.logs());
  fs::create_directory(sandbox.logs());

  const std::string garbage = "this is not a profile";
  auto decoded = ProfileReport::read(std::istringstream(garbage));
  ASSERT_FALSE(decoded.has_value());
  run = run_gemm(garbage);
  EXPECT_EQ(run.failure(gemm_case), unwrap + kivu_package::debug_string(decoded.error()));
  EXPECT_EQ(read_file(told_path()), garbage);
}

TEST_F(GemmProfile, AMissingProfileFailsWithFileNotFound) {
  const SuiteRun run = run_gemm(sandbox.environment());
  EXPECT_EQ(run.failure(gemm_case), unwrap + "Os { code: 2, message: \"No such file or directory\" }");
  // The empty private folder goes too.
  EXPECT_TRUE(fs::is_empty(sandbox.tmp()));
}

TEST_F(GemmProfile, AFailedRunnerKeepsTheProfileItWrote) {
  const SuiteRun run = run_gemm(passing, 1);
  EXPECT_EQ(run.failure(gemm_case),
            "hardware capability \"blocked GEMM with per-tile cycle profile\" failed with exit status: 1");
  EXPECT_EQ(read_file(told_path()), passing);
}

}  // namespace
}  // namespace kivu_e2e::testing
