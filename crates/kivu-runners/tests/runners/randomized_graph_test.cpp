// The randomized runner builds the same graph for the same seed and a
// different one for another seed (its verbose progress output prints the
// graph's fingerprint and every step, so equal output means equal graphs).
#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"

namespace kivu_runner::testing {

using kivu_testing::ChildResult;
using kivu_testing::Environment;
using kivu_testing::run_child;
namespace {

ChildResult run_seed(const std::string& seed) {
  return run_child(KIVU_RANDOMIZED_E2E, {{"KIVU_RANDOM_SEED", seed}, {"KIVU_RUNNER_VERBOSE", "1"}});
}

TEST(RandomizedRunner, SameSeedBuildsTheSameGraphEveryRun) {
  const ChildResult first = run_seed("7640891576956012809");
  const ChildResult second = run_seed("7640891576956012809");
  ASSERT_EQ(first.exit_code, 0) << first.describe();
  EXPECT_EQ(first.out, second.out);
}

TEST(RandomizedRunner, DifferentSeedsBuildDifferentGraphs) {
  const ChildResult first = run_seed("1");
  const ChildResult second = run_seed("2");
  ASSERT_EQ(first.exit_code, 0) << first.describe();
  ASSERT_EQ(second.exit_code, 0) << second.describe();
  const auto fingerprint = [](const std::string& out) {
    const std::size_t at = out.find("fingerprint ");
    return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
  };
  ASSERT_FALSE(fingerprint(first.out).empty()) << first.out;
  EXPECT_NE(fingerprint(first.out), fingerprint(second.out));
}

TEST(RandomizedRunner, ExtremeSeedsRunAndPass) {
  for (const char* seed : {"0", "18446744073709551615"}) {
    const ChildResult result = run_seed(seed);
    EXPECT_EQ(result.exit_code, 0) << seed << "\n" << result.describe();
  }
}

}  // namespace
}  // namespace kivu_runner::testing
