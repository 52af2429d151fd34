#include "device.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stop_token>
#include <thread>

#include <gtest/gtest.h>
#include <kivu_runtime/environment.hpp>

#include "failure.hpp"
#include "notice.hpp"
#include "suite_paths.hpp"

namespace kivu_e2e {

constinit std::mutex DEVICE;

namespace {

// The device this thread's case holds; set by the guard for its lifetime.
thread_local std::optional<HeldDevice> held;

// =============================================================================
// The board

// A board number in decimal, 0 to max_board, as the value of `variable`.
std::expected<std::uint32_t, std::string> board_number(std::string_view variable, std::string_view value) {
  const auto parsed = kivu_runtime::parse_unsigned_decimal(variable, value, max_board);
  if (!parsed) return std::unexpected(parsed.error().message());
  return static_cast<std::uint32_t>(*parsed);
}

// The board of CTest's allocation "id:N,slots:S" (one allocation, S >= 1).
std::expected<std::uint32_t, std::string> allocated_board(const char* allocation) {
  constexpr const char* variable = "CTEST_RESOURCE_GROUP_0_BOARDS";
  const auto unreadable = [&] {
    return std::unexpected(
        kivu_runtime::EnvironmentError{variable, allocation, "\"id:N,slots:1\" with a board number N"}.message());
  };
  const std::string_view text(allocation);
  const auto comma = text.find(',');
  if (!text.starts_with("id:") || comma == std::string_view::npos) return unreadable();
  const std::string_view slots = text.substr(comma + 1);
  if (!slots.starts_with("slots:")) return unreadable();
  const auto slot_count = kivu_runtime::parse_unsigned_decimal(variable, slots.substr(6));
  if (!slot_count || *slot_count == 0) return unreadable();
  const auto board = board_number(variable, text.substr(3, comma - 3));
  if (!board) return unreadable();
  return *board;
}

// =============================================================================
// The lock file

// Opens the lock file for flock, creating it readable and writable by every
// user on first use so that suites run by different users share it. A file
// that exists already (perhaps another user's) is opened read-only, which is
// all flock needs. Symbolic links are refused: nobody can point the suite at
// a file of theirs. Opening never blocks (a FIFO planted at the path would
// otherwise wait for a writer forever), and whatever is not a regular file
// is refused. Returns the descriptor, or the reason it cannot be used.
std::expected<int, std::string> open_lock_file(const char* path) {
  int fd = -1;
  for (;;) {
    fd = ::open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // The mode above went through the umask; widen it again.
      (void)::fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) return std::unexpected(os_error_display(errno));
    fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) break;
    if (errno != ENOENT) return std::unexpected(os_error_display(errno));
    // Removed between the two opens: try again.
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    (void)::close(fd);
    return std::unexpected(os_error_display(error));
  }
  if (!S_ISREG(info.st_mode)) {
    (void)::close(fd);
    return std::unexpected(std::string("not a regular file"));
  }
  return fd;
}

// The pid that /proc/locks names as the holder of a flock on the file open
// as `fd`, or nothing. Lines read "N: FLOCK ADVISORY WRITE <pid>
// <major>:<minor>:<inode> 0 EOF", major and minor in hexadecimal; waiters
// have "->" after the number and are skipped.
std::optional<long> lock_holder(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (!(words >> number >> kind) || kind != "FLOCK") continue;
    if (!(words >> mode >> access >> pid >> file)) continue;
    unsigned file_major = 0, file_minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%lu", &file_major, &file_minor, &inode) != 3) continue;
    if (file_major == major(info.st_dev) && file_minor == minor(info.st_dev) && inode == info.st_ino && pid > 0) {
      return pid;
    }
  }
  return std::nullopt;
}

// Takes the exclusive flock on `fd`, waiting as long as it takes. When the
// lock is not free, a watcher thread says after a second which lock the
// suite waits for; it ends as soon as the lock is taken.
std::expected<void, int> lock_waiting_aloud(int fd, const std::string& path) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
  if (errno != EWOULDBLOCK && errno != EINTR) return std::unexpected(errno);
  std::jthread watcher([fd, &path](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; });
    if (stop.stop_requested()) return;
    std::string line = "waiting for the device lock " + path;
    if (const auto holder = lock_holder(fd)) line += " (held by pid " + std::to_string(*holder) + ")";
    notice(line);
  });
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return {};
}

}  // namespace

// =============================================================================
// The guard

DeviceGuard::DeviceGuard(std::unique_lock<std::mutex> process_lock, int lock_file, std::uint32_t board) noexcept
    : process_lock_(std::move(process_lock)), lock_file_(lock_file) {
  held = HeldDevice{board, lock_file};
}

DeviceGuard::~DeviceGuard() {
  held.reset();
  // Unlock explicitly: the runner shared the open file, and a runner forked
  // but not yet exec'd by another thread may still share it too; closing
  // alone would leave the lock to them.
  (void)::flock(lock_file_, LOCK_UN);
  (void)::close(lock_file_);
}

std::optional<HeldDevice> held_device() noexcept { return held; }

std::expected<std::uint32_t, std::string> board_from_environment() {
  // CTest gives a count of 0 to tests that ask for no resources when it runs
  // with a resource file: no allocation, as when the count is unset.
  const char* count = std::getenv("CTEST_RESOURCE_GROUP_COUNT");
  const auto groups = count != nullptr ? kivu_runtime::parse_unsigned_decimal("CTEST_RESOURCE_GROUP_COUNT", count) : 0;
  if (!groups) return std::unexpected(groups.error().message());
  if (*groups != 0) {
    const char* allocation = std::getenv("CTEST_RESOURCE_GROUP_0_BOARDS");
    if (allocation == nullptr) {
      return std::unexpected("CTEST_RESOURCE_GROUP_COUNT is " + debug_quote(count) +
                             " but CTEST_RESOURCE_GROUP_0_BOARDS is unset: no board was allocated");
    }
    return allocated_board(allocation);
  }
  if (const char* board = std::getenv("KIVU_TEST_BOARD")) return board_number("KIVU_TEST_BOARD", board);
  return 0;
}

DeviceGuard device(std::source_location where) {
  const auto board = board_from_environment();
  if (!board) fail("cannot choose the board: " + board.error(), where);
  if (*board != 0) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    notice(std::string(test != nullptr ? test->name() : "case") + " on board " + std::to_string(*board));
  }

  std::unique_lock process_lock(DEVICE);
  const std::string path = device_lock_path(*board);
  const auto fd = open_lock_file(path.c_str());
  if (!fd) fail("open device lock file " + path + ": " + fd.error(), where);
  if (const auto locked = lock_waiting_aloud(*fd, path); !locked) {
    (void)::close(*fd);
    fail("lock device lock file " + path + ": " + os_error_display(locked.error()), where);
  }
  return DeviceGuard(std::move(process_lock), *fd, *board);
}

}  // namespace kivu_e2e
