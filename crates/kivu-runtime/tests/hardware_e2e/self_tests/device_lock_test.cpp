// The device lock within one process: threads take turns, and a holder that
// fails does not keep the lock. (Across processes: exclusivity_test.cpp.)
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device.hpp"
#include "failure.hpp"
#include "suite_paths.hpp"
#include "support.hpp"

namespace kivu_e2e {
namespace {

using namespace std::chrono_literals;

TEST(DeviceLock, ThreadsOfOneProcessNeverHoldItTogether) {
  std::atomic<int> holders = 0;
  std::atomic<int> most = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        const auto _device = device();
        const int now = ++holders;
        most = std::max(most.load(), now);
        std::this_thread::sleep_for(100us);
        --holders;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(most.load(), 1);
}

TEST(DeviceLock, AHolderThatFailsLeavesItUsable) {
  try {
    const auto _device = device();
    fail("the case failed");
  } catch (const CaseFailure&) {
  }
  // From another thread, so a lock still held by this one would block.
  auto taken = std::async(std::launch::async, [] { const auto _device = device(); });
  ASSERT_EQ(taken.wait_for(10s), std::future_status::ready);
}

TEST(DeviceLock, HoldsTheBoardsNameOnlyWhileHeldAndEveryUserCanTakeItAfter) {
  const std::string name = device_lock_name(0);
  {
    const auto _device = device();
    EXPECT_FALSE(testing::hold_lock_name(name)) << "a second socket got the held board's name";
  }
  // Another user takes the name once it is free: the lock has no owner or
  // mode that could keep a suite of another user out.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && setuid(65534) != 0) _exit(3);
    _exit(testing::hold_lock_name(name) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  // No file stands for the lock.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(device_lock_prefix())));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(name)));
}

}  // namespace
}  // namespace kivu_e2e
