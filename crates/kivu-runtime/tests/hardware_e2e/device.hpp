// The device lock: at most one runner reaches the board at a time.
//
// device() takes two locks, in this order, and its guard releases both:
//   1. DEVICE, the process's own mutex, for cases run on several threads of
//      one suite process;
//   2. a host-wide advisory lock (flock) on one fixed file, for suite
//      processes run side by side (ctest -j, two developers on one host).
// Both are plain locks: a case that fails while holding them leaves them
// free and usable for the next one. The lock file is opened close-on-exec,
// so runners never inherit it.
#pragma once

#include <mutex>

namespace kivu_e2e {

// The process's device lock. Guards no data; statically initialised.
extern constinit std::mutex DEVICE;

// Holding one means holding the device. Releasing: destroy it (scope exit).
class DeviceGuard {
public:
  DeviceGuard(std::unique_lock<std::mutex> process_lock, int lock_file) noexcept
      : process_lock_(std::move(process_lock)), lock_file_(lock_file) {}
  DeviceGuard(const DeviceGuard&) = delete;
  DeviceGuard& operator=(const DeviceGuard&) = delete;
  // Releases the host-wide lock, then DEVICE.
  ~DeviceGuard();

private:
  std::unique_lock<std::mutex> process_lock_;
  int lock_file_;
};

// Blocks until this thread holds the device, then returns the guard. Fails
// the running case only when the host-wide lock file cannot be opened or
// locked at all (then running unguarded would defeat the lock).
[[nodiscard]] DeviceGuard device();

}  // namespace kivu_e2e
