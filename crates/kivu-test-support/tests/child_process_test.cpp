#include "kivu_testing/child_process.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivu_testing/files.hpp"

namespace {

using kivu_testing::ChildCommand;
using kivu_testing::read_file;
using kivu_testing::run_child;
using kivu_testing::ScratchDirectory;
using kivu_testing::start_child;
using kivu_testing::wait_for_child;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsSupersetOf;
using testing::Not;
using testing::StartsWith;

ChildCommand shell(const std::string& script) { return {.program = "/bin/sh", .arguments = {"-c", script}}; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(RunChild, PassesArgumentsAsTheyAreAndKeepsTheTwoStreamsApart) {
  const auto result = run_child(shell("printf '%s|' \"$@\"; echo err >&2; exit 3"));
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.err, "err\n");

  auto command = shell("printf '%s|' \"$0\" \"$@\"");
  command.arguments.insert(command.arguments.end(), {"a b", "'quoted'", "", "$HOME"});
  EXPECT_EQ(run_child(command).out, "a b|'quoted'||$HOME|");
}

TEST(RunChild, ReportsTheSignalThatEndedTheChildAndAProgramThatCannotStart) {
  const auto killed = run_child(shell("kill -9 $$"));
  EXPECT_FALSE(killed.exited);
  EXPECT_EQ(killed.signal, SIGKILL);
  EXPECT_THAT(killed.describe(), StartsWith("signal 9\n"));

  const auto missing = run_child("/nonexistent/program", {});
  EXPECT_FALSE(missing.exited);
  EXPECT_EQ(missing.exit_code, -1);
  EXPECT_EQ(missing.err, "cannot start /nonexistent/program: No such file or directory");
}

TEST(RunChild, LeavesOutLeftoverKivuVariablesAndAddsTheGivenOnesInOrder) {
  ::setenv("KIVU_LEFTOVER_SETTING", "1", 1);
  const auto result = run_child("/usr/bin/env", {{"KIVU_GIVEN", "a"}, {"OTHER", "b"}, {"KIVU_GIVEN", "c"}});
  ::unsetenv("KIVU_LEFTOVER_SETTING");
  const auto lines = lines_of(result.out);
  EXPECT_THAT(lines, Not(testing::Contains(StartsWith("KIVU_LEFTOVER_SETTING="))));
  ASSERT_GE(lines.size(), 3U);
  EXPECT_THAT(std::vector(lines.end() - 3, lines.end()), ElementsAre("KIVU_GIVEN=a", "OTHER=b", "KIVU_GIVEN=c"));
  EXPECT_THAT(lines, testing::Contains(StartsWith("PATH=")));
}

TEST(RunChild, UsesAFullEnvironmentInsteadOfTheInheritedOneAndTheGivenDirectory) {
  ScratchDirectory dir;
  ChildCommand command{.program = "/bin/sh",
                       .arguments = {"-c", "pwd; env"},
                       .environment = {{"ADDED", "2"}},
                       .full_environment = std::vector<std::string>{"ONLY=1", "KIVU_KEPT=3"},
                       .directory = dir.path()};
  const auto lines = lines_of(run_child(command).out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], std::filesystem::canonical(dir.path()).string());
  EXPECT_THAT(lines, IsSupersetOf({"ONLY=1", "KIVU_KEPT=3", "ADDED=2"}));
  EXPECT_THAT(lines, Not(testing::Contains(StartsWith("PATH="))));

  command.directory = dir.file("missing");
  const auto refused = run_child(command);
  EXPECT_FALSE(refused.exited);
  EXPECT_THAT(refused.err, HasSubstr("No such file or directory"));
}

TEST(StartChild, ReturnsAtOnceWithBothStreamsInTheFileAndNoInput) {
  ScratchDirectory dir;
  const std::string output = dir.file("output.txt");
  { std::ofstream(output) << "old content that must go\n"; }
  const auto blocked = start_child(shell("read line; echo \"read $?\"; echo err >&2; exit 4"), output);
  ASSERT_TRUE(blocked.has_value()) << blocked.error();
  const int status = wait_for_child(*blocked);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(read_file(output), "read 1\nerr\n");
  EXPECT_EQ(wait_for_child(*blocked), -1);

  const auto sleeper = start_child(shell("sleep 30"), output);
  ASSERT_TRUE(sleeper.has_value());
  ::kill(*sleeper, SIGKILL);
  const int killed = wait_for_child(*sleeper);
  EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);

  EXPECT_EQ(start_child({.program = dir.file("none")}, output).error(),
            "cannot start " + dir.file("none") + ": No such file or directory");
}

TEST(RunChild, WaitsForItsChildWhenStartedWithSigchldIgnoredAndBlocked) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &before), 0);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigset_t mask_before;
  pthread_sigmask(SIG_BLOCK, &chld, &mask_before);

  // The child reports its own ignored and blocked signals: SIGCHLD (bit 16
  // of the masks) in neither. It is started directly: a shell in between
  // would reset both for its own children, and reading the shell's status
  // instead catches it blocking signals for a moment while it starts one.
  const auto result = run_child({.program = "/bin/grep", .arguments = {"-E", "^Sig(Ign|Blk):", "/proc/self/status"}});
  sigaction(SIGCHLD, &before, nullptr);
  pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);

  EXPECT_TRUE(result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  const auto lines = lines_of(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  for (const auto& line : lines) {
    const auto mask = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
    EXPECT_EQ(mask & (1ULL << (SIGCHLD - 1)), 0u) << line;
  }
}

TEST(ScratchDirectory, FailsLoudlyInsteadOfNamingFilesUnderTheRootWhenItCannotBeMade) {
  const char* saved = std::getenv("TMPDIR");
  const std::optional<std::string> previous = saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("TMPDIR", "/nonexistent-kivu-tmpdir", 1);
  std::string message;
  try {
    const ScratchDirectory dir;
    message = "made " + dir.path();
  } catch (const std::system_error& error) {
    message = error.what();
  }
  if (previous) {
    ::setenv("TMPDIR", previous->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_THAT(message, StartsWith("cannot create the scratch directory /nonexistent-kivu-tmpdir/kivu-test-"));
  EXPECT_THAT(message, HasSubstr("No such file or directory"));

  const ScratchDirectory dir;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
  EXPECT_THAT(dir.file("x"), StartsWith(dir.path() + "/"));
}

TEST(RunUnprivileged, RunsTheCheckAsAnotherUserWhenRoot) {
  const auto ids = kivu_testing::run_unprivileged([] {
    return std::to_string(::geteuid()) + " " + std::to_string(::getegid()) + " " +
           std::to_string(::getgroups(0, nullptr));
  });
  if (!ids) GTEST_SKIP() << ids.error();
  if (::geteuid() == 0) {
    EXPECT_EQ(*ids, "65534 65534 1");
  } else {
    EXPECT_THAT(*ids, StartsWith(std::to_string(::geteuid()) + " "));
  }
}

}  // namespace
