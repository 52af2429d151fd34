// The naming and link policy of output files: which file a path names, how
// a write reaches it (replacing it, or writing through a link to a device
// or pipe), and which paths are refused.
//
// Every file operation goes through a descriptor of the target's directory
// and the target's bare name, so the directory is the same one from the
// first look at the target to the final rename, and no temporary name is
// ever longer than the target's path allows.
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

// Opens the directory of `path` and checks the name: ENOENT for an empty
// path, EISDIR for one without a file name, ENAMETOOLONG beyond NAME_MAX or
// PATH_MAX; a directory in a kernel file system (/proc, /sys) is refused.
[[nodiscard]] std::expected<Target, OutputError> open_target(const std::filesystem::path& path);

// How a write to a path reaches its file.
struct Route {
  // Through: the kernel follows the links at `path` to a file of type `type`
  // that is written in place. Replace: the file (or link, or nothing) at
  // `path` is replaced, or written in place when it is a special file.
  enum class Way { Through, Replace } way = Way::Replace;
  std::filesystem::path path;
  mode_t type = 0;
};

// Chooses the way to the file at `path`. A link is replaced (under Replace)
// only when it leads to a regular file or to nothing: a link to a device, a
// pipe or a directory, or one through /proc, is written through, because
// replacing it would change what the link means to every other program
// (/dev/stdout). A link the process may not follow (may_follow) is then
// refused, as is any such link under Follow.
[[nodiscard]] std::expected<Route, OutputError> route(const std::filesystem::path& path, OutputLink link);

// Refuses what is never written: a directory (EISDIR) or a block device.
[[nodiscard]] Status refuse_unwritable(mode_t type);

// The status of `name` under `directory`, not following a link; nothing
// when it does not exist.
[[nodiscard]] std::expected<std::optional<struct stat>, OutputError> status_of(const Target& target);

}  // namespace kivu_output_file::detail
