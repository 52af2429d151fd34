// The device lock: at most one runner reaches a board at a time.
//
// A host has boards 0 .. N-1 (on the simulated board, KIVU_SIM_BOARDS of
// them, as kivu-boards lists them). A case runs on the board that
// board_from_environment() asks for and holds that board while its runner
// runs. device() takes two locks, in this order, and its guard releases both:
//   1. DEVICE, the process's own mutex, for cases run on several threads of
//      one suite process;
//   2. the board's host-wide lock, for suite processes run side by side
//      (ctest -j, two developers on one host): a Unix socket bound to the
//      board's name in Linux's abstract socket namespace (suite_paths.hpp),
//      taken and waited for as kivu_host::BoardLock.
//      Only one socket can have a name; the kernel keeps the name as long as
//      any process has that socket open and drops it when the last one
//      closes it or exits. There is no file, so nothing that anybody removes
//      or replaces in the file system can hand the board to a second suite.
// Both are plain locks: a case that fails while holding them leaves them
// free and usable for the next one.
//
// The socket is close-on-exec in the suite, but the runner a case starts
// inherits it (frame.hpp): the board then stays held until both the suite has
// let go and the runner has exited, so a suite killed outright cannot hand
// the board to the next runner while its own runner still runs.
//
// The abstract namespace belongs to the network namespace: suites in
// different network namespaces (containers with networks of their own) do
// not see each other's locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>

#include <kivu_host/board_lock.hpp>

namespace kivu_e2e {

// The process's device lock. Guards no data; statically initialised.
extern constinit std::mutex DEVICE;

// Holding one means holding the device. Releasing: destroy it (scope exit).
class DeviceGuard {
public:
  DeviceGuard(std::unique_lock<std::mutex> process_lock, kivu_host::BoardLock board_lock, std::uint32_t board) noexcept;
  DeviceGuard(const DeviceGuard&) = delete;
  DeviceGuard& operator=(const DeviceGuard&) = delete;
  // Releases the host-wide lock, then DEVICE.
  ~DeviceGuard();

private:
  std::unique_lock<std::mutex> process_lock_;  // declared first: let go of last
  kivu_host::BoardLock board_lock_;
};

// What a thread holds while one of its cases holds the device.
struct HeldDevice {
  std::uint32_t board = 0;
  const kivu_host::BoardLock* board_lock = nullptr;  // the guard's, never null
};

// The device held by the calling thread through device(), or nothing.
[[nodiscard]] std::optional<HeldDevice> held_device() noexcept;

// The board a case asks for.
struct BoardRequest {
  std::optional<std::uint32_t> board;  // nothing: any board of the host
  std::uint32_t host_boards = 1;       // the host's boards, 0 .. host_boards-1
};

// The board a case runs on, from the first of these that is set, and not
// empty, in the suite's environment:
//   CTEST_RESOURCE_GROUP_COUNT   above 0: the board CTest allocated, resource
//                                group 0's CTEST_RESOURCE_GROUP_0_BOARDS,
//                                "id:N,slots:S";
//   KIVU_TEST_BOARD              a board number, or "any": the first board
//                                of the host that is free;
// otherwise board 0. The host's boards are KIVU_SIM_BOARDS's. A value that
// cannot be read gives a message that names the variable and quotes it; a
// board the host does not have gives one that names the board and the
// host's boards.
[[nodiscard]] std::expected<BoardRequest, std::string> board_from_environment();

// How long a case waits for its board's lock at most: KIVU_TEST_LOCK_TIMEOUT,
// a whole number of seconds from 0 (take a free board or give up at once) to
// max_lock_timeout_seconds. Unset or empty: no bound, the case waits as long
// as the lock is held. A value that cannot be read gives a message that
// names the variable and quotes it.
inline constexpr const char* lock_timeout_variable = "KIVU_TEST_LOCK_TIMEOUT";
inline constexpr std::uint64_t max_lock_timeout_seconds = 604800;  // a week
[[nodiscard]] std::expected<std::optional<std::chrono::seconds>, std::string> lock_timeout_from_environment();

// Blocks until this thread holds the device of the case's board, then
// returns the guard. For a board other than 0 it prints "<case> on board N"
// first; for "any" it tries each board of the host in order without
// waiting, takes the first it gets, and then prints "<case> on board N"
// (board 0 included). While every board it may take is busy it retries,
// at most 50 ms apart, and after about a second of waiting prints one line,
// "waiting for the device lock @NAME (held by pid N)" (" (held by pids N, M)"
// when several processes share it, nothing when /proc does not tell; for
// "any", every board's name and holder). With KIVU_TEST_LOCK_TIMEOUT, fails
// the running case once it has waited that long, with "gave up after N s
// (KIVU_TEST_LOCK_TIMEOUT) waiting for " and the same names and holders.
// Boards that the quarantine file keeps out of service
// (kivu_host/quarantine.hpp) are never taken for "any"; when that file
// cannot be read, "any" fails the case rather than take a quarantined board.
// A board named outright (KIVU_TEST_BOARD=N, or CTest's allocation) still
// runs when quarantined, after a "warning: board N is quarantined" line.
// Fails the running case, before taking any lock, when the board or the
// timeout cannot be read or the host lacks the board, and when the board's
// lock cannot be taken at all (then running unguarded would defeat the
// lock).
[[nodiscard]] DeviceGuard device(std::source_location where = std::source_location::current());

}  // namespace kivu_e2e
