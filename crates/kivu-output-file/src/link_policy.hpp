// The naming and link policy of output files: which file a path names, how
// a write reaches it (replacing it, or writing through a link to a device
// or pipe), and which paths are refused.
//
// A path is resolved here, one component at a time, never by the kernel in
// one go: every symbolic link on the way, in a folder of the path as well as
// at its end, is checked against the kernel's fs.protected_symlinks rule
// before it is followed, whatever the sysctl says. Every file operation
// then goes through a descriptor of the target's directory and the target's
// bare name, so the directory is the same one from the first look at the
// target to the final rename, and no temporary name is ever longer than the
// target's path allows.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "descriptor.hpp"
#include "kivu_output_file/output_file.hpp"

namespace kivu_output_file::detail {

// The file to write: its directory, held open, and its name in it.
struct Target {
  Descriptor directory;
  std::string name;
};

// Opens the directory of `path`, walking it component by component, and
// checks the name: ENOENT for an empty path, EISDIR for one without a file
// name, ENAMETOOLONG beyond NAME_MAX or PATH_MAX. A link on the way that may
// not be followed (may_follow) is refused (ProtectedLink). The name itself is
// not looked at.
[[nodiscard]] std::expected<Target, OutputError> open_target(const std::filesystem::path& path);

// How a write to a path reaches its file.
struct Route {
  // Through: the links at the path lead to `target`, a file of type `type`
  // that is written in place; `own_descriptor` is the descriptor of this
  // process that the last link (one of /proc) stands for, or -1. Replace: the
  // file (or link, or nothing) at `target` is replaced, or written in place
  // when it is a special file.
  enum class Way { Through, Replace } way = Way::Replace;
  Target target;
  mode_t type = 0;
  bool through_kernel = false;  // `target` is a link of /proc, followed by the kernel
  int own_descriptor = -1;
};

// Chooses the way to the file at `path`. A link is replaced (under Replace)
// only when it leads to a regular file or to nothing: a link to a device, a
// pipe or a directory, or one through /proc (a regular file reached through
// /dev/stdout included), is written through, because replacing it would
// change what the link means to every other program, or lose what others
// wrote into the open file. A link the process may not follow (may_follow) is
// then refused, as is any such link under Follow. Nothing is created or
// replaced in a kernel file system (/proc, /sys).
[[nodiscard]] std::expected<Route, OutputError> route(const std::filesystem::path& path, OutputLink link);

// Refuses what is never written: a directory (EISDIR) or a block device.
[[nodiscard]] Status refuse_unwritable(mode_t type);

// Refuses, by the kernel's fs.protected_fifos and fs.protected_regular rules
// (kept whatever the sysctls say), to write into or replace the FIFO or
// regular file `file` under `target.directory` when that directory is sticky
// and world-writable and the file belongs to neither this process's user nor
// the directory's owner: another user put it there to be written.
[[nodiscard]] Status refuse_foreign_file(const Target& target, const struct stat& file);

// The status of `name` under `directory`, not following a link; nothing
// when it does not exist.
[[nodiscard]] std::expected<std::optional<struct stat>, OutputError> status_of(const Target& target);

}  // namespace kivu_output_file::detail
