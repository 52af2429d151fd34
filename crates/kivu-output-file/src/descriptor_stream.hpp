// Streaming a writer's output into a file descriptor, keeping the operating
// system's reason when a write fails.
#pragma once

#include <signal.h>

#include <ostream>

#include "descriptor.hpp"
#include "kivu_output_file/output_file.hpp"

namespace kivu_output_file::detail {

// Runs `write` on `stream` and flushes it; an exception escaping either
// becomes the error it stands for: a stream's failure its error code, out of
// memory ENOMEM, anything else a writer failure that quotes the exception.
[[nodiscard]] Status run_writer(const OutputWriter& write, std::ostream& stream);

// Runs `write` on a stream over `fd` and flushes it. The operating system's
// reason for a failed write wins over whatever `write` made of it.
[[nodiscard]] Status stream_into(int fd, const OutputWriter& write);

// Keeps a reader that went away from killing the process with SIGPIPE while
// this thread writes to a FIFO: the write fails with EPIPE instead, and the
// signal it raised is taken back.
class SigpipeHeld {
public:
  SigpipeHeld() noexcept;
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;
  ~SigpipeHeld();

private:
  sigset_t pipe_{};
  sigset_t previous_{};
  bool was_pending_ = false;
};

}  // namespace kivu_output_file::detail
