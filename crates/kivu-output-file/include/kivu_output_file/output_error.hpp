// Why an output file could not be written.
//
// A write fails for one of three reasons: the operating system refused
// something (an errno: "No space left on device"), the library refused the
// path on its own account (a block device, a link it may not follow, a file
// that another user left in /tmp, a file in /proc or /sys: the error category
// "output file"), or the writer that
// streams the content reported a failure of its own, in its own words.
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

namespace kivu_output_file {

// The reason a write failed.
class OutputError {
public:
  // An operating-system failure, or a refusal of the library's own
  // (output_refused).
  OutputError(std::error_code code) noexcept : reason_(code) {}  // NOLINT(google-explicit-constructor)
  // A failure the writer reported, with its message.
  explicit OutputError(std::string writer_message) noexcept : reason_(std::move(writer_message)) {}

  // The error code of an operating-system failure or a refusal; nothing
  // when the writer failed.
  [[nodiscard]] std::optional<std::error_code> code() const noexcept {
    if (const auto* code = std::get_if<std::error_code>(&reason_)) return *code;
    return std::nullopt;
  }
  // The writer's message; nothing when the failure has an error code.
  [[nodiscard]] const std::string* writer_message() const noexcept { return std::get_if<std::string>(&reason_); }

  bool operator==(const OutputError&) const = default;

private:
  std::variant<std::error_code, std::string> reason_;
};

// The reason of a failed write in plain words, for a line addressed to a
// user: the error code's message ("No space left on device") or the
// writer's message.
[[nodiscard]] std::string output_failure_reason(const OutputError& error);

// Why the library refuses a path on its own account (not the operating
// system's).
enum class OutputRefusal {
  BlockDevice = 1,             // a block device
  ProtectedLink,               // under Follow, a link that may not be followed
  ProtectedLinkToSpecialFile,  // under Replace, a link to a file that is not
                               // regular, which may not be followed either
  KernelFileSystem,            // a file to create or replace in /proc, /sys...
  ProtectedFile,               // a FIFO or regular file that another user owns
                               // in a sticky world-writable directory
};

// The error of a refused path: the category "output file" and a message
// that says why ("refusing to write to a block device", ...).
[[nodiscard]] std::error_code output_refused(OutputRefusal reason) noexcept;

// output_refused(OutputRefusal::BlockDevice).
[[nodiscard]] std::error_code block_device_refused() noexcept;

}  // namespace kivu_output_file
