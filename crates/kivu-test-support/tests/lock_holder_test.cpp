#include "kivu_testing/lock_holder.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "kivu_host/board_lock.hpp"

namespace {

using kivu_testing::hold_lock_in_child;
using kivu_testing::stop_lock_holder;

std::string lock_name(int n) { return "kivu-test-support-" + std::to_string(::getpid()) + "-" + std::to_string(n); }

bool is_free(const std::string& name) { return kivu_host::BoardLock::try_take(name).has_value(); }

TEST(LockHolder, HoldsTheLockFromItsReturnUntilItIsStopped) {
  const std::string name = lock_name(0);
  const pid_t holder = hold_lock_in_child(name);
  EXPECT_FALSE(is_free(name)) << "the lock was not yet held when hold_lock_in_child returned";
  EXPECT_EQ(::kill(holder, 0), 0);
  stop_lock_holder(holder);
  EXPECT_TRUE(is_free(name));
  // Reaped: no zombie is left under that pid.
  EXPECT_EQ(::kill(holder, 0), -1);
}

TEST(LockHolder, ALockAlreadyHeldIsTheTestsFailureAndLeavesNoChild) {
  const std::string name = lock_name(1);
  const auto mine = kivu_host::BoardLock::try_take(name);
  ASSERT_TRUE(mine);
  EXPECT_THROW((void)hold_lock_in_child(name), std::runtime_error);
  // The only child this test had was reaped by the failed call.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
