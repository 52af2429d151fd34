// kivu_base/descriptor.hpp: owned file descriptors and directory streams,
// and the system calls on them that a signal may interrupt.
//
// A Descriptor or a Directory closes what it holds when it is destroyed or
// when another is moved onto it; it is moved, never copied, and release()
// hands its descriptor or stream over to the caller. The functions below
// retry a call that a signal interrupted (EINTR), so that no caller writes
// that loop again, and report a failure as the errno value:
//
//   KIVU_ASSIGN_OR_RETURN(const auto file, kivu_base::open_file(path, O_RDONLY | O_CLOEXEC));
//   char buffer[4096];
//   KIVU_ASSIGN_OR_RETURN(const std::size_t got, kivu_base::read_some(file.get(), buffer, sizeof buffer));
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <utility>

namespace kivu_base {

// =============================================================================
// Owned descriptors

// An owned file descriptor, or none (-1).
class Descriptor {
public:
  Descriptor() noexcept = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  // The descriptor, still owned; -1 for none.
  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // The descriptor, no longer owned: the caller closes it.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor held, if any, whatever close says, and holds `fd`.
  void reset(int fd = -1) noexcept;

  // Closes the descriptor now: the errno of a failure (a late write error on
  // some filesystems), which a caller that wrote through it reports. After
  // EINTR the descriptor is released all the same on Linux, so close is not
  // retried and EINTR is no failure.
  [[nodiscard]] std::expected<void, int> close() noexcept;

private:
  int fd_ = -1;
};

// An owned directory stream (opendir), or none.
class Directory {
public:
  Directory() noexcept = default;
  explicit Directory(DIR* stream) noexcept : stream_(stream) {}
  Directory(Directory&& other) noexcept : stream_(other.release()) {}
  Directory& operator=(Directory&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  ~Directory() { reset(); }

  // Opens the directory `path`: the stream, or the errno of opendir.
  [[nodiscard]] static std::expected<Directory, int> open(const char* path) noexcept;

  // The next entry ("." and ".." included), or nullptr after the last; the
  // entry lives until the next call.
  [[nodiscard]] const dirent* next() noexcept;

  [[nodiscard]] DIR* get() const noexcept { return stream_; }
  explicit operator bool() const noexcept { return stream_ != nullptr; }
  // The stream, no longer owned: the caller closes it.
  [[nodiscard]] DIR* release() noexcept { return std::exchange(stream_, nullptr); }
  // Closes the stream held, if any, and holds `stream`.
  void reset(DIR* stream = nullptr) noexcept;

private:
  DIR* stream_ = nullptr;
};

// =============================================================================
// Calls retried after a signal

// Opens `path` (open(2)): the descriptor, or the errno. A blocking open (a
// FIFO waiting for its other end) is retried when a signal interrupts it.
[[nodiscard]] std::expected<Descriptor, int> open_file(const char* path, int flags, mode_t mode = 0) noexcept;

// Opens `name` under the directory open as `directory` (openat(2), AT_FDCWD
// for the working directory), as open_file does.
[[nodiscard]] std::expected<Descriptor, int> open_at(int directory, const char* name, int flags,
                                                     mode_t mode = 0) noexcept;

// Reads at most `size` bytes from `fd` into `buffer`: how many arrived, 0 at
// the end of the input, or the errno.
[[nodiscard]] std::expected<std::size_t, int> read_some(int fd, void* buffer, std::size_t size) noexcept;

// Writes all `size` bytes of `data` to `fd`, in as many writes as it takes:
// nothing, or the errno of the write that failed (EIO for a write that took
// no byte).
[[nodiscard]] std::expected<void, int> write_all(int fd, const void* data, std::size_t size) noexcept;

}  // namespace kivu_base
