// Owned descriptors and directories close what they hold exactly once, and
// the calls on them go on after a signal interrupts them.
#include "kivu_base/descriptor.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using kivu_base::Descriptor;
using kivu_base::Directory;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A pipe's two ends, owned.
struct Pipe {
  Descriptor read;
  Descriptor write;
};

Pipe make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return {};
  return {Descriptor(ends[0]), Descriptor(ends[1])};
}

TEST(Descriptor, ClosesOnDestructionAndWhenAnotherIsMovedOntoIt) {
  auto pipe = make_pipe();
  ASSERT_TRUE(pipe.read && pipe.write);
  const int read_end = pipe.read.get();
  const int write_end = pipe.write.get();
  {
    Descriptor moved = std::move(pipe.read);
    EXPECT_FALSE(pipe.read);
    EXPECT_EQ(moved.get(), read_end);
    EXPECT_TRUE(is_open(read_end));
    moved = std::move(pipe.write);  // the read end is closed now
    EXPECT_FALSE(is_open(read_end));
    EXPECT_TRUE(is_open(write_end));
    moved = std::move(moved);  // onto itself: still held
    EXPECT_TRUE(is_open(write_end));
  }
  EXPECT_FALSE(is_open(write_end));
}

TEST(Descriptor, ReleaseHandsTheDescriptorOverAndCloseReportsAFailure) {
  auto pipe = make_pipe();
  const int fd = pipe.read.release();
  EXPECT_FALSE(pipe.read);
  EXPECT_TRUE(is_open(fd));
  ASSERT_EQ(::close(fd), 0);

  EXPECT_TRUE(pipe.write.close());
  EXPECT_FALSE(pipe.write);
  EXPECT_TRUE(Descriptor().close()) << "closing none is no failure";
  // A number that is no open descriptor: close says so.
  Descriptor stale(::dup(STDERR_FILENO));
  ASSERT_EQ(::close(stale.get()), 0);
  EXPECT_EQ(stale.close(), std::unexpected(EBADF));
}

TEST(Directory, ListsTheEntriesAndClosesItsStream) {
  const auto folder = std::filesystem::path(testing::TempDir()) / "kivu_base_directory_test";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "a") << "a";
  std::ofstream(folder / "b") << "b";
  int fd = -1;
  {
    auto directory = Directory::open(folder.c_str());
    ASSERT_TRUE(directory) << directory.error();
    fd = ::dirfd(directory->get());
    std::set<std::string> names;
    while (const dirent* entry = directory->next()) names.insert(entry->d_name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "b"}));
    EXPECT_EQ(directory->next(), nullptr);
    EXPECT_TRUE(is_open(fd));
  }
  EXPECT_FALSE(is_open(fd));
  EXPECT_EQ(Directory::open((folder / "none").c_str()).error(), ENOENT);
  EXPECT_EQ(Directory::open((folder / "a").c_str()).error(), ENOTDIR);
  std::filesystem::remove_all(folder);
}

TEST(Descriptor, OpenReportsTheErrnoOfAFailure) {
  EXPECT_EQ(kivu_base::open_file("/nonexistent/kivu", O_RDONLY | O_CLOEXEC).error(), ENOENT);
  const auto null = kivu_base::open_file("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_TRUE(null);
  EXPECT_TRUE(kivu_base::write_all(null->get(), "abc", 3));
  char byte;
  EXPECT_EQ(kivu_base::read_some(null->get(), &byte, 1), 0u) << "the end of the input";
  EXPECT_EQ(kivu_base::read_some(-1, &byte, 1).error(), EBADF);
  EXPECT_EQ(kivu_base::write_all(-1, "abc", 3).error(), EBADF);
}

// The state letter of thread `tid` of this process ('S' while it sleeps in
// a call), from /proc.
char thread_state(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

std::atomic<int> signals_handled{0};

// Runs `call` in a thread with a SIGUSR1 handler installed without
// SA_RESTART, so that a signal cuts a blocking call short with EINTR. Once
// the thread sleeps in the call, signals it; once the handler has run and
// the thread sleeps again (or the call returned), runs `unblock`, which is
// told whether the call has returned.
template <typename Call, typename Unblock>
void interrupt_while_blocked(Call call, Unblock unblock) {
  struct sigaction handler {};
  handler.sa_handler = [](int) { ++signals_handled; };
  sigemptyset(&handler.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGUSR1, &handler, &saved), 0);
  const int handled_before = signals_handled;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> returned{false};
  std::thread thread([&] {
    tid = ::gettid();
    call();
    returned = true;
  });
  while (tid == 0 || thread_state(tid) != 'S') std::this_thread::yield();
  ASSERT_EQ(pthread_kill(thread.native_handle(), SIGUSR1), 0);
  while (signals_handled == handled_before) std::this_thread::yield();
  while (!returned && thread_state(tid) != 'S') std::this_thread::yield();
  unblock(returned);
  thread.join();
  (void)sigaction(SIGUSR1, &saved, nullptr);
}

TEST(Descriptor, ReadGoesOnAfterASignalInterruptsIt) {
  auto pipe = make_pipe();
  std::expected<std::size_t, int> got = std::unexpected(0);
  char buffer[8] = {};
  interrupt_while_blocked([&] { got = kivu_base::read_some(pipe.read.get(), buffer, sizeof buffer); },
                          [&](const std::atomic<bool>&) { ASSERT_EQ(::write(pipe.write.get(), "late", 4), 4); });
  ASSERT_TRUE(got) << "errno " << got.error();
  EXPECT_EQ(std::string(buffer, *got), "late");
}

TEST(Descriptor, WriteAllSendsEveryByteThroughAFullPipeAndASignal) {
  auto pipe = make_pipe();
  const std::size_t capacity = static_cast<std::size_t>(::fcntl(pipe.write.get(), F_GETPIPE_SZ));
  const std::string data(2 * capacity, 'x');
  // The pipe is full before the call starts, so that the signal comes
  // before any byte went: a write cut short after some bytes only reports
  // fewer.
  const std::string filling(capacity, 'f');
  ASSERT_EQ(::write(pipe.write.get(), filling.data(), filling.size()), static_cast<ssize_t>(capacity));
  std::expected<void, int> written = std::unexpected(0);
  std::string received;
  interrupt_while_blocked([&] { written = kivu_base::write_all(pipe.write.get(), data.data(), data.size()); },
                          [&](const std::atomic<bool>& returned) {
                            // Drains the pipe until every byte came, or the
                            // write gave up and nothing more is coming.
                            ASSERT_EQ(::fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK), 0);
                            std::vector<char> buffer(capacity);
                            while (received.size() < filling.size() + data.size()) {
                              const auto got = kivu_base::read_some(pipe.read.get(), buffer.data(), buffer.size());
                              if (got) {
                                received.append(buffer.data(), *got);
                              } else if (got.error() == EAGAIN && !returned) {
                                std::this_thread::yield();
                              } else {
                                break;
                              }
                            }
                          });
  ASSERT_TRUE(written) << "errno " << written.error();
  EXPECT_EQ(received, filling + data);
}

}  // namespace
