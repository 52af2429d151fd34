// The output-file writer: atomic replacement through an unnamed file (or a
// registered named temporary file), and direct writes to character devices
// and FIFOs (see kivu_output_file/output_file.hpp). Which file a path names
// and how it is reached is link_policy.cpp's; the stream into the file is
// descriptor_stream.cpp's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>

#include "descriptor.hpp"
#include "descriptor_stream.hpp"
#include "kivu_base/expected.hpp"
#include "link_policy.hpp"
#include "output_file_detail.hpp"
#include "temporary_names.hpp"

namespace kivu_output_file {

namespace detail {

namespace {

namespace fs = std::filesystem;

// Makes the directory entries made so far durable. Best effort: the file is
// already in place.
void sync_directory(int directory) {
  const Descriptor readable = open_at(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable) static_cast<void>(::fsync(readable.get()));
}

// =============================================================================
// Writing a special file directly

// Writes the character device or FIFO at `target` in place, or under
// `route` the file that the route's links lead to (a regular one too). A
// link of /proc is followed by the kernel; no other link is followed. A
// regular file reached that way is truncated first, as a shell's ">" would,
// unless it is open in this process, whose own descriptor is then written
// (sharing its offset: "runner >> log" appends). Nothing when the path
// turned out to be something else by the time it was opened (nothing was
// written; the caller looks again).
std::optional<Status> write_directly(const Target& target, const OutputWriter& write, const Route* route = nullptr) {
  const bool through_kernel = route != nullptr && route->through_kernel;
  const bool regular = route != nullptr && route->type == S_IFREG;
  Descriptor file;
  if (route != nullptr && route->own_descriptor >= 0) {
    file = Descriptor(::fcntl(route->own_descriptor, F_DUPFD_CLOEXEC, 0));
  } else {
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (through_kernel ? 0 : O_NOFOLLOW) | (regular ? O_TRUNC : 0);
    file = open_at(target.directory.get(), target.name.c_str(), flags);
  }
  if (!file) return os_failure(errno);  // a socket: ENXIO
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return os_failure(errno);
  if (!S_ISCHR(status.st_mode) && !S_ISFIFO(status.st_mode) && !(regular && S_ISREG(status.st_mode))) {
    return std::nullopt;
  }
  if (!through_kernel) KIVU_RETURN_IF_ERROR(refuse_foreign_file(target, status));
  Status written;
  {
    const SigpipeHeld held;
    written = stream_into(file.get(), write);
  }
  if (!written) return written;
  return close_written(file);
}

// =============================================================================
// Replacing a regular file

// Gives the new file the owner, group and permission bits of the file it
// replaces. The owner and group are kept where the process may set them (as
// root; the group also where the user belongs to it), else the writer's stay.
Status keep_owner_and_mode(int fd, const struct stat& replaced) {
  if (::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
    static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid));
  }
  // After the owner: a change of owner clears set-user-ID and set-group-ID.
  if (::fchmod(fd, replaced.st_mode & 07777) != 0) return os_failure(errno);
  return {};
}

// Names the unnamed file `fd` as `name` under `directory`. Fails with EEXIST
// when the name is taken.
int link_unnamed(int fd, int directory, const char* name) noexcept {
  std::array<char, 32> proc_path{};
  std::snprintf(proc_path.data(), proc_path.size(), "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, proc_path.data(), directory, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  // Without /proc; this one needs CAP_DAC_READ_SEARCH.
  if (::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) return 0;
  return errno;
}

// Gives the finished unnamed file the target's name: straight away when the
// name is free, else through a temporary name renamed over the target.
Status name_unnamed(int fd, const Target& target, bool target_exists) {
  const int directory = target.directory.get();
  if (!target_exists) {
    const int linked = link_unnamed(fd, directory, target.name.c_str());
    if (linked == 0) return {};
    if (linked != EEXIST) return os_failure(linked);
  }
  for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
    TemporaryName temporary(directory);
    const int linked = link_unnamed(fd, directory, temporary.get());
    if (linked == EEXIST) {
      temporary.kept();  // somebody else's file
      continue;
    }
    if (linked != 0) return os_failure(linked);
    if (::renameat(directory, temporary.get(), directory, target.name.c_str()) != 0) return os_failure(errno);
    temporary.kept();
    return {};
  }
  return os_failure(EEXIST);
}

// Replaces the regular file, symbolic link or nothing at the target with a
// new regular file holding what `write` streams.
Status replace(const Target& target, const OutputWriter& write, const std::optional<struct stat>& existing,
               detail::NewFile new_file) {
  const int directory = target.directory.get();
  Descriptor file;
  if (new_file == detail::NewFile::UnnamedWhenPossible) {
    file = open_at(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // Filesystems (and old kernels) without unnamed files say so in these ways.
    if (!file && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return os_failure(errno);
  }

  std::optional<TemporaryName> named;
  for (int attempt = 0; !file && attempt < temporary_name_attempts; ++attempt) {
    named.emplace(directory);
    file = open_at(directory, named->get(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file) break;
    const int error = errno;
    named->kept();  // not ours to remove
    named.reset();
    if (error != EEXIST) return os_failure(error);
  }
  if (!file) return os_failure(EEXIST);

  if (existing && S_ISREG(existing->st_mode)) KIVU_RETURN_IF_ERROR(keep_owner_and_mode(file.get(), *existing));
  KIVU_RETURN_IF_ERROR(stream_into(file.get(), write));
  if (::fsync(file.get()) != 0) return os_failure(errno);

  if (named) {
    KIVU_RETURN_IF_ERROR(close_written(file));
    if (::renameat(directory, named->get(), directory, target.name.c_str()) != 0) return os_failure(errno);
    named->kept();
  } else {
    KIVU_RETURN_IF_ERROR(name_unnamed(file.get(), target, existing.has_value()));
  }
  sync_directory(directory);
  return {};
}

// =============================================================================
// Dispatch

Status write_file(const fs::path& path, const OutputWriter& write, OutputLink link, detail::NewFile new_file) {
  // A file swapped for another kind between the look and the open is looked
  // at again.
  for (int look = 0; look < 4; ++look) {
    KIVU_ASSIGN_OR_RETURN(const Route way, route(path, link));
    if (way.way == Route::Way::Through) {
      KIVU_RETURN_IF_ERROR(refuse_unwritable(way.type));
      if (auto written = write_directly(way.target, write, &way)) return *written;
      continue;
    }
    const Target& target = way.target;
    KIVU_ASSIGN_OR_RETURN(const auto existing, status_of(target));
    if (existing) KIVU_RETURN_IF_ERROR(refuse_foreign_file(target, *existing));
    if (!existing || S_ISREG(existing->st_mode) || S_ISLNK(existing->st_mode)) {
      return replace(target, write, existing, new_file);
    }
    KIVU_RETURN_IF_ERROR(refuse_unwritable(existing->st_mode & S_IFMT));
    if (auto written = write_directly(target, write)) return *written;
  }
  return os_failure(EAGAIN);
}

// Checks that the existing file `name` under `directory`, not a regular file
// or a link, of type `type`, can be written in place (`flags` for faccessat).
Status check_special(mode_t type, int directory, const char* name, int flags) {
  KIVU_RETURN_IF_ERROR(refuse_unwritable(type));
  if (type == S_IFSOCK) return os_failure(ENXIO);  // what opening it would say
  if (::faccessat(directory, name, W_OK, AT_EACCESS | flags) != 0) return os_failure(errno);
  return {};
}

}  // namespace

}  // namespace detail

// =============================================================================
// Public entry points

std::expected<void, OutputError> detail::write_output_file(const std::filesystem::path& path, const OutputWriter& write,
                                                           OutputLink link, NewFile new_file) noexcept {
  try {
    return detail::write_file(path, write, link, new_file);
  } catch (...) {
    // Only allocation fails outside `write`, whose exceptions are caught.
    return detail::os_failure(ENOMEM);
  }
}

std::expected<void, OutputError> write_output_file(const std::filesystem::path& path, const OutputWriter& write,
                                                   OutputLink link) noexcept {
  return detail::write_output_file(path, write, link, detail::NewFile::UnnamedWhenPossible);
}

bool names_standard_output(const std::filesystem::path& path) noexcept { return path.native() == "-"; }

bool leads_to_open_file(const std::filesystem::path& path, int fd) noexcept {
  struct stat named {};
  struct stat open_file {};
  if (::stat(path.c_str(), &named) != 0 || ::fstat(fd, &open_file) != 0) return false;
  return named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
}

std::expected<void, OutputError> write_command_output(const std::filesystem::path& path, const OutputWriter& write,
                                                      std::ostream& standard_output, OutputLink link) noexcept {
  if (!names_standard_output(path)) return write_output_file(path, write, link);
  try {
    // A stale errno must never be shown as the reason of this write's failure.
    errno = 0;
    auto written = detail::run_writer(write, standard_output);
    // As for a file, the operating system's reason for a failed stream wins
    // over whatever `write` made of the failure.
    if (!standard_output && (written || errno != 0)) return detail::os_failure(errno != 0 ? errno : EIO);
    return written;
  } catch (...) {
    // Only building the error can fail here.
    return detail::os_failure(ENOMEM);
  }
}

std::expected<void, OutputError> write_command_text(const std::filesystem::path& path, std::string_view text,
                                                    std::ostream& standard_output, OutputLink link) noexcept {
  try {
    return write_command_output(
        path,
        [text](std::ostream& stream) -> std::expected<void, std::string> {
          stream << text;
          return {};
        },
        standard_output, link);
  } catch (...) {
    // Only making the writer can fail here.
    return detail::os_failure(ENOMEM);
  }
}

std::expected<void, OutputError> check_output_path(const std::filesystem::path& path, OutputLink link) noexcept {
  try {
    KIVU_ASSIGN_OR_RETURN(const detail::Route way, detail::route(path, link));
    const detail::Target& target = way.target;
    const int directory = target.directory.get();
    const char* name = target.name.c_str();
    if (way.way == detail::Route::Way::Through) {
      if (way.own_descriptor >= 0) return {};
      if (!way.through_kernel) {
        KIVU_ASSIGN_OR_RETURN(const auto existing, detail::status_of(target));
        if (existing) KIVU_RETURN_IF_ERROR(detail::refuse_foreign_file(target, *existing));
      }
      return detail::check_special(way.type, directory, name, way.through_kernel ? 0 : AT_SYMLINK_NOFOLLOW);
    }
    KIVU_ASSIGN_OR_RETURN(const auto existing, detail::status_of(target));
    if (existing) KIVU_RETURN_IF_ERROR(detail::refuse_foreign_file(target, *existing));
    if (existing && !S_ISREG(existing->st_mode) && !S_ISLNK(existing->st_mode)) {
      return detail::check_special(existing->st_mode & S_IFMT, directory, name, AT_SYMLINK_NOFOLLOW);
    }
    if (::faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) != 0) return detail::os_failure(errno);
    return {};
  } catch (...) {
    return detail::os_failure(ENOMEM);
  }
}

}  // namespace kivu_output_file
