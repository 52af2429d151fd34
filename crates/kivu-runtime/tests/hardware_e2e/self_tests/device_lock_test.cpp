// The device lock within one process: threads take turns, and a holder that
// fails does not keep the lock. (Across processes: exclusivity_test.cpp.)
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device.hpp"
#include "failure.hpp"
#include "suite_paths.hpp"

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

TEST(DeviceLock, TheLockFileIsCreatedUsableByEveryUser) {
  { const auto _device = device(); }
  struct stat info {};
  ASSERT_EQ(stat(device_lock_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u);
}

}  // namespace
}  // namespace kivu_e2e
