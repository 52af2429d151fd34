// Owned file descriptors and operating-system failures, as the output-file
// code uses them.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <system_error>
#include <utility>

#include "kivu_output_file/output_error.hpp"

namespace kivu_output_file::detail {

using Status = std::expected<void, OutputError>;

// The operating-system failure `code` (an errno).
inline std::unexpected<OutputError> os_failure(int code) {
  return std::unexpected(OutputError(std::error_code(code, std::system_category())));
}

// The errno of an operating-system failure, or 0.
inline int os_code_of(const OutputError& error) noexcept {
  const auto code = error.code();
  return code && code->category() == std::system_category() ? code->value() : 0;
}

// A refusal of the library's own.
inline std::unexpected<OutputError> refusal(OutputRefusal reason) {
  return std::unexpected(OutputError(output_refused(reason)));
}

// An owned file descriptor.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Closes the descriptor; a failure (a late write error on some
  // filesystems) is the write's failure. After EINTR the descriptor is
  // released all the same on Linux.
  Status close() noexcept {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) return os_failure(errno);
    return {};
  }

private:
  int fd_ = -1;
};

// Opens `name` under `directory`, retrying when a signal interrupts a
// blocking open (a FIFO waits for its reader).
inline Descriptor open_at(int directory, const char* name, int flags, mode_t mode = 0) noexcept {
  for (;;) {
    const int fd = ::openat(directory, name, flags, mode);
    if (fd >= 0 || errno != EINTR) return Descriptor(fd);
  }
}

}  // namespace kivu_output_file::detail
