// Output files: atomic replacement through an unnamed file, direct writes to
// character devices and FIFOs, and the registry of named temporary files
// that a signal handler may remove.
//
// Every file operation goes through a descriptor of the target's directory
// and the target's bare name, so the directory is the same one from the
// first look at the target to the final rename, and no temporary name is
// ever longer than the target's path allows.
#include "output_file_detail.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <ios>
#include <new>
#include <optional>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

namespace kivu_package {

namespace {

namespace fs = std::filesystem;

using Status = std::expected<void, PackageError>;

std::unexpected<PackageError> os_failure(int code) {
  return std::unexpected(PackageError(PackageError::Io{std::error_code(code, std::system_category())}));
}

// The errno of an operating-system failure, or 0.
int os_code_of(const PackageError& error) noexcept {
  if (!error.is<PackageError::Io>()) return 0;
  const std::error_code& code = error.as<PackageError::Io>().error;
  return code.category() == std::system_category() ? code.value() : 0;
}

// =============================================================================
// Refusals of the library's own

class OutputFileCategory final : public std::error_category {
public:
  [[nodiscard]] const char* name() const noexcept override { return "output file"; }
  [[nodiscard]] std::string message(int code) const override {
    switch (static_cast<OutputRefusal>(code)) {
      case OutputRefusal::BlockDevice: return "refusing to write to a block device";
      case OutputRefusal::ProtectedLink:
        return "refusing to follow a symbolic link that another user owns in a sticky world-writable directory";
      case OutputRefusal::ProtectedLinkToSpecialFile:
        return "refusing to replace a symbolic link to a file that is not regular, or to follow it: another user "
               "owns it in a sticky world-writable directory";
      case OutputRefusal::KernelFileSystem: return "refusing to write into a kernel file system such as /proc or /sys";
    }
    return "refusing to write there";
  }
};

std::unexpected<PackageError> refusal(OutputRefusal reason) {
  return std::unexpected(PackageError(output_refused(reason)));
}

// =============================================================================
// Descriptors and the stream over them

// An owned file descriptor.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Closes the descriptor; a failure (a late write error on some
  // filesystems) is the write's failure. After EINTR the descriptor is
  // released all the same on Linux.
  Status close() noexcept {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) return os_failure(errno);
    return {};
  }

private:
  int fd_ = -1;
};

// Opens `name` under `directory`, retrying when a signal interrupts a
// blocking open (a FIFO waits for its reader).
Descriptor open_at(int directory, const char* name, int flags, mode_t mode = 0) noexcept {
  for (;;) {
    const int fd = ::openat(directory, name, flags, mode);
    if (fd >= 0 || errno != EINTR) return Descriptor(fd);
  }
}

// A stream buffer writing to a descriptor that keeps the first operating-
// system error, so that the reason outlives the stream's bare failure bits.
// Large writes bypass the buffer.
class DescriptorBuffer final : public std::streambuf {
public:
  explicit DescriptorBuffer(int fd) : fd_(fd), buffer_(buffer_size) { reset(); }

  // The errno of the first failed write, or 0.
  [[nodiscard]] int error() const noexcept { return error_; }

protected:
  int_type overflow(int_type ch) override {
    if (!drain()) return traits_type::eof();
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
    return ch;
  }

  std::streamsize xsputn(const char* data, std::streamsize count) override {
    if (count <= epptr() - pptr()) return put(data, count);
    if (!drain()) return 0;
    if (count < static_cast<std::streamsize>(buffer_size)) return put(data, count);
    return send(data, static_cast<std::size_t>(count)) ? count : 0;
  }

  int sync() override { return drain() ? 0 : -1; }

private:
  static constexpr std::size_t buffer_size = std::size_t{1} << 16;

  void reset() noexcept { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

  // Copies into the buffer, which has room for `count` bytes.
  std::streamsize put(const char* data, std::streamsize count) noexcept {
    std::memcpy(pptr(), data, static_cast<std::size_t>(count));
    pbump(static_cast<int>(count));
    return count;
  }

  bool drain() noexcept {
    const bool sent = send(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    reset();
    return sent;
  }

  bool send(const char* data, std::size_t size) noexcept {
    if (error_ != 0) return false;
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        error_ = written < 0 ? errno : EIO;
        return false;
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    return true;
  }

  int fd_;
  std::vector<char> buffer_;
  int error_ = 0;
};

// Runs `write` on `stream` and flushes it; an exception escaping either
// becomes the error it stands for.
Status run_writer(const OutputWriter& write, std::ostream& stream) {
  try {
    auto written = write(stream);
    if (written) stream.flush();
    return written;
  } catch (const std::ios_base::failure& failure) {
    return std::unexpected(PackageError(failure.code()));
  } catch (const std::bad_alloc&) {
    return os_failure(ENOMEM);
  } catch (const std::exception& exception) {
    return std::unexpected(
        PackageError(PackageError::Invalid{std::string("writing the output failed: ") + exception.what()}));
  } catch (...) {
    return std::unexpected(PackageError(PackageError::Invalid{"writing the output failed with an unknown exception"}));
  }
}

// Runs `write` on a stream over `fd` and flushes it. The operating system's
// reason for a failed write wins over whatever `write` made of it.
Status stream_into(int fd, const OutputWriter& write) {
  DescriptorBuffer buffer(fd);
  std::ostream stream(&buffer);
  Status written = run_writer(write, stream);
  if (buffer.error() != 0) return os_failure(buffer.error());
  if (!written) return written;
  if (!stream) return std::unexpected(PackageError(std::make_error_code(std::io_errc::stream)));
  return {};
}

// Keeps a reader that went away from killing the process with SIGPIPE while
// this thread writes to a FIFO: the write fails with EPIPE instead, and the
// signal it raised is taken back.
class SigpipeHeld {
public:
  SigpipeHeld() noexcept {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;
  ~SigpipeHeld() {
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec now{};
      static_cast<void>(sigtimedwait(&pipe_, nullptr, &now));
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

private:
  sigset_t pipe_{};
  sigset_t previous_{};
  bool was_pending_ = false;
};

// =============================================================================
// Named temporary files, registered for remove_output_temporaries()

// ".kivu-" and 16 hex digits: short, and the same length for every target.
constexpr std::size_t temporary_name_length = 22;

// A slot of the registry. The writer fills directory and name while it holds
// the slot as Filling, then publishes it as Ready; a signal handler takes a
// Ready slot as Removing, unlinks the file and leaves it Removed, and the
// writer frees it.
enum SlotState : int { Free, Filling, Ready, Removing, Removed };

struct TemporarySlot {
  std::atomic<int> state{Free};
  int directory = -1;
  std::array<char, temporary_name_length + 1> name{};
};

static_assert(std::atomic<int>::is_always_lock_free, "the registry is read in signal handlers");

// Writes in progress at once that a handler can clean up after; a write
// beyond them still works, its temporary file is only not registered.
std::array<TemporarySlot, 64> temporary_slots;

// A fresh temporary name: 64 random bits, so a name planted in a shared
// directory is hit only by chance and retried.
std::array<char, temporary_name_length + 1> temporary_name() noexcept {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    bits = (static_cast<std::uint64_t>(::getpid()) << 40) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
           (counter.fetch_add(1, std::memory_order_relaxed) << 20);
  }
  std::array<char, temporary_name_length + 1> name{};
  std::memcpy(name.data(), ".kivu-", 6);
  for (std::size_t i = 0; i < 16; ++i) name[6 + i] = "0123456789abcdef"[(bits >> (60 - 4 * i)) & 0xf];
  return name;
}

// A temporary name in a directory, registered for the signal handler while
// it lives. Whatever file bears the name is unlinked on destruction unless
// it was renamed into place (kept()).
class TemporaryName {
public:
  explicit TemporaryName(int directory) noexcept : directory_(directory), name_(temporary_name()) {
    for (std::size_t i = 0; i < temporary_slots.size(); ++i) {
      int expected = Free;
      if (!temporary_slots[i].state.compare_exchange_strong(expected, Filling)) continue;
      temporary_slots[i].directory = directory;
      temporary_slots[i].name = name_;
      temporary_slots[i].state.store(Ready, std::memory_order_release);
      slot_ = static_cast<int>(i);
      break;
    }
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  ~TemporaryName() {
    if (!kept_) ::unlinkat(directory_, name_.data(), 0);
    if (slot_ < 0) return;
    std::atomic<int>& state = temporary_slots[static_cast<std::size_t>(slot_)].state;
    for (;;) {
      int expected = Ready;
      if (state.compare_exchange_strong(expected, Free)) return;
      if (expected == Removed) {
        state.store(Free);
        return;
      }
      sched_yield();  // a handler on another thread is unlinking it
    }
  }

  [[nodiscard]] const char* get() const noexcept { return name_.data(); }
  // The name now belongs to the finished file: it is no longer removed.
  void kept() noexcept { kept_ = true; }

private:
  int directory_;
  std::array<char, temporary_name_length + 1> name_;
  int slot_ = -1;
  bool kept_ = false;
};

// How often a new random name is drawn when the previous one was taken.
constexpr int temporary_name_attempts = 64;

// =============================================================================
// The target

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
std::expected<LinkChain, PackageError> follow_chain(const fs::path& path) {
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

// The file to write: its directory, held open, and its name in it.
struct Target {
  Descriptor directory;
  std::string name;
};

std::expected<Target, PackageError> open_target(const fs::path& path) {
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

// How a write to a path reaches its file.
struct Route {
  // Through: the kernel follows the links at `path` to a file of type `type`
  // that is written in place. Replace: the file (or link, or nothing) at
  // `path` is replaced, or written in place when it is a special file.
  enum class Way { Through, Replace } way = Way::Replace;
  fs::path path;
  mode_t type = 0;
};

// Chooses the way to the file at `path`. A link is replaced (under Replace)
// only when it leads to a regular file or to nothing: a link to a device, a
// pipe or a directory, or one through /proc, is written through, because
// replacing it would change what the link means to every other program
// (/dev/stdout). A link the process may not follow (may_follow) is then
// refused, as is any such link under Follow.
std::expected<Route, PackageError> route(const fs::path& path, OutputLink link) {
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

// Refuses what is never written: a directory or a block device.
Status refuse_unwritable(mode_t type) {
  if (type == S_IFDIR) return os_failure(EISDIR);
  if (type == S_IFBLK) return std::unexpected(PackageError(block_device_refused()));
  return {};
}

// The status of `name` under `directory`, not following a link; nothing
// when it does not exist.
std::expected<std::optional<struct stat>, PackageError> status_of(const Target& target) {
  struct stat status {};
  if (::fstatat(target.directory.get(), target.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return status;
  if (errno == ENOENT) return std::nullopt;
  return os_failure(errno);
}

// Makes the directory entries made so far durable. Best effort: the file is
// already in place.
void sync_directory(int directory) {
  const Descriptor readable = open_at(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable) static_cast<void>(::fsync(readable.get()));
}

// =============================================================================
// Writing a special file directly

// Writes the character device or FIFO `name` under `directory` in place,
// following a symbolic link there only when `follow`; with `regular`, also a
// regular file (truncated first, as a shell's ">" would). Nothing when the path
// turned out to be something else by the time it was opened (nothing was
// written; the caller looks again).
std::optional<Status> write_directly(int directory, const char* name, bool follow, const OutputWriter& write,
                                     bool regular = false) {
  const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW) | (regular ? O_TRUNC : 0);
  Descriptor file = open_at(directory, name, flags);
  if (!file) return os_failure(errno);  // a socket: ENXIO
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return os_failure(errno);
  if (!S_ISCHR(status.st_mode) && !S_ISFIFO(status.st_mode) && !(regular && S_ISREG(status.st_mode))) {
    return std::nullopt;
  }
  Status written;
  {
    const SigpipeHeld held;
    written = stream_into(file.get(), write);
  }
  if (!written) return written;
  return file.close();
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

  if (existing && S_ISREG(existing->st_mode)) {
    if (auto kept = keep_owner_and_mode(file.get(), *existing); !kept) return kept;
  }
  if (auto written = stream_into(file.get(), write); !written) return written;
  if (::fsync(file.get()) != 0) return os_failure(errno);

  if (named) {
    if (auto closed = file.close(); !closed) return closed;
    if (::renameat(directory, named->get(), directory, target.name.c_str()) != 0) return os_failure(errno);
    named->kept();
  } else {
    if (auto named_now = name_unnamed(file.get(), target, existing.has_value()); !named_now) return named_now;
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
    auto way = route(path, link);
    if (!way) return std::unexpected(std::move(way.error()));
    if (way->way == Route::Way::Through) {
      if (auto refused = refuse_unwritable(way->type); !refused) return refused;
      const bool regular = way->type == S_IFREG;
      if (auto written = write_directly(AT_FDCWD, path.c_str(), true, write, regular)) return *written;
      continue;
    }
    auto target = open_target(way->path);
    if (!target) return std::unexpected(std::move(target.error()));
    auto existing = status_of(*target);
    if (!existing) return std::unexpected(std::move(existing.error()));
    if (!*existing || S_ISREG((*existing)->st_mode) || S_ISLNK((*existing)->st_mode)) {
      return replace(*target, write, *existing, new_file);
    }
    if (auto refused = refuse_unwritable((*existing)->st_mode & S_IFMT); !refused) return refused;
    if (auto written = write_directly(target->directory.get(), target->name.c_str(), false, write)) return *written;
  }
  return os_failure(EAGAIN);
}

// Checks that the existing file `name` under `directory`, not a regular file
// or a link, of type `type`, can be written in place (`flags` for faccessat).
Status check_special(mode_t type, int directory, const char* name, int flags) {
  if (auto refused = refuse_unwritable(type); !refused) return refused;
  if (type == S_IFSOCK) return os_failure(ENXIO);  // what opening it would say
  if (::faccessat(directory, name, W_OK, AT_EACCESS | flags) != 0) return os_failure(errno);
  return {};
}

}  // namespace

// =============================================================================
// Public entry points

std::error_code output_refused(OutputRefusal reason) noexcept {
  static const OutputFileCategory category;
  return {static_cast<int>(reason), category};
}

std::error_code block_device_refused() noexcept { return output_refused(OutputRefusal::BlockDevice); }

std::expected<void, PackageError> detail::write_output_file(const std::filesystem::path& path,
                                                            const OutputWriter& write, OutputLink link,
                                                            NewFile new_file) noexcept {
  try {
    return write_file(path, write, link, new_file);
  } catch (...) {
    // Only allocation fails outside `write`, whose exceptions are caught.
    return os_failure(ENOMEM);
  }
}

std::expected<void, PackageError> write_output_file(const std::filesystem::path& path, const OutputWriter& write,
                                                    OutputLink link) noexcept {
  return detail::write_output_file(path, write, link, detail::NewFile::UnnamedWhenPossible);
}

bool names_standard_output(const std::filesystem::path& path) noexcept { return path.native() == "-"; }

std::expected<void, PackageError> write_command_output(const std::filesystem::path& path, const OutputWriter& write,
                                                       std::ostream& standard_output, OutputLink link) noexcept {
  if (!names_standard_output(path)) return write_output_file(path, write, link);
  try {
    // A stale errno must never be shown as the reason of this write's failure.
    errno = 0;
    auto written = run_writer(write, standard_output);
    // As for a file, the operating system's reason for a failed stream wins
    // over whatever `write` made of the failure.
    if (!standard_output && (written || errno != 0)) return os_failure(errno != 0 ? errno : EIO);
    return written;
  } catch (...) {
    // Only building the error can fail here.
    return os_failure(ENOMEM);
  }
}

std::string output_failure_reason(const PackageError& error) {
  if (error.is<PackageError::Io>()) return error.as<PackageError::Io>().error.message();
  if (error.is<PackageError::Invalid>()) return error.as<PackageError::Invalid>().message;
  return debug_string(error);
}

std::expected<void, PackageError> check_output_path(const std::filesystem::path& path, OutputLink link) noexcept {
  try {
    auto way = route(path, link);
    if (!way) return std::unexpected(std::move(way.error()));
    if (way->way == Route::Way::Through) return check_special(way->type, AT_FDCWD, path.c_str(), 0);
    auto target = open_target(way->path);
    if (!target) return std::unexpected(std::move(target.error()));
    auto existing = status_of(*target);
    if (!existing) return std::unexpected(std::move(existing.error()));
    const int directory = target->directory.get();
    if (*existing && !S_ISREG((*existing)->st_mode) && !S_ISLNK((*existing)->st_mode)) {
      return check_special((*existing)->st_mode & S_IFMT, directory, target->name.c_str(), AT_SYMLINK_NOFOLLOW);
    }
    if (::faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) != 0) return os_failure(errno);
    return {};
  } catch (...) {
    return os_failure(ENOMEM);
  }
}

void remove_output_temporaries() noexcept {
  const int saved_errno = errno;
  for (TemporarySlot& slot : temporary_slots) {
    int expected = Ready;
    if (!slot.state.compare_exchange_strong(expected, Removing, std::memory_order_acquire)) continue;
    ::unlinkat(slot.directory, slot.name.data(), 0);
    slot.state.store(Removed, std::memory_order_release);
  }
  errno = saved_errno;
}

}  // namespace kivu_package
