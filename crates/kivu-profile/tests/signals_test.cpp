// SIGBUS from a profile cut short while kivu-profile walks its mapping: one
// line and exit status 1, in a child process that installs the tool's
// handlers and reads the profile as the tool does.
#include "signals.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "cli.hpp"
#include "profile_fixtures.hpp"
#include "profile_stats.hpp"

namespace {

struct ChildEnd {
  int status = 0;
  std::string err;  // what the child wrote to standard error
};

// Runs `body` in a child whose standard error is collected, after installing
// kivu-profile's signal handlers; a body that returns ends the child with 0.
ChildEnd run_in_child(const std::function<void()>& body) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(channel[1], STDERR_FILENO);
    ::close(channel[0]);
    ::close(channel[1]);
    kivu_profile::install_signal_handlers();
    body();
    ::_exit(0);
  }
  ::close(channel[1]);
  ChildEnd end;
  char buffer[4096];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;)
    end.err.append(buffer, static_cast<std::size_t>(got));
  ::close(channel[0]);
  ::waitpid(pid, &end.status, 0);
  return end;
}

TEST(BusError, AProfileCutShortWhileItIsWalkedEndsWithOneLineAndStatusOne) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(64));
  const ChildEnd end = run_in_child([&] {
    const auto file = kivu_profile::open_profile(path);
    if (!file) ::_exit(3);
    // Cut short in place, as a program rewriting the file would: the mapped
    // pages past the new end are gone.
    if (::truncate(path.c_str(), 0) != 0) ::_exit(4);
    static_cast<void>(file->visit(
        [](const kivu_package::ProfileView& profile) { static_cast<void>(kivu_profile::compute_stats(profile)); }));
    ::_exit(5);
  });
  ASSERT_TRUE(WIFEXITED(end.status)) << "ended by signal " << WTERMSIG(end.status);
  EXPECT_EQ(WEXITSTATUS(end.status), 1) << end.err;
  EXPECT_EQ(end.err, "kivu-profile: cannot read " + path.string() + ": the file changed while it was read\n");
}

TEST(BusError, ASigbusSentByAnotherProcessKeepsItsDefaultAction) {
  const ChildEnd end = run_in_child([] { ::kill(::getpid(), SIGBUS); });
  ASSERT_TRUE(WIFSIGNALED(end.status)) << "exited with " << WEXITSTATUS(end.status) << ": " << end.err;
  EXPECT_EQ(WTERMSIG(end.status), SIGBUS);
  EXPECT_EQ(end.err, "");
}

}  // namespace
