// How exit statuses, launch errors and scenario descriptions are rendered
// in failure messages.
#include <sys/wait.h>

#include <cerrno>
#include <csignal>

#include <gtest/gtest.h>

#include "failure.hpp"
#include "frame.hpp"
#include "launch.hpp"

namespace kivu_e2e {
namespace {

constexpr int exited(int code) { return code << 8; }
constexpr int signalled(int signal, bool core = false) { return signal | (core ? 0x80 : 0); }

std::string require_success_message(std::string_view capability, int wait_status) {
  try {
    require_success(capability, ExitStatus(wait_status));
  } catch (const CaseFailure& failure) {
    return failure.message();
  }
  return "no failure";
}

TEST(ExitStatusText, OnlyANormalExitWithZeroIsASuccess) {
  EXPECT_TRUE(ExitStatus(exited(0)).success());
  EXPECT_FALSE(ExitStatus(exited(1)).success());
  EXPECT_FALSE(ExitStatus(exited(255)).success());
  EXPECT_FALSE(ExitStatus(signalled(SIGKILL)).success());
}

TEST(ExitStatusText, ANormalExitShowsItsCode) {
  EXPECT_EQ(ExitStatus(exited(1)).text(), "exit status: 1");
  EXPECT_EQ(ExitStatus(exited(255)).text(), "exit status: 255");
}

TEST(ExitStatusText, ASignalShowsItsNumberAndNameAndACoreDump) {
  EXPECT_EQ(ExitStatus(signalled(SIGKILL)).text(), "signal: 9 (SIGKILL)");
  EXPECT_EQ(ExitStatus(signalled(SIGSEGV, true)).text(), "signal: 11 (SIGSEGV) (core dumped)");
  EXPECT_EQ(ExitStatus(signalled(SIGIO)).text(), "signal: 29 (SIGIO)");
  EXPECT_EQ(ExitStatus(signalled(SIGRTMIN + 1)).text(), "signal: " + std::to_string(SIGRTMIN + 1));
}

TEST(ExitStatusText, LaunchErrorsShowTheSystemDescriptionAndNumber) {
  EXPECT_EQ(LaunchError{ENOENT}.text(), "No such file or directory (os error 2)");
  EXPECT_EQ(LaunchError{EACCES}.text(), "Permission denied (os error 13)");
  EXPECT_EQ(os_error_debug(ENOENT), "Os { code: 2, message: \"No such file or directory\" }");
}

TEST(RequireSuccess, QuotesTheDescriptionAndEscapesIt) {
  EXPECT_EQ(require_success_message("all-tile reduction graph", exited(1)),
            "hardware capability \"all-tile reduction graph\" failed with exit status: 1");
  EXPECT_EQ(require_success_message("a \"b\" \\ c\n\t\x01", signalled(SIGTERM)),
            "hardware capability \"a \\\"b\\\" \\\\ c\\n\\t\\u{1}\" failed with signal: 15 (SIGTERM)");
  EXPECT_EQ(require_success_message("fine", exited(0)), "no failure");
}

}  // namespace
}  // namespace kivu_e2e
