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

#include "kivu_base/descriptor.hpp"
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

// The workspace's owned descriptor (kivu_base/descriptor.hpp).
using kivu_base::Descriptor;

// Closes `file` now; a failure (a late write error on some filesystems) is
// the write's failure.
inline Status close_written(Descriptor& file) noexcept {
  if (auto closed = file.close(); !closed) return os_failure(closed.error());
  return {};
}

// Opens `name` under `directory` with kivu_base::open_at (retried when a
// signal interrupts a blocking open, as a FIFO waiting for its reader
// does): the descriptor, or none with errno saying why, as the code here
// reads the failures of the calls around it.
inline Descriptor open_at(int directory, const char* name, int flags, mode_t mode = 0) noexcept {
  auto opened = kivu_base::open_at(directory, name, flags, mode);
  if (!opened) {
    errno = opened.error();
    return {};
  }
  return std::move(*opened);
}

}  // namespace kivu_output_file::detail
