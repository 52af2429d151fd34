// Output files: atomic file replacement, special files written in place,
// links and the link policy, killed writers, the clean-up of temporary
// files, and reporting stream and operating-system failures with the reason.
#include "kivu_output_file/output_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"
#include "output_file_detail.hpp"

namespace {

namespace fs = std::filesystem;
using kivu_output_file::OutputError;
using kivu_output_file::OutputLink;
using kivu_output_file::OutputWriter;
using WriterResult = std::expected<void, std::string>;
using Written = std::expected<void, OutputError>;
using kivu_testing::read_file;

// A fresh directory for one test, removed afterwards. It is made for this
// process's user only (0700), but the tests that run a check as the
// unprivileged user (run_unprivileged) need that user to reach the folders
// they make in it: everyone may read and search it (0755).
class OutputFile : public testing::Test {
protected:
  OutputFile() { fs::permissions(dir_, fs::perms{0755}); }

  [[nodiscard]] std::vector<std::string> entries() const { return kivu_testing::directory_entries(dir_); }

  const kivu_testing::ScratchDirectory scratch_;
  const fs::path dir_ = scratch_.path();
};

// A writer that streams `text`.
OutputWriter text_writer(std::string text) {
  return [text = std::move(text)](std::ostream& out) -> WriterResult {
    out << text;
    return {};
  };
}

// The errno an operating-system failure carries, or -1 for anything else.
int os_code(const Written& result) {
  if (result || !result.error().code()) return -1;
  const std::error_code code = *result.error().code();
  return code.category() == std::system_category() ? code.value() : -1;
}

mode_t file_type(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

constexpr auto unnamed = kivu_output_file::detail::NewFile::UnnamedWhenPossible;
constexpr auto named = kivu_output_file::detail::NewFile::Named;

TEST_F(OutputFile, WritesCharacterDevicesAndFifosInPlaceAndReportsAFullDevice) {
  ASSERT_TRUE(kivu_output_file::write_output_file("/dev/null", text_writer("nothing")).has_value());
  EXPECT_EQ(file_type("/dev/null"), S_IFCHR);

  // The OS reason reaches the caller even when the writer only saw a bad stream.
  const auto full = kivu_output_file::write_output_file("/dev/full", [](std::ostream& out) -> WriterResult {
    out << std::string(std::size_t{1} << 20, 'x');
    if (!out) return std::unexpected(std::string("the stream failed"));
    return {};
  });
  ASSERT_FALSE(full.has_value());
  EXPECT_EQ(full.error(), OutputError(std::error_code(ENOSPC, std::system_category())));
  EXPECT_EQ(kivu_output_file::output_failure_reason(full.error()), "No space left on device");
  EXPECT_EQ(file_type("/dev/full"), S_IFCHR);

  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(kivu_output_file::write_output_file(fifo, text_writer("through the pipe")).has_value());
  std::array<char, 64> got{};
  const ssize_t n = ::read(reader, got.data(), got.size());
  ::close(reader);
  EXPECT_EQ(std::string(got.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "through the pipe");
  EXPECT_EQ(file_type(fifo), S_IFIFO);
  EXPECT_EQ(entries(), std::vector<std::string>{"fifo"});

  // A reader that goes away is EPIPE, not a SIGPIPE that ends the process.
  const int leaving = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const auto broken = kivu_output_file::write_output_file(fifo, [&](std::ostream& out) -> WriterResult {
    ::close(leaving);
    out << std::string(std::size_t{1} << 20, 'x');
    return {};
  });
  EXPECT_EQ(os_code(broken), EPIPE);
}

TEST_F(OutputFile, RefusesSocketsBlockDevicesAndDirectoriesAndLeavesThemInPlace) {
  const fs::path socket_path = dir_ / "socket";
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(os_code(kivu_output_file::write_output_file(socket_path, text_writer("x"))), ENXIO);
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(socket_path)), ENXIO);
  ::close(sock);
  EXPECT_EQ(file_type(socket_path), S_IFSOCK);

  const fs::path directory = dir_ / "directory";
  fs::create_directory(directory);
  EXPECT_EQ(os_code(kivu_output_file::write_output_file(directory, text_writer("x"))), EISDIR);
  EXPECT_TRUE(fs::is_directory(directory));

  // A block device node of no real device: refused before it is opened.
  const fs::path block = dir_ / "block";
  if (::mknod(block.c_str(), S_IFBLK | 0600, makedev(7, 1000)) == 0) {
    const auto written = kivu_output_file::write_output_file(block, text_writer("x"));
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), OutputError(kivu_output_file::block_device_refused()));
    ASSERT_TRUE(written.error().code());
    EXPECT_STREQ(written.error().code()->category().name(), "output file");
    EXPECT_EQ(written.error().code()->value(), 1);
    EXPECT_EQ(kivu_output_file::output_failure_reason(written.error()), "refusing to write to a block device");
    EXPECT_EQ(kivu_output_file::check_output_path(block).error(), written.error());
    EXPECT_EQ(file_type(block), S_IFBLK);
  }
  EXPECT_EQ(entries().size(), fs::exists(block) ? 3u : 2u);
}

TEST_F(OutputFile, KeepsTheReplacedFilesModeOwnerAndGroupAndGivesNewFilesTheUmask) {
  const fs::path path = dir_ / "out";
  std::ofstream(path) << "old";
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(path.c_str(), 4321, 4322), 0);
  }
  ASSERT_TRUE(kivu_output_file::write_output_file(path, text_writer("new")).has_value());
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(status.st_uid, 4321u);
    EXPECT_EQ(status.st_gid, 4322u);
  }
  EXPECT_EQ(read_file(path), "new");

  const mode_t previous = ::umask(027);
  const auto created = kivu_output_file::write_output_file(dir_ / "fresh", text_writer("x"));
  ::umask(previous);
  ASSERT_TRUE(created.has_value());
  ASSERT_EQ(::stat((dir_ / "fresh").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(OutputFile, WritesAndReplacesAFileWhoseNameTakesTheWholeLimit) {
  const fs::path path = dir_ / std::string(255, 'n');
  for (const char* text : {"first", "second"}) {
    for (const auto new_file : {unnamed, named}) {
      ASSERT_TRUE(kivu_output_file::detail::write_output_file(path, text_writer(text), OutputLink::Replace, new_file));
      EXPECT_EQ(read_file(path), text);
    }
  }
  EXPECT_EQ(entries(), std::vector<std::string>{std::string(255, 'n')});
  EXPECT_EQ(os_code(kivu_output_file::write_output_file(dir_ / std::string(256, 'n'), text_writer("x"))), ENAMETOOLONG);
}

TEST_F(OutputFile, WritesAPathOfTheGreatestLengthAndRefusesOneCharacterMore) {
  // Folders of long names down to a path of PATH_MAX - 1 characters.
  std::string longest = dir_.string();
  const auto room = [&] { return std::size_t{PATH_MAX} - 2 - longest.size(); };  // for "/" and a file name
  while (room() > NAME_MAX) {
    longest += "/" + std::string(std::min<std::size_t>(NAME_MAX, room() - 2), 'd');
    ASSERT_TRUE(fs::create_directory(longest));
  }
  longest += "/" + std::string(room(), 'f');
  ASSERT_EQ(longest.size(), std::size_t{PATH_MAX - 1});
  EXPECT_TRUE(kivu_output_file::check_output_path(longest));
  for (const auto new_file : {unnamed, named, named}) {
    EXPECT_TRUE(
        kivu_output_file::detail::write_output_file(longest, text_writer("deep"), OutputLink::Replace, new_file));
  }
  EXPECT_EQ(read_file(longest), "deep");
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(longest + "x")), ENAMETOOLONG);
}

TEST_F(OutputFile, FollowWritesTheFinalTargetOfALinkChainWhileReplaceReplacesTheLink) {
  std::ofstream(dir_ / "real") << "old";
  fs::create_symlink("real", dir_ / "first");
  fs::create_symlink(dir_ / "first", dir_ / "second");
  ASSERT_TRUE(kivu_output_file::write_output_file(dir_ / "second", text_writer("followed"), OutputLink::Follow));
  EXPECT_EQ(read_file(dir_ / "real"), "followed");
  EXPECT_TRUE(fs::is_symlink(dir_ / "first"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "second"));

  // A dangling link: its target is created.
  fs::create_symlink("created", dir_ / "dangling");
  ASSERT_TRUE(kivu_output_file::write_output_file(dir_ / "dangling", text_writer("made"), OutputLink::Follow));
  EXPECT_EQ(read_file(dir_ / "created"), "made");
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));

  ASSERT_TRUE(kivu_output_file::write_output_file(dir_ / "second", text_writer("replaced")));
  EXPECT_EQ(file_type(dir_ / "second"), S_IFREG);
  EXPECT_EQ(read_file(dir_ / "real"), "followed");

  fs::create_symlink("self", dir_ / "self");
  EXPECT_EQ(os_code(kivu_output_file::write_output_file(dir_ / "self", text_writer("x"), OutputLink::Follow)), ELOOP);

  // A link to a pipe, which has no path of its own, as /dev/stdout may be.
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const std::string to_pipe = "/proc/self/fd/" + std::to_string(pipe_ends[1]);
  EXPECT_TRUE(kivu_output_file::check_output_path(to_pipe, OutputLink::Follow));
  EXPECT_TRUE(kivu_output_file::write_output_file(to_pipe, text_writer("piped"), OutputLink::Follow));
  ::close(pipe_ends[1]);
  std::array<char, 16> got{};
  EXPECT_EQ(::read(pipe_ends[0], got.data(), got.size()), 5);
  EXPECT_EQ(std::string(got.data()), "piped");
  ::close(pipe_ends[0]);
}

// With unnamed files a killed writer leaves nothing. Without them (the
// named fallback) it leaves its one ".kivu-" file and the target as it was.
TEST_F(OutputFile, AWriterKilledMidWriteLeavesTheDirectoryAsItWas) {
  for (const auto& [existing, new_file] :
       {std::pair{true, unnamed}, std::pair{false, unnamed}, std::pair{true, named}, std::pair{false, named}}) {
    const fs::path path = dir_ / "out";
    if (existing) std::ofstream(path) << "old";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      const auto written = kivu_output_file::detail::write_output_file(
          path,
          [&](std::ostream& out) -> WriterResult {
            out << std::string(std::size_t{4} << 20, 'x') << std::flush;
            const char byte = 'r';
            static_cast<void>(::write(ready[1], &byte, 1));
            ::pause();
            return {};
          },
          OutputLink::Replace, new_file);
      ::_exit(written ? 0 : 1);
    }
    ::close(ready[1]);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    std::vector<std::string> left = entries();
    if (existing) {
      EXPECT_EQ(read_file(path), "old");
      fs::remove(path);
      std::erase(left, "out");
    }
    if (new_file == unnamed) {
      EXPECT_TRUE(left.empty()) << left.front();
    } else {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_TRUE(left[0].starts_with(".kivu-") && left[0].size() == 22 &&
                  left[0].find_first_not_of("0123456789abcdef", 6) == std::string::npos)
          << left[0];
      fs::remove(dir_ / left[0]);
    }
    EXPECT_TRUE(entries().empty());
  }
}

TEST_F(OutputFile, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  const fs::path path = dir_ / "out";
  std::ofstream(path) << "old";
  for (const auto new_file : {unnamed, named}) {
    const auto written = kivu_output_file::detail::write_output_file(
        path,
        [](std::ostream& out) -> WriterResult {
          out << std::string(std::size_t{1} << 20, 'x');
          return std::unexpected(std::string("gave up"));
        },
        OutputLink::Replace, new_file);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), OutputError(std::string("gave up")));
    const auto thrown = kivu_output_file::detail::write_output_file(
        path, [](std::ostream&) -> WriterResult { throw std::runtime_error("boom"); }, OutputLink::Replace, new_file);
    EXPECT_EQ(kivu_output_file::output_failure_reason(thrown.error()), "writing the output failed: boom");
    EXPECT_EQ(entries(), std::vector<std::string>{"out"});
    EXPECT_EQ(read_file(path), "old");
  }
}

TEST_F(OutputFile, ACommandOutputOfDashGoesToTheGivenStreamAndAnyOtherNameToItsFile) {
  const OutputWriter hello = [](std::ostream& out) -> WriterResult {
    out << "hello";
    return {};
  };
  std::ostringstream standard_output;
  ASSERT_TRUE(kivu_output_file::write_command_output("-", hello, standard_output).has_value());
  EXPECT_EQ(standard_output.str(), "hello");
  EXPECT_TRUE(entries().empty());

  ASSERT_TRUE(kivu_output_file::write_command_output(dir_ / "-x", hello, standard_output).has_value());
  EXPECT_EQ(read_file(dir_ / "-x"), "hello");

  // A standard output that refuses the bytes is an Io error, not a success.
  std::ostringstream refusing;
  refusing.setstate(std::ios::badbit);
  const auto refused = kivu_output_file::write_command_output("-", hello, refusing);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().code().has_value());
}

TEST_F(OutputFile, AReadyCommandTextGoesWhereItsWriterWould) {
  std::ostringstream standard_output;
  ASSERT_TRUE(kivu_output_file::write_command_text("-", "hello", standard_output).has_value());
  EXPECT_EQ(standard_output.str(), "hello");
  ASSERT_TRUE(kivu_output_file::write_command_text(dir_ / "out", "hello", standard_output).has_value());
  EXPECT_EQ(read_file(dir_ / "out"), "hello");
  std::ostringstream refusing;
  refusing.setstate(std::ios::badbit);
  EXPECT_FALSE(kivu_output_file::write_command_text("-", "hello", refusing).has_value());
}

TEST_F(OutputFile, RemoveOutputTemporariesTakesAwayTheNamedTemporaryOfAWriteInProgress) {
  const fs::path path = dir_ / "out";
  std::ofstream(path) << "old";
  std::vector<std::string> during;
  const auto written = kivu_output_file::detail::write_output_file(
      path,
      [&](std::ostream& out) -> WriterResult {
        out << "new" << std::flush;
        during = entries();
        kivu_output_file::remove_output_temporaries();  // as a SIGTERM handler would
        return {};
      },
      OutputLink::Replace, named);
  ASSERT_EQ(during.size(), 2u);
  EXPECT_EQ(during[0].rfind(".kivu-", 0), 0u) << during[0];
  EXPECT_EQ(os_code(written), ENOENT);
  EXPECT_EQ(entries(), std::vector<std::string>{"out"});
  EXPECT_EQ(read_file(path), "old");
}

TEST_F(OutputFile, CheckOutputPathFindsBadPathsBeforeAnyWorkAndCreatesNothing) {
  std::ofstream(dir_ / "file") << "x";
  fs::create_directory(dir_ / "directory");
  EXPECT_TRUE(kivu_output_file::check_output_path(dir_ / "new"));
  EXPECT_TRUE(kivu_output_file::check_output_path(dir_ / "file"));
  EXPECT_TRUE(kivu_output_file::check_output_path("/dev/null"));
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(dir_ / "directory")), EISDIR);
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(dir_ / "missing" / "out")), ENOENT);
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(dir_ / "file" / "out")), ENOTDIR);
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(dir_ / std::string(256, 'n'))), ENAMETOOLONG);
  EXPECT_EQ(os_code(kivu_output_file::check_output_path("")), ENOENT);

  // A link to a directory is never replaced (/dev/fd is one): it is refused
  // whether it is to be followed or replaced.
  fs::create_directory_symlink("directory", dir_ / "link");
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(dir_ / "link")), EISDIR);
  EXPECT_EQ(os_code(kivu_output_file::write_output_file(dir_ / "link", text_writer("x"))), EISDIR);
  EXPECT_EQ(os_code(kivu_output_file::check_output_path(dir_ / "link", OutputLink::Follow)), EISDIR);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "link")));

  EXPECT_EQ(entries(), (std::vector<std::string>{"directory", "file", "link"}));
  EXPECT_TRUE(fs::is_empty(dir_ / "directory"));
}

TEST_F(OutputFile, RefusesADirectoryTheUserMayNotWriteAlsoWhenTheSuiteRunsAsRoot) {
  // Root writes into a read-only directory all the same, so the check runs
  // as an unprivileged user.
  fs::create_directory(dir_ / "read-only");
  ASSERT_EQ(::chmod((dir_ / "read-only").c_str(), 0555), 0);
  const auto denied = kivu_testing::run_unprivileged([&] {
    const int checked = os_code(kivu_output_file::check_output_path(dir_ / "read-only" / "out"));
    const int written = os_code(kivu_output_file::write_output_file(dir_ / "read-only" / "out", text_writer("x")));
    return std::to_string(checked) + " " + std::to_string(written);
  });
  if (!denied) GTEST_SKIP() << denied.error();
  EXPECT_EQ(*denied, std::to_string(EACCES) + " " + std::to_string(EACCES));
  EXPECT_TRUE(fs::is_empty(dir_ / "read-only"));
}

TEST_F(OutputFile, AUserWhoMayNotSetTheOwnerStillReplacesAFileAndKeepsItsMode) {
  // A shared directory that the unprivileged user may write, holding a file
  // of this process's user that it may not chown back.
  const fs::path shared = dir_ / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  std::ofstream(shared / "out") << "old";
  ASSERT_EQ(::chmod((shared / "out").c_str(), 0640), 0);
  const auto replaced = kivu_testing::run_unprivileged([&]() -> std::string {
    const auto written = kivu_output_file::write_output_file(shared / "out", text_writer("new"));
    if (!written) return kivu_output_file::output_failure_reason(written.error());
    struct stat status {};
    if (::stat((shared / "out").c_str(), &status) != 0) return "gone";
    return std::string(status.st_uid == ::geteuid() ? "own" : "other") + " " + std::to_string(status.st_mode & 07777);
  });
  if (!replaced) GTEST_SKIP() << replaced.error();
  EXPECT_EQ(*replaced, "own " + std::to_string(0640));
  EXPECT_EQ(read_file(shared / "out"), "new");
}

// A link to anything but a regular file is never replaced: replacing
// /dev/stdout (a link through /proc to a pipe) would change it for every
// program on the host. It is written through instead.
TEST_F(OutputFile, WritesThroughALinkToADevicePipeOrOpenFileInsteadOfReplacingIt) {
  std::array<int, 2> pipe_ends{};
  ASSERT_EQ(::pipe2(pipe_ends.data(), O_CLOEXEC | O_NONBLOCK), 0);
  fs::create_symlink("/proc/self/fd/" + std::to_string(pipe_ends[1]), dir_ / "stdout");
  fs::create_symlink("/dev/null", dir_ / "null");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  const int reader = ::open((dir_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  fs::create_symlink("fifo", dir_ / "to-fifo");
  fs::create_symlink("to-fifo", dir_ / "to-to-fifo");
  for (const auto link : {OutputLink::Replace, OutputLink::Follow}) {
    for (const char* name : {"stdout", "null", "to-to-fifo"}) {
      EXPECT_TRUE(kivu_output_file::check_output_path(dir_ / name, link)) << name;
      EXPECT_TRUE(kivu_output_file::write_output_file(dir_ / name, text_writer(name), link)) << name;
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / name))) << name;
    }
  }
  const auto drain = [](int fd) {
    std::array<char, 256> got{};
    const ssize_t n = ::read(fd, got.data(), got.size());
    return std::string(got.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  };
  EXPECT_EQ(drain(pipe_ends[0]), "stdoutstdout");
  EXPECT_EQ(drain(reader), "to-to-fifoto-to-fifo");
  ::close(reader);
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);

  // Standard output redirected to a file: the file gets the bytes, the link
  // through /proc stays.
  const int file = ::open((dir_ / "captured").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(file, 0);
  fs::create_symlink("/proc/self/fd/" + std::to_string(file), dir_ / "redirected");
  EXPECT_TRUE(kivu_output_file::write_output_file(dir_ / "redirected", text_writer("into the file")));
  ::close(file);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "redirected")));
  EXPECT_EQ(read_file(dir_ / "captured"), "into the file");

  // Redirected to a file since deleted: written in place, nothing created
  // under the name /proc gives it ("... (deleted)").
  const int gone = ::open((dir_ / "gone").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(gone, 0);
  ASSERT_EQ(::unlink((dir_ / "gone").c_str()), 0);
  fs::create_symlink("/proc/self/fd/" + std::to_string(gone), dir_ / "to-gone");
  EXPECT_TRUE(kivu_output_file::write_output_file(dir_ / "to-gone", text_writer("in place")));
  std::array<char, 32> got{};
  const ssize_t n = ::pread(gone, got.data(), got.size(), 0);
  ::close(gone);
  EXPECT_EQ(std::string(got.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "in place");
  fs::remove(dir_ / "to-gone");
  EXPECT_EQ(entries(),
            (std::vector<std::string>{"captured", "fifo", "null", "redirected", "stdout", "to-fifo", "to-to-fifo"}));
}

// The kernel's fs.protected_symlinks rule, kept whatever the sysctl says: a
// link that another user planted in a sticky world-writable directory is
// never followed, so a link of it to a special file is refused outright,
// while a link to a regular file is replaced as any other.
TEST_F(OutputFile, NeverFollowsALinkOfAnotherUserInAStickyWorldWritableDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  const fs::path shared = dir_ / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);
  std::ofstream(dir_ / "precious") << "keep me";
  const auto plant = [&](const char* name, const fs::path& target) {
    fs::create_symlink(target, shared / name);
    EXPECT_EQ(::lchown((shared / name).c_str(), 4321, 4321), 0);
  };
  plant("to-fifo", dir_ / "fifo");
  plant("to-null", "/dev/null");
  plant("to-directory", dir_);
  plant("to-file", dir_ / "precious");

  const OutputError not_replaced(
      kivu_output_file::output_refused(kivu_output_file::OutputRefusal::ProtectedLinkToSpecialFile));
  const OutputError not_followed(kivu_output_file::output_refused(kivu_output_file::OutputRefusal::ProtectedLink));
  for (const char* name : {"to-fifo", "to-null", "to-directory"}) {
    EXPECT_EQ(kivu_output_file::check_output_path(shared / name).error(), not_replaced) << name;
    EXPECT_EQ(kivu_output_file::write_output_file(shared / name, text_writer("x")).error(), not_replaced) << name;
    EXPECT_EQ(kivu_output_file::write_output_file(shared / name, text_writer("x"), OutputLink::Follow).error(),
              not_followed)
        << name;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(shared / name))) << name;
  }
  EXPECT_EQ(kivu_output_file::output_failure_reason(not_followed),
            "refusing to follow a symbolic link that another user owns in a sticky world-writable directory");
  EXPECT_EQ(kivu_output_file::write_output_file(shared / "to-file", text_writer("x"), OutputLink::Follow).error(),
            not_followed);
  EXPECT_EQ(read_file(dir_ / "precious"), "keep me");
  ASSERT_TRUE(kivu_output_file::write_output_file(shared / "to-file", text_writer("replaced")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(shared / "to-file")));
  EXPECT_EQ(read_file(dir_ / "precious"), "keep me");

  // A link of the directory's owner is followed.
  ASSERT_EQ(::lchown((shared / "to-null").c_str(), 0, 0), 0);
  EXPECT_TRUE(kivu_output_file::write_output_file(shared / "to-null", text_writer("x")));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(shared / "to-null")));
}

// The same rule on every link a path passes through, not only the last: a
// folder of the path that is another user's link in /tmp leads nowhere.
TEST_F(OutputFile, AppliesTheLinkRuleToEveryLinkOnThePathNotOnlyTheLast) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const fs::path shared = dir_ / "shared";
  const fs::path root_only = dir_ / "root-only";
  fs::create_directory(shared);
  fs::create_directory(root_only);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chmod(root_only.c_str(), 0700), 0);
  // Planted by the other user, as `ln -s` would.
  const auto planted = kivu_testing::run_unprivileged([&]() -> std::string {
    return ::symlink(root_only.c_str(), (shared / "dl").c_str()) == 0 ? "planted" : std::strerror(errno);
  });
  if (!planted) GTEST_SKIP() << planted.error();
  ASSERT_EQ(*planted, "planted");
  // Paths that reach the planted link as a folder: directly, after a link of
  // ours to it, and from the end of a link of ours.
  fs::create_directory_symlink(shared, dir_ / "via");
  fs::create_symlink(shared / "dl" / "x.json", dir_ / "ours");

  const OutputError not_followed(kivu_output_file::output_refused(kivu_output_file::OutputRefusal::ProtectedLink));
  for (const fs::path& path : {shared / "dl" / "t.json", dir_ / "via" / "dl" / "t.json",
                               dir_ / "via" / "dl" / ".." / "root-only" / "t.json"}) {
    for (const auto link : {OutputLink::Replace, OutputLink::Follow}) {
      EXPECT_EQ(kivu_output_file::check_output_path(path, link).error(), not_followed) << path;
      EXPECT_EQ(kivu_output_file::write_output_file(path, text_writer("x"), link).error(), not_followed) << path;
    }
  }
  EXPECT_EQ(kivu_output_file::write_output_file(dir_ / "ours", text_writer("x"), OutputLink::Follow).error(),
            not_followed);
  EXPECT_TRUE(fs::is_empty(root_only));

  // The same link of the folder's owner is followed.
  ASSERT_EQ(::lchown((shared / "dl").c_str(), 0, 0), 0);
  EXPECT_TRUE(kivu_output_file::write_output_file(shared / "dl" / "t.json", text_writer("owner's")));
  EXPECT_EQ(read_file(root_only / "t.json"), "owner's");
}

// The rule's other halves: a link of the user's own is followed in /tmp, and
// another user's link is followed where the folder is only sticky or only
// world-writable.
TEST_F(OutputFile, FollowsOwnLinksInStickyFoldersAndAnyLinkInFoldersNotBothStickyAndWorldWritable) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  const fs::path destination = dir_ / "destination";
  fs::create_directory(destination);
  ASSERT_EQ(::chmod(destination.c_str(), 0777), 0);
  for (const mode_t mode : {mode_t{0777}, mode_t{01755}}) {
    SCOPED_TRACE(std::to_string(mode));
    const fs::path folder = dir_ / ("folder-" + std::to_string(mode));
    fs::create_directory(folder);
    ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
    fs::create_directory_symlink(destination, folder / "to-folder");
    fs::create_symlink(destination / "file", folder / "to-file");
    fs::create_symlink("/dev/null", folder / "to-null");
    for (const char* name : {"to-folder", "to-file", "to-null"}) {
      ASSERT_EQ(::lchown((folder / name).c_str(), 4321, 4321), 0);
    }
    EXPECT_TRUE(kivu_output_file::write_output_file(folder / "to-folder" / "out", text_writer("in the folder")));
    EXPECT_EQ(read_file(destination / "out"), "in the folder");
    EXPECT_TRUE(kivu_output_file::write_output_file(folder / "to-file", text_writer("followed"), OutputLink::Follow));
    EXPECT_EQ(read_file(destination / "file"), "followed");
    EXPECT_TRUE(kivu_output_file::check_output_path(folder / "to-null"));
    EXPECT_TRUE(kivu_output_file::write_output_file(folder / "to-null", text_writer("x")));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(folder / "to-null")));
    fs::remove(destination / "out");
  }

  // In a sticky world-writable folder the other user follows its own links.
  const fs::path shared = dir_ / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const auto own = kivu_testing::run_unprivileged([&]() -> std::string {
    if (::symlink(destination.c_str(), (shared / "mine").c_str()) != 0) return std::strerror(errno);
    const auto written = kivu_output_file::write_output_file(shared / "mine" / "own", text_writer("own link"));
    return written ? "written" : kivu_output_file::output_failure_reason(written.error());
  });
  if (!own) GTEST_SKIP() << own.error();
  EXPECT_EQ(*own, "written");
  EXPECT_EQ(read_file(destination / "own"), "own link");
}

// The kernel's fs.protected_fifos and fs.protected_regular rules, kept
// whatever the sysctls say: a FIFO or file that another user left in /tmp
// under the name to be written is neither written nor replaced, so that user
// can neither hold the writer at the FIFO's open nor read what it writes.
TEST_F(OutputFile, NeverWritesAFifoOrFileThatAnotherUserLeftInAStickyWorldWritableFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const fs::path shared = dir_ / "shared";
  const fs::path open_folder = dir_ / "open";
  for (const auto& [folder, mode] : {std::pair{shared, 01777}, std::pair{open_folder, 0777}}) {
    fs::create_directory(folder);
    ASSERT_EQ(::chmod(folder.c_str(), static_cast<mode_t>(mode)), 0);
  }
  const auto planted = kivu_testing::run_unprivileged([&]() -> std::string {
    for (const fs::path& folder : {shared, open_folder}) {
      if (::mkfifo((folder / "fifo").c_str(), 0666) != 0) return std::strerror(errno);
      if (::chmod((folder / "fifo").c_str(), 0666) != 0) return std::strerror(errno);
    }
    std::ofstream(shared / "file") << "theirs";
    return ::chmod((shared / "file").c_str(), 0666) == 0 ? "planted" : std::strerror(errno);
  });
  if (!planted) GTEST_SKIP() << planted.error();
  ASSERT_EQ(*planted, "planted");
  // Readers, so that a write that should have been refused neither blocks
  // nor goes unseen.
  const int reader = ::open((shared / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int open_reader = ::open((open_folder / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(open_reader, 0);
  fs::create_symlink(shared / "fifo", dir_ / "to-fifo");

  const OutputError refused(kivu_output_file::output_refused(kivu_output_file::OutputRefusal::ProtectedFile));
  for (const fs::path& path : {shared / "fifo", shared / "file", dir_ / "to-fifo"}) {
    for (const auto link : {OutputLink::Replace, OutputLink::Follow}) {
      EXPECT_EQ(kivu_output_file::check_output_path(path, link).error(), refused) << path;
      EXPECT_EQ(kivu_output_file::write_output_file(path, text_writer("secret"), link).error(), refused) << path;
    }
  }
  EXPECT_EQ(kivu_output_file::output_failure_reason(refused),
            "refusing to write into a FIFO or regular file that another user owns in a sticky world-writable "
            "directory");
  std::array<char, 16> got{};
  EXPECT_LE(::read(reader, got.data(), got.size()), 0);
  EXPECT_EQ(read_file(shared / "file"), "theirs");
  EXPECT_EQ(fs::status(shared / "file").permissions(), fs::perms{0666});

  // Outside a sticky folder, and the folder owner's own FIFO, are written.
  EXPECT_TRUE(kivu_output_file::write_output_file(open_folder / "fifo", text_writer("open")));
  EXPECT_EQ(::read(open_reader, got.data(), got.size()), 4);
  ASSERT_EQ(::lchown((shared / "fifo").c_str(), 0, 0), 0);
  EXPECT_TRUE(kivu_output_file::write_output_file(shared / "fifo", text_writer("owner's")));
  EXPECT_EQ(::read(reader, got.data(), got.size()), 7);
  ::close(reader);
  ::close(open_reader);
}

// A regular file that standard output (or any descriptor of this process)
// is redirected to, reached through /proc: written through that descriptor,
// after what was already written to it, never replaced.
TEST_F(OutputFile, WritesAFileOpenInThisProcessThroughItsDescriptorAfterWhatItHolds) {
  const fs::path log = dir_ / "log";
  const int file = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(file, 0);
  const auto put = [&](std::string_view text) {
    ASSERT_EQ(::write(file, text.data(), text.size()), ssize_t(text.size()));
  };
  struct stat before {};
  ASSERT_EQ(::stat(log.c_str(), &before), 0);
  const std::string proc_link = "/proc/self/fd/" + std::to_string(file);
  fs::create_symlink(proc_link, dir_ / "stdout");
  put("status\n");
  EXPECT_TRUE(kivu_output_file::check_output_path(dir_ / "stdout"));
  EXPECT_TRUE(kivu_output_file::write_output_file(dir_ / "stdout", text_writer("first ")));
  EXPECT_TRUE(kivu_output_file::write_output_file(proc_link, text_writer("second\n"), OutputLink::Follow));
  put("passed\n");
  ::close(file);
  EXPECT_EQ(read_file(log), "status\nfirst second\npassed\n");
  struct stat after {};
  ASSERT_EQ(::stat(log.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);

  // Opened for reading only: reopened for writing, and truncated as ">" does.
  const int read_only = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(read_only, 0);
  EXPECT_TRUE(kivu_output_file::write_output_file("/proc/self/fd/" + std::to_string(read_only), text_writer("new")));
  ::close(read_only);
  EXPECT_EQ(read_file(log), "new");
  ASSERT_EQ(::stat(log.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST_F(OutputFile, CreatesAndReplacesNothingInTheKernelsFileSystems) {
  const OutputError refused(kivu_output_file::output_refused(kivu_output_file::OutputRefusal::KernelFileSystem));
  for (const char* path : {"/proc/kivu-output", "/sys/kivu-output", "/proc/self/comm"}) {
    EXPECT_EQ(kivu_output_file::check_output_path(path).error(), refused) << path;
    EXPECT_EQ(kivu_output_file::write_output_file(path, text_writer("x")).error(), refused) << path;
    EXPECT_EQ(kivu_output_file::write_output_file(path, text_writer("x"), OutputLink::Follow).error(), refused) << path;
  }
  EXPECT_FALSE(fs::exists("/proc/kivu-output"));
  EXPECT_FALSE(fs::exists("/sys/kivu-output"));
  EXPECT_EQ(kivu_output_file::output_failure_reason(refused),
            "refusing to write into a kernel file system such as /proc or /sys");
}

}  // namespace
