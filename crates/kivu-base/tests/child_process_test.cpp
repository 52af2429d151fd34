#include "kivu_base/child_process.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

// Runs `body` with SIGCHLD ignored and blocked, as a careless parent process
// may leave it, and puts the caller's disposition and mask back afterwards.
template <typename Body>
void with_child_signal_ignored_and_blocked(Body body) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &saved), 0);
  sigset_t block, saved_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &saved_mask), 0);
  body();
  (void)sigaction(SIGCHLD, &saved, nullptr);
  (void)pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
}

TEST(ChildProcess, WaitsForAChildEvenWhenTheParentIgnoredSigchld) {
  with_child_signal_ignored_and_blocked([] {
    kivu_base::restore_child_signal();
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    sigset_t mask;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGCHLD), 0);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(3);
    const auto status = kivu_base::wait_for_child(child);
    ASSERT_TRUE(status) << "errno " << status.error();
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 3);
  });
}

TEST(ChildProcess, ReportsWhyAWaitFailed) {
  // This process has no child of that pid (nor any pid of that number).
  const auto status = kivu_base::wait_for_child(999'999'999);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error(), ECHILD);
}

TEST(ChildProcess, KeepsAHandlerButDropsNoChildWait) {
  struct sigaction handler {};
  handler.sa_handler = [](int) {};
  handler.sa_flags = SA_NOCLDWAIT;
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGCHLD, &handler, &saved), 0);
  kivu_base::restore_child_signal();
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, handler.sa_handler);
  EXPECT_EQ(now.sa_flags & SA_NOCLDWAIT, 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  const auto status = kivu_base::wait_for_child(child);
  (void)sigaction(SIGCHLD, &saved, nullptr);
  ASSERT_TRUE(status) << "errno " << status.error();
  EXPECT_TRUE(WIFEXITED(*status));
}

}  // namespace
