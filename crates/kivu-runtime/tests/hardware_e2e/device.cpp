#include "device.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "failure.hpp"
#include "suite_paths.hpp"

namespace kivu_e2e {

constinit std::mutex DEVICE;

namespace {

// Opens the lock file for flock, creating it readable and writable by every
// user on first use so that suites run by different users share it. A file
// that exists already (perhaps another user's) is opened read-only, which is
// all flock needs. Symbolic links are refused: nobody can point the suite at
// a file of theirs. Returns the descriptor, or -1 with errno set.
int open_lock_file(const char* path) {
  for (;;) {
    int fd = ::open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // The mode above went through the umask; widen it again.
      (void)::fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    // Removed between the two opens: try again.
  }
}

}  // namespace

DeviceGuard::~DeviceGuard() {
  // Unlock explicitly: a runner forked but not yet exec'd may still share
  // the open file, and closing alone would leave the lock to it.
  (void)::flock(lock_file_, LOCK_UN);
  (void)::close(lock_file_);
}

DeviceGuard device() {
  std::unique_lock process_lock(DEVICE);
  const std::string& path = device_lock_path();
  const int fd = open_lock_file(path.c_str());
  if (fd < 0) fail("open device lock file " + path + ": " + os_error_display(errno));
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    (void)::close(fd);
    fail("lock device lock file " + path + ": " + os_error_display(error));
  }
  return DeviceGuard(std::move(process_lock), fd);
}

}  // namespace kivu_e2e
