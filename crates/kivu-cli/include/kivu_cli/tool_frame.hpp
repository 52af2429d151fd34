// The frame around a workspace program's work: what kivu-profile,
// kivu-boards, kivu-results and the runners do alike before and after it.
//
//   - Exit statuses come from kivu_cli/exit_status.hpp.
//   - What escapes the work (an exception: out of memory, say) becomes one
//     line, "<tool>: <what>", and exit status 1, never a crash.
//   - Standard output is flushed at the end; when anything written to it did
//     not get out (a full disk, a closed descriptor), the program says so in
//     one line with the system's reason, "<tool>: cannot write to standard
//     output: No space left on device", and exits with 1. A run that failed
//     (status 1) has said why already and adds no line.
//   - SIGINT and SIGTERM remove the temporary file of an output being
//     written (kivu_output_file), then end the process as the signal would
//     have, so that the exit status still shows it.
//   - SIGBUS from a mapped file cut short while it is read (truncated in
//     place by another program, rather than replaced atomically) becomes
//     one line, "<tool>: cannot read NAME: the file changed while it was
//     read", the temporary output is removed and the status is 1. The
//     handler only writes and calls _exit, both safe in a signal handler;
//     no work is resumed on memory that is gone. A SIGBUS of any other
//     origin (sent by another process, an access that is not past a file's
//     end) keeps its default action.
//
// Values inside messages are quoted in one form, kivu_debug_form's
// debug_quoted.
//
//   int main(int argc, char** argv) {
//     return kivu_cli::run_tool("kivu-boards", argc, argv,
//                               [](std::span<const std::string> args, std::ostream& out, std::ostream& err) {
//                                 return kivu_boards::run(args, ..., out, err);
//                               });
//   }
#pragma once

#include <exception>
#include <expected>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "kivu_cli/exit_status.hpp"

namespace kivu_cli {

// A tool's work: its arguments (without the program name), standard output
// and standard error; returns the exit status.
using ToolWork = std::function<int(std::span<const std::string> args, std::ostream& out, std::ostream& err)>;

// Runs `work` in the frame described above as the tool `tool`, with
// std::cout and std::cerr, and returns the process's exit status.
[[nodiscard]] int run_tool(std::string_view tool, int argc, const char* const* argv, const ToolWork& work);

// What escaped a piece of work: the exception's what(), or "unknown
// exception" for one that is no std::exception.
struct Escaped {
  std::string what;
};

// Calls `work` and returns its result, or what escaped it.
template <typename Work>
[[nodiscard]] auto catch_escapes(Work&& work) -> std::expected<std::invoke_result_t<Work>, Escaped> {
  using Result = std::invoke_result_t<Work>;
  try {
    if constexpr (std::is_void_v<Result>) {
      std::forward<Work>(work)();
      return {};
    } else {
      return std::forward<Work>(work)();
    }
  } catch (const std::exception& error) {
    return std::unexpected(Escaped{error.what()});
  } catch (...) {
    return std::unexpected(Escaped{"unknown exception"});
  }
}

// Flushes standard output (std::cout and C's stdout) and tells whether all
// that was written to it got out: nothing when it did, otherwise the reason,
// "cannot write to standard output", followed by ": " and the system's
// description when the failed write left one in errno.
[[nodiscard]] std::optional<std::string> standard_output_failure();

// The exit status of a run that ended with `status`, once standard output
// is flushed: `status` when everything got out; otherwise exit_failure,
// after writing "<tool>: <reason>" to `err` unless the run had failed
// already (status exit_failure).
[[nodiscard]] int finish_standard_output(std::string_view tool, int status, std::ostream& err);

// Installs the SIGINT and SIGTERM clean-up of temporary output files.
void install_output_cleanup() noexcept;

// Installs the SIGBUS handler for mapped files, naming `tool` in its line
// (a name longer than the line's buffer is cut). Call once, before any file
// is mapped.
void install_mapped_file_guard(std::string_view tool) noexcept;

// Both of the above; run_tool calls it first.
void install_signal_handlers(std::string_view tool) noexcept;

// Names the file being read through a mapping, for the SIGBUS line
// ("standard input" or its path; a name longer than the handler's buffer is
// cut). A tool maps one file at a time, so the last one named is the one
// read.
void note_file_being_read(std::string_view name) noexcept;

}  // namespace kivu_cli
