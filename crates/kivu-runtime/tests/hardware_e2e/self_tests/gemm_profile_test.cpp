// The blocked GEMM case: where it tells its runner to put the profile, how
// it judges the profile, and when the file is removed or left behind.
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

TEST_F(GemmProfile, TheProfileLiesDirectlyInTmpdirAndIsRemovedAfterAPass) {
  const SuiteRun run = run_gemm(passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  EXPECT_EQ(told_path(), (sandbox.tmp() / file_name(run.pid)).string());
  EXPECT_TRUE(fs::is_empty(sandbox.tmp()));
}

TEST_F(GemmProfile, ATmpdirEndingInASlashGetsNoSecondSlash) {
  const SuiteRun run = run_gemm(env_with_tmpdir(sandbox.tmp().string() + "/"), &passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  EXPECT_EQ(told_path(), sandbox.tmp().string() + "/" + file_name(run.pid));
}

TEST_F(GemmProfile, WithoutTmpdirTheProfileLiesInSlashTmp) {
  const SuiteRun run = run_gemm(env_with_tmpdir(std::nullopt), &passing);
  const std::string expected = "/tmp/" + file_name(run.pid);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  EXPECT_EQ(told_path(), expected);
  EXPECT_FALSE(fs::exists(expected));
  fs::remove(expected);
}

TEST_F(GemmProfile, AnEmptyTmpdirNamesTheFileInTheWorkingDirectory) {
  const SuiteRun run = run_gemm(env_with_tmpdir(""), &passing);
  EXPECT_TRUE(run.result(gemm_case).passed) << run.output;
  EXPECT_EQ(told_path(), file_name(run.pid));
  EXPECT_TRUE(fs::is_empty(sandbox.work()));
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
    const fs::path left = sandbox.tmp() / file_name(run.pid);
    EXPECT_EQ(read_file(left), bytes);
    fs::remove(left);
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
  EXPECT_EQ(read_file(sandbox.tmp() / file_name(run.pid)), version_4);

  const std::string garbage = "this is not a profile";
  auto decoded = ProfileReport::read(std::istringstream(garbage));
  ASSERT_FALSE(decoded.has_value());
  run = run_gemm(garbage);
  EXPECT_EQ(run.failure(gemm_case), unwrap + kivu_package::debug_string(decoded.error()));
  EXPECT_EQ(read_file(sandbox.tmp() / file_name(run.pid)), garbage);
}

TEST_F(GemmProfile, AMissingProfileFailsWithFileNotFound) {
  const SuiteRun run = run_gemm(sandbox.environment());
  EXPECT_EQ(run.failure(gemm_case), unwrap + "Os { code: 2, message: \"No such file or directory\" }");
}

TEST_F(GemmProfile, AFailedRunnerKeepsTheProfileItWrote) {
  const SuiteRun run = run_gemm(passing, 1);
  EXPECT_EQ(run.failure(gemm_case),
            "hardware capability \"blocked GEMM with per-tile cycle profile\" failed with exit status: 1");
  EXPECT_EQ(read_file(sandbox.tmp() / file_name(run.pid)), passing);
}

}  // namespace
}  // namespace kivu_e2e::testing
