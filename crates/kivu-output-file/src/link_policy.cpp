// The naming and link policy of output files (see link_policy.hpp).
#include "link_policy.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

namespace kivu_output_file::detail {

namespace {

namespace fs = std::filesystem;

// The file system type of the file open as `fd`, or 0 when unknown.
std::uint64_t file_system_type(int fd) noexcept {
  struct statfs status {};
  if (::fstatfs(fd, &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.f_type);
}

// The kernel's own file systems, whose files are controls and views of the
// running system: nothing is ever created or replaced in them.
bool is_kernel_file_system(std::uint64_t type) noexcept {
  switch (type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC: return true;
    default: return false;
  }
}

// The directory holding `path`, as the kernel resolves it.
fs::path directory_of(const fs::path& path) {
  const fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// Whether this process may follow the symbolic link `status` in the
// directory `directory` by the rule of the kernel's fs.protected_symlinks:
// outside a sticky world-writable directory any link, inside one only a
// link of its own or of the directory's owner. A link planted in /tmp by
// someone else is thus never followed, whatever the sysctl says.
bool may_follow(const struct stat& directory, const struct stat& status) noexcept {
  if ((directory.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
  return status.st_uid == ::geteuid() || status.st_uid == directory.st_uid;
}

// Where the chain of symbolic links at a path leads.
struct LinkChain {
  bool followable = true;       // every link of it may be followed (may_follow)
  bool through_kernel = false;  // it passes a link of /proc (/dev/stdout does)
  bool in_place = false;        // it ends in an open file of no name of its own
  fs::path end;                 // the first path that is not a link, or does not exist
  std::optional<mode_t> type;   // the type of the file at the end; nothing when none is there
};

// Follows the chain of symbolic links at `path`. A link of /proc to an open
// pipe, socket or device (/proc/self/fd/1) has no path of its own to go on
// with: the kernel follows it to name the type, and the chain ends there.
std::expected<LinkChain, OutputError> follow_chain(const fs::path& path) {
  constexpr int max_links = 40;  // as the kernel allows
  LinkChain chain;
  chain.end = path;
  std::string text(PATH_MAX, '\0');
  for (int hop = 0; hop <= max_links; ++hop) {
    struct stat status {};
    if (::lstat(chain.end.c_str(), &status) != 0) {
      if (errno == ENOENT) return chain;
      return os_failure(errno);
    }
    if (!S_ISLNK(status.st_mode)) {
      chain.type = status.st_mode & S_IFMT;
      return chain;
    }
    const Descriptor directory = open_at(AT_FDCWD, directory_of(chain.end).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat directory_status {};
    if (!directory || ::fstat(directory.get(), &directory_status) != 0) return os_failure(errno);
    if (!may_follow(directory_status, status)) chain.followable = false;
    const bool kernel_link = file_system_type(directory.get()) == PROC_SUPER_MAGIC;
    struct stat followed {};
    bool open_regular = false;
    if (kernel_link) {
      chain.through_kernel = true;
      if (::stat(chain.end.c_str(), &followed) == 0) {
        if (!S_ISREG(followed.st_mode)) {
          chain.type = followed.st_mode & S_IFMT;
          return chain;
        }
        open_regular = true;
      }
    }
    const ssize_t length = ::readlink(chain.end.c_str(), text.data(), text.size());
    if (length < 0) return os_failure(errno);
    if (static_cast<std::size_t>(length) >= text.size()) return os_failure(ENAMETOOLONG);
    const fs::path next(text.substr(0, static_cast<std::size_t>(length)));
    const fs::path previous = std::exchange(chain.end, next.is_absolute() ? next : chain.end.parent_path() / next);
    // An open regular file that its name no longer reaches (deleted, or of
    // another mount namespace: "/tmp/x (deleted)") is written in place.
    struct stat named {};
    if (open_regular && (::lstat(chain.end.c_str(), &named) != 0 || named.st_dev != followed.st_dev ||
                         named.st_ino != followed.st_ino)) {
      chain.end = previous;
      chain.type = S_IFREG;
      chain.in_place = true;
      return chain;
    }
  }
  return os_failure(ELOOP);
}

}  // namespace

std::expected<Target, OutputError> open_target(const fs::path& path) {
  if (path.empty()) return os_failure(ENOENT);
  if (!path.has_filename()) return os_failure(EISDIR);
  std::string name = path.filename().string();
  if (name.size() > NAME_MAX || path.native().size() >= PATH_MAX) return os_failure(ENAMETOOLONG);
  const fs::path parent = path.parent_path();
  Descriptor directory = open_at(AT_FDCWD, parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (!directory) return os_failure(errno);
  if (is_kernel_file_system(file_system_type(directory.get()))) return refusal(OutputRefusal::KernelFileSystem);
  return Target{std::move(directory), std::move(name)};
}

std::expected<Route, OutputError> route(const fs::path& path, OutputLink link) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return Route{Route::Way::Replace, path};
  auto chain = follow_chain(path);
  if (!chain) {
    // A loop of links leads nowhere: a link of it is replaced as a dangling one.
    if (link == OutputLink::Replace && os_code_of(chain.error()) == ELOOP) return Route{Route::Way::Replace, path};
    return std::unexpected(std::move(chain.error()));
  }
  const bool special = (chain->type && *chain->type != S_IFREG) || chain->in_place;
  if (link == OutputLink::Replace && !special && !chain->through_kernel) return Route{Route::Way::Replace, path};
  if (!chain->followable) {
    return refusal(link == OutputLink::Replace ? OutputRefusal::ProtectedLinkToSpecialFile
                                               : OutputRefusal::ProtectedLink);
  }
  if (special) return Route{Route::Way::Through, path, *chain->type};
  return Route{Route::Way::Replace, std::move(chain->end)};
}

Status refuse_unwritable(mode_t type) {
  if (type == S_IFDIR) return os_failure(EISDIR);
  if (type == S_IFBLK) return std::unexpected(OutputError(block_device_refused()));
  return {};
}

std::expected<std::optional<struct stat>, OutputError> status_of(const Target& target) {
  struct stat status {};
  if (::fstatat(target.directory.get(), target.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return status;
  if (errno == ENOENT) return std::nullopt;
  return os_failure(errno);
}

}  // namespace kivu_output_file::detail
