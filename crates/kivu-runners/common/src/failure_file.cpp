// The failing lines handed to the suite (see kivu_runner/failure_file.hpp).
#include "kivu_runner/failure_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "kivu_base/descriptor.hpp"

namespace kivu_runner {

void append_failure_lines(std::string_view lines) noexcept {
  const char* path = std::getenv(failure_file_variable);
  if (path == nullptr || *path == '\0') return;
  // No O_CREAT: the file is the starter's. O_NONBLOCK: a FIFO must not hold
  // a failing runner up.
  const auto file = kivu_base::open_file(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
  if (!file) return;
  struct stat status {};
  if (::fstat(file->get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid()) {
    // Best effort: a runner that cannot hand its lines over still fails.
    (void)kivu_base::write_all(file->get(), lines.data(), lines.size());
  }
}

}  // namespace kivu_runner
