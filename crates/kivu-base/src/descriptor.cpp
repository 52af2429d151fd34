// Owned descriptors and the calls retried after a signal (see
// kivu_base/descriptor.hpp).
#include "kivu_base/descriptor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kivu_base {

void Descriptor::reset(int fd) noexcept {
  if (fd_ >= 0) (void)::close(fd_);
  fd_ = fd;
}

std::expected<void, int> Descriptor::close() noexcept {
  const int fd = release();
  if (fd < 0) return {};
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(errno);
  return {};
}

std::expected<Directory, int> Directory::open(const char* path) noexcept {
  DIR* const stream = ::opendir(path);
  if (stream == nullptr) return std::unexpected(errno);
  return Directory(stream);
}

const dirent* Directory::next() noexcept { return stream_ != nullptr ? ::readdir(stream_) : nullptr; }

void Directory::reset(DIR* stream) noexcept {
  if (stream_ != nullptr) (void)::closedir(stream_);
  stream_ = stream;
}

std::expected<Descriptor, int> open_file(const char* path, int flags, mode_t mode) noexcept {
  return open_at(AT_FDCWD, path, flags, mode);
}

std::expected<Descriptor, int> open_at(int directory, const char* name, int flags, mode_t mode) noexcept {
  for (;;) {
    const int fd = ::openat(directory, name, flags, mode);
    if (fd >= 0) return Descriptor(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<std::size_t, int> read_some(int fd, void* buffer, std::size_t size) noexcept {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<void, int> write_all(int fd, const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return std::unexpected(written < 0 ? errno : EIO);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

}  // namespace kivu_base
