// The device lock: at most one runner reaches a board at a time.
//
// A host may have several boards, numbered from 0. A case runs on the board
// that board_from_environment() names and holds that board while its runner
// runs. device() takes two locks, in this order, and its guard releases both:
//   1. DEVICE, the process's own mutex, for cases run on several threads of
//      one suite process;
//   2. a host-wide advisory lock (flock) on the board's lock file
//      (suite_paths.hpp), for suite processes run side by side (ctest -j,
//      two developers on one host).
// Both are plain locks: a case that fails while holding them leaves them
// free and usable for the next one.
//
// The lock file is close-on-exec in the suite, but the runner a case starts
// inherits it (frame.hpp): the lock then lasts until both the suite has let
// go and the runner has exited, so a suite killed outright cannot hand the
// board to the next runner while its own runner still runs. After waiting
// for its runner the suite unlocks explicitly.
#pragma once

#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>

namespace kivu_e2e {

// The process's device lock. Guards no data; statically initialised.
extern constinit std::mutex DEVICE;

// Holding one means holding the device. Releasing: destroy it (scope exit).
class DeviceGuard {
public:
  DeviceGuard(std::unique_lock<std::mutex> process_lock, int lock_file, std::uint32_t board) noexcept;
  DeviceGuard(const DeviceGuard&) = delete;
  DeviceGuard& operator=(const DeviceGuard&) = delete;
  // Releases the host-wide lock, then DEVICE.
  ~DeviceGuard();

private:
  std::unique_lock<std::mutex> process_lock_;
  int lock_file_;
};

// What a thread holds while one of its cases holds the device.
struct HeldDevice {
  std::uint32_t board = 0;
  int lock_file = -1;  // the open, locked lock file
};

// The device held by the calling thread through device(), or nothing.
[[nodiscard]] std::optional<HeldDevice> held_device() noexcept;

// The board a case runs on, from the first of these that is set in the
// suite's environment:
//   CTEST_RESOURCE_GROUP_COUNT   above 0: the board CTest allocated, resource
//                                group 0's CTEST_RESOURCE_GROUP_0_BOARDS,
//                                "id:N,slots:S";
//   KIVU_TEST_BOARD              a board number;
// otherwise board 0. Board numbers are decimal, 0 to max_board. A value that
// cannot be read gives a message that names the variable and quotes it.
[[nodiscard]] std::expected<std::uint32_t, std::string> board_from_environment();

// The largest board number the suite accepts.
inline constexpr std::uint32_t max_board = 65535;

// Blocks until this thread holds the device of the case's board, then
// returns the guard; prints "<case> on board N" first for a board other than
// 0, and "waiting for the device lock <path>" (with " (held by pid N)" when
// /proc/locks names the holder) after about a second of waiting. Fails the
// running case when the board cannot be read, or when the board's lock file
// cannot be opened, is not a regular file, or cannot be locked at all (then
// running unguarded would defeat the lock).
[[nodiscard]] DeviceGuard device(std::source_location where = std::source_location::current());

}  // namespace kivu_e2e
