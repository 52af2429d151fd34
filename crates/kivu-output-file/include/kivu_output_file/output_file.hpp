// Output files: the one way the workspace writes a file that a user named.
//
// A reader of the file never sees half of it. An existing regular file (or a
// path that does not exist yet) is replaced atomically: the new content goes
// into an unnamed file in the same directory (O_TMPFILE), which is flushed to
// disk and only then given the name, so a writer killed at any point, even by
// SIGKILL, leaves the directory as it was. Filesystems without unnamed files
// get a named temporary file instead, created exclusively under a short name
// of its own (so any name that fits can be written), removed on failure and
// by remove_output_temporaries(); a writer killed outright there leaves that
// file (".kivu-" and 16 hex digits) beside the target, which stays as it was.
//
// Special files are written, never replaced: a character device or a FIFO is
// opened and written directly (/dev/null stays /dev/null, /dev/full reports
// "No space left on device"); a socket cannot be opened; a block device and a
// directory are refused. Nothing but a regular file or a symbolic link to a
// regular file (or to nothing) is ever unlinked or renamed over: a link to a
// device, a pipe or a directory, or one through /proc (/dev/stdout, also
// when standard output is a regular file: it is written in place, through
// the process's own descriptor when it has one), is written through. Links are followed only where the kernel's
// fs.protected_symlinks rule allows, whatever the sysctl says, on every link
// a path passes through, a folder of it as well as its end: a link in a
// sticky world-writable directory (/tmp) is followed only when it belongs to
// the process's user or to the directory's owner. By the kernel's
// fs.protected_fifos and fs.protected_regular rules, again whatever the
// sysctls say, a FIFO or regular file in such a directory is neither written
// nor replaced unless it belongs to one of those two. Nothing is created or
// replaced in the kernel's own file systems (/proc, /sys and the like).
//
// Nothing here throws, aborts or prints; failures are OutputError values
// (kivu_output_file/output_error.hpp) carrying the operating system's error
// code, a refusal of the library's own, or what the writer reported.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "kivu_output_file/output_error.hpp"

namespace kivu_output_file {

// =============================================================================
// Writing

// What happens to a symbolic link found at the output path.
enum class OutputLink {
  Replace,  // a link to a regular file or to nothing is replaced by the new
            // file, its target untouched; any other link is written through
            // as under Follow, or refused when it may not be followed
  Follow,   // the chain of links is followed to its final target (created when
            // it does not exist), which is replaced; the links stay. A chain
            // that ends in a device or pipe (/dev/stdout) is written through.
            // A link that may not be followed is refused
};

// Streams the file's content into the given stream. A failure it returns, a
// message for the user, is passed on by write_output_file as the writer's
// failure, unless the stream itself failed first, in which case the
// operating system's reason is reported instead.
using OutputWriter = std::function<std::expected<void, std::string>(std::ostream&)>;

// Writes the file at `path` with what `write` streams into it, as described
// above. Operating-system failures give their errno (a full disk gives
// ENOSPC "No space left on device", never a bare stream failure). On any
// failure `path` is left as it was and no temporary file remains. A
// replaced regular file keeps its permission bits and, where the process may
// set them (as root), its owner and group; a new file gets 0666 & ~umask.
// An exception escaping `write` is caught: out of memory gives ENOMEM,
// anything else a writer's failure that quotes the exception.
[[nodiscard]] std::expected<void, OutputError> write_output_file(const std::filesystem::path& path,
                                                                 const OutputWriter& write,
                                                                 OutputLink link = OutputLink::Replace) noexcept;

// Writes the output a command line named: for "-" into `standard_output`,
// flushed (a failure gives the operating system's reason, EIO when it left
// none), otherwise the file at `path` through write_output_file with
// `link`. Command-line tools follow a link given as their output, as
// compilers do, hence the default.
[[nodiscard]] std::expected<void, OutputError> write_command_output(const std::filesystem::path& path,
                                                                    const OutputWriter& write,
                                                                    std::ostream& standard_output,
                                                                    OutputLink link = OutputLink::Follow) noexcept;

// The same for an output whose whole text is ready: writes `text`.
[[nodiscard]] std::expected<void, OutputError> write_command_text(const std::filesystem::path& path,
                                                                  std::string_view text, std::ostream& standard_output,
                                                                  OutputLink link = OutputLink::Follow) noexcept;

// True when `path` names standard output ("-") for write_command_output.
[[nodiscard]] bool names_standard_output(const std::filesystem::path& path) noexcept;

// True when `path` leads, through any links, to the very file open as `fd`:
// /dev/stdout for descriptor 1, or the file or pipe that standard output
// goes to. A producer writing its output there keeps its own messages off
// that descriptor.
[[nodiscard]] bool leads_to_open_file(const std::filesystem::path& path, int fd) noexcept;

// =============================================================================
// Checking before the work

// The checks a long-running producer makes before doing the work whose result
// goes to `path`, so that a bad path fails at once: the name fits (NAME_MAX,
// PATH_MAX), the path is not a directory, and either it is a character device
// or FIFO the process may write, or its directory exists, is a directory and
// is writable (by the process's effective ids; root passes permission bits
// but not a read-only filesystem). No file is created. Failures carry the
// reason, e.g. ENOENT, ENOTDIR, EISDIR, EACCES, EROFS, ENAMETOOLONG,
// or a refusal of the library's own (output_refused) for a link that may
// not be followed or a path in /proc or /sys.
[[nodiscard]] std::expected<void, OutputError> check_output_path(const std::filesystem::path& path,
                                                                 OutputLink link = OutputLink::Replace) noexcept;

// =============================================================================
// Interruption

// Unlinks the named temporary file of every write in progress, if any: the
// fallback for filesystems without unnamed files has one for the whole
// write; otherwise a finished file bears a temporary name only for the
// moment between naming it and renaming it over the file it replaces. Safe
// to call from a signal handler: meant for a program's SIGINT/SIGTERM
// handler, which then ends the program. The library installs no handler.
void remove_output_temporaries() noexcept;

}  // namespace kivu_output_file
