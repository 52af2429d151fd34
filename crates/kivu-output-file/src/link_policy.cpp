// The naming and link policy of output files (see link_policy.hpp).
#include "link_policy.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <deque>
#include <utility>

#include "kivu_base/expected.hpp"

namespace kivu_output_file::detail {

namespace {

namespace fs = std::filesystem;

// As many links as the kernel follows in one path.
constexpr int max_links = 40;

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

// A sticky directory that everyone may write (/tmp): the kernel's protected_*
// rules apply to what lies in it.
bool sticky_and_world_writable(const struct stat& directory) noexcept {
  return (directory.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

// Whether a file of `owner` in `directory` counts as this process's own by
// the kernel's rules: outside a sticky world-writable directory any file,
// inside one only a file of the process's user or of the directory's owner.
bool owned_here(const struct stat& directory, uid_t owner) noexcept {
  if (!sticky_and_world_writable(directory)) return true;
  return owner == ::geteuid() || owner == directory.st_uid;
}

// Whether this process may follow the symbolic link `link` in `directory`
// (the kernel's fs.protected_symlinks rule, whatever the sysctl says): a link
// that someone else planted in /tmp is never followed.
bool may_follow(int directory, const struct stat& link) noexcept {
  struct stat status {};
  if (::fstat(directory, &status) != 0) return false;
  return owned_here(status, link.st_uid);
}

Descriptor open_directory(int at, const char* name, int follow = 0) noexcept {
  return open_at(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC | follow);
}

// The parts of a path between its slashes, without the empty and "." ones.
std::deque<std::string> components(const std::string& path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

// The text of the symbolic link `name` under `directory`.
std::expected<std::string, OutputError> link_text(int directory, const char* name) {
  std::string text(PATH_MAX, '\0');
  const ssize_t length = ::readlinkat(directory, name, text.data(), text.size());
  if (length < 0) return os_failure(errno);
  if (static_cast<std::size_t>(length) >= text.size()) return os_failure(ENAMETOOLONG);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// Resolves `path`, relative to the directory `at` (or AT_FDCWD), up to its
// last component as the kernel would, but by itself: each folder is opened
// without following a link, and a link met on the way is followed only when
// may_follow allows (else ProtectedLink). A link of /proc (/proc/self,
// /dev/fd's /proc/self/fd/N) is followed by the kernel: it names an open
// file or a process, not a path. `links` counts the links followed, up to
// max_links (ELOOP). A path that ends in a folder itself ("/", "a/..") is
// EISDIR.
std::expected<Target, OutputError> walk(int at, const std::string& path, int& links) {
  Descriptor directory = open_directory(at, path.starts_with('/') ? "/" : ".");
  if (!directory) return os_failure(errno);
  std::deque<std::string> rest = components(path);
  while (rest.size() > 1) {
    const std::string part = std::move(rest.front());
    rest.pop_front();
    Descriptor next = open_at(directory.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (!next || ::fstat(next.get(), &status) != 0) return os_failure(errno);
    if (S_ISLNK(status.st_mode)) {
      if (++links > max_links) return os_failure(ELOOP);
      if (!may_follow(directory.get(), status)) return refusal(OutputRefusal::ProtectedLink);
      if (file_system_type(directory.get()) == PROC_SUPER_MAGIC) {
        next = open_directory(directory.get(), part.c_str(), 0);
        if (!next) return os_failure(errno);
        directory = std::move(next);
        continue;
      }
      auto text = link_text(next.get(), "");
      if (!text) return std::unexpected(std::move(text.error()));
      std::deque<std::string> inserted = components(*text);
      rest.insert(rest.begin(), inserted.begin(), inserted.end());
      if (text->starts_with('/')) {
        directory = open_directory(AT_FDCWD, "/");
        if (!directory) return os_failure(errno);
      }
      continue;
    }
    if (!S_ISDIR(status.st_mode)) return os_failure(ENOTDIR);
    directory = std::move(next);
  }
  if (rest.empty() || rest.front() == "..") return os_failure(EISDIR);
  return Target{std::move(directory), std::move(rest.front())};
}

// Where the chain of symbolic links at a target leads.
struct LinkChain {
  bool followable = true;       // every link of it may be followed (may_follow)
  bool through_kernel = false;  // it ends in a link of /proc, which the kernel follows
  Target end;                   // the first file that is not a link, or does not exist
  std::optional<mode_t> type;   // the type of the file at the end; nothing when none is there
};

// Follows the chain of symbolic links at `start`. A link of /proc to an open
// file (/proc/self/fd/1) has no path of its own to go on with: the kernel
// follows it to name the type, and the chain ends there, at the link.
std::expected<LinkChain, OutputError> follow_chain(Target start) {
  LinkChain chain;
  chain.end = std::move(start);
  for (int links = 0; links <= max_links;) {
    const int directory = chain.end.directory.get();
    const char* name = chain.end.name.c_str();
    struct stat status {};
    if (::fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return chain;
      return os_failure(errno);
    }
    if (!S_ISLNK(status.st_mode)) {
      chain.type = status.st_mode & S_IFMT;
      return chain;
    }
    if (!may_follow(directory, status)) chain.followable = false;
    if (file_system_type(directory) == PROC_SUPER_MAGIC) {
      struct stat followed {};
      if (::fstatat(directory, name, &followed, 0) != 0) return os_failure(errno);
      chain.through_kernel = true;
      chain.type = followed.st_mode & S_IFMT;
      return chain;
    }
    ++links;
    auto text = link_text(directory, name);
    if (!text) return std::unexpected(std::move(text.error()));
    auto next = walk(directory, *text, links);
    if (!next) return std::unexpected(std::move(next.error()));
    chain.end = std::move(*next);
  }
  return os_failure(ELOOP);
}

// The descriptor of this process that the link `target` of /proc stands for
// (/proc/self/fd/N, /dev/stdout), when it is open for writing; else -1.
int own_descriptor(const Target& target) noexcept {
  int number = -1;
  const std::string& name = target.name;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (error != std::errc() || end != name.data() + name.size() || number < 0) return -1;
  struct stat own {};
  struct stat directory {};
  if (::stat("/proc/self/fd", &own) != 0 || ::fstat(target.directory.get(), &directory) != 0) return -1;
  if (own.st_dev != directory.st_dev || own.st_ino != directory.st_ino) return -1;
  const int flags = ::fcntl(number, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return -1;
  return number;
}

// Refuses to create or replace anything in a kernel file system.
Status refuse_kernel_directory(const Target& target) {
  if (is_kernel_file_system(file_system_type(target.directory.get()))) {
    return refusal(OutputRefusal::KernelFileSystem);
  }
  return {};
}

}  // namespace

std::expected<Target, OutputError> open_target(const fs::path& path) {
  if (path.empty()) return os_failure(ENOENT);
  if (!path.has_filename()) return os_failure(EISDIR);
  if (path.filename().native().size() > NAME_MAX || path.native().size() >= PATH_MAX) {
    return os_failure(ENAMETOOLONG);
  }
  int links = 0;
  return walk(AT_FDCWD, path.native(), links);
}

std::expected<Route, OutputError> route(const fs::path& path, OutputLink link) {
  KIVU_ASSIGN_OR_RETURN(Target start, open_target(path));
  struct stat status {};
  if (::fstatat(start.directory.get(), start.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISLNK(status.st_mode)) {
    KIVU_RETURN_IF_ERROR(refuse_kernel_directory(start));
    return Route{Route::Way::Replace, std::move(start)};
  }
  // The link itself, should it be replaced.
  Target at_link{open_directory(start.directory.get(), "."), start.name};
  if (!at_link.directory) return os_failure(errno);
  auto chain = follow_chain(std::move(start));
  if (!chain) {
    // A loop of links leads nowhere: a link of it is replaced as a dangling one.
    if (link == OutputLink::Replace && os_code_of(chain.error()) == ELOOP) {
      KIVU_RETURN_IF_ERROR(refuse_kernel_directory(at_link));
      return Route{Route::Way::Replace, std::move(at_link)};
    }
    return std::unexpected(std::move(chain.error()));
  }
  const bool special = chain->type && *chain->type != S_IFREG;
  if (link == OutputLink::Replace && !special && !chain->through_kernel) {
    KIVU_RETURN_IF_ERROR(refuse_kernel_directory(at_link));
    return Route{Route::Way::Replace, std::move(at_link)};
  }
  if (!chain->followable) {
    return refusal(link == OutputLink::Replace ? OutputRefusal::ProtectedLinkToSpecialFile
                                               : OutputRefusal::ProtectedLink);
  }
  if (special || chain->through_kernel) {
    Route through{Route::Way::Through, std::move(chain->end), *chain->type, chain->through_kernel};
    if (through.through_kernel) {
      if (through.type == S_IFREG) through.own_descriptor = own_descriptor(through.target);
    } else {
      // Before opening it: a FIFO's open waits for a reader.
      KIVU_ASSIGN_OR_RETURN(const auto existing, status_of(through.target));
      if (existing) KIVU_RETURN_IF_ERROR(refuse_foreign_file(through.target, *existing));
    }
    return through;
  }
  KIVU_RETURN_IF_ERROR(refuse_kernel_directory(chain->end));
  return Route{Route::Way::Replace, std::move(chain->end)};
}

Status refuse_unwritable(mode_t type) {
  if (type == S_IFDIR) return os_failure(EISDIR);
  if (type == S_IFBLK) return std::unexpected(OutputError(block_device_refused()));
  return {};
}

Status refuse_foreign_file(const Target& target, const struct stat& file) {
  if (!S_ISFIFO(file.st_mode) && !S_ISREG(file.st_mode)) return {};
  struct stat directory {};
  if (::fstat(target.directory.get(), &directory) != 0) return os_failure(errno);
  if (!owned_here(directory, file.st_uid)) return refusal(OutputRefusal::ProtectedFile);
  return {};
}

std::expected<std::optional<struct stat>, OutputError> status_of(const Target& target) {
  struct stat status {};
  if (::fstatat(target.directory.get(), target.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return status;
  if (errno == ENOENT) return std::nullopt;
  return os_failure(errno);
}

}  // namespace kivu_output_file::detail
