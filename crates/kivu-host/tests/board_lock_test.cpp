#include "kivu_host/board_lock.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivu_host/board_identity.hpp"

namespace {

using kivu_host::UnixSocketLine;

std::string lock_prefix() { return "kivu-host-test-" + std::to_string(::getpid()); }

// A line of /proc/net/unix as the kernel prints it, for `inode` and `path`.
std::string table_line(std::uint64_t inode, std::string_view path) {
  std::string digits = std::to_string(inode);
  if (digits.size() < 5) digits.insert(0, 5 - digits.size(), ' ');
  std::string line = std::string(2 * sizeof(void*), '0') + ": 00000002 00000000 00010000 0001 01 " + digits;
  if (!path.empty()) line += " " + std::string(path);
  return line;
}

const std::string header = "Num       RefCount Protocol Flags    Type St Inode Path\n";

// The inode of the socket `fd`.
std::uint64_t inode_of(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw std::runtime_error("fstat failed");
  return status.st_ino;
}

// A child that holds the lock `name` until it is killed; returns once it does.
pid_t hold_in_child(const std::string& name) {
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const auto bound = kivu_host::bind_lock_name(name);
    const char answer = bound && *bound ? 'y' : 'n';
    (void)!::write(ready[1], &answer, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char answer = 'n';
  (void)!::read(ready[0], &answer, 1);
  ::close(ready[0]);
  if (answer != 'y') throw std::runtime_error("the child could not bind " + name);
  return child;
}

void stop(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// Binds an abstract name whose text forges a table line that lists `lock`
// under `inode`: the socket.
int forge(std::uint64_t inode, const std::string& lock) {
  // An address holds 107 bytes of name: the forger keeps its own part short.
  const std::string name = "x\n" + table_line(inode, kivu_host::board_lock_display(lock));
  const auto bound = kivu_host::bind_lock_name(name);
  if (!bound || !*bound) throw std::runtime_error("cannot bind the forged name");
  return **bound;
}

// =============================================================================
// The table

TEST(UnixSocketTable, ReadsTheKernelsLinesAndTheWholeNameAfterTheInode) {
  const std::string table = header + table_line(1111, "") + "\n" + table_line(42, "@kivu-board-0") + "\n" +
                            table_line(1234567, "@a name with blanks ") + "\n" + table_line(99999, "/run/x.sock") +
                            "\n";
  EXPECT_EQ(kivu_host::parse_unix_socket_table(table),
            (std::vector<UnixSocketLine>{
                {1111, ""}, {42, "@kivu-board-0"}, {1234567, "@a name with blanks "}, {99999, "/run/x.sock"}}));
  EXPECT_TRUE(kivu_host::parse_unix_socket_table(header).empty());
  EXPECT_TRUE(kivu_host::parse_unix_socket_table("").empty());
}

TEST(UnixSocketTable, IgnoresEveryLineThatIsNotLaidOutExactlyAsTheKernelPrintsIt) {
  const std::string good = table_line(42, "@kivu-board-1");
  const std::string pointer(2 * sizeof(void*), '0');
  const std::vector<std::string> bad = {
      "garbage @kivu-board-1",
      "a b c d e f 42 @kivu-board-1",
      pointer.substr(1) + good.substr(pointer.size()),                        // a digit short
      "0" + good,                                                             // a digit long
      std::string(pointer.size(), 'F') + good.substr(pointer.size()),         // upper-case pointer
      pointer + ": 0000000a 00000000 00010000 0001 01    42 @kivu-board-1",   // lower-case field
      pointer + ": 00000002 00000000 00010000 001 01    42 @kivu-board-1",    // short field
      pointer + ": 00000002 00000000 00010000 0001 01   42 @kivu-board-1",    // inode not aligned
      pointer + ": 00000002 00000000 00010000 0001 01     42 @kivu-board-1",  // too far right
      pointer + ": 00000002 00000000 00010000 0001 01    4x @kivu-board-1",   // not a number
      pointer + ": 00000002 00000000 00010000 0001 01    42 ",                // a blank, no name
      pointer + ": 00000002 00000000 00010000 0001 01",                       // no inode
  };
  for (const auto& line : bad) {
    EXPECT_TRUE(kivu_host::parse_unix_socket_table(header + line + "\n").empty()) << '"' << line << '"';
  }
  // A last line without its line break was cut short.
  EXPECT_TRUE(kivu_host::parse_unix_socket_table(header + good).empty());
  EXPECT_EQ(kivu_host::parse_unix_socket_table(header + good + "\n").size(), 1u);
}

// =============================================================================
// The lock's state

TEST(BoardLockState, ABoundNameIsHeldByItsHolderAndFreeOnceItLetsGo) {
  const std::string name = kivu_host::board_lock_name(0, lock_prefix());
  const pid_t holder = hold_in_child(name);
  const auto held = kivu_host::board_lock_states(std::vector<std::string>{name});
  stop(holder);
  ASSERT_TRUE(held) << held.error();
  ASSERT_TRUE((*held)[0].held);
  ASSERT_EQ((*held)[0].holders.size(), 1u);
  EXPECT_EQ((*held)[0].holders[0].pid, holder);

  const auto free = kivu_host::board_lock_states(std::vector<std::string>{name});
  ASSERT_TRUE(free) << free.error();
  EXPECT_EQ((*free)[0], kivu_host::BoardLockState{});
  // Looking did not keep the lock.
  const auto bound = kivu_host::bind_lock_name(name);
  ASSERT_TRUE(bound && *bound);
  ::close(**bound);
}

TEST(BoardLockState, ANameThatForgesATableLineCannotShowAFreeLockAsHeld) {
  const std::string name = kivu_host::board_lock_name(1, lock_prefix());
  int innocent[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, innocent), 0);
  const int forger = forge(inode_of(innocent[0]), name);
  const auto states = kivu_host::board_lock_states(std::vector<std::string>{name});
  ::close(forger);
  ::close(innocent[0]);
  ::close(innocent[1]);
  ASSERT_TRUE(states) << states.error();
  EXPECT_EQ((*states)[0], kivu_host::BoardLockState{}) << "held by " << (*states)[0].holders.size();
}

TEST(BoardLockState, ANameThatForgesATableLineCannotNameAnInnocentHolder) {
  const std::string name = kivu_host::board_lock_name(2, lock_prefix());
  const pid_t holder = hold_in_child(name);
  int innocent[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, innocent), 0);
  const int forger = forge(inode_of(innocent[0]), name);
  const auto states = kivu_host::board_lock_states(std::vector<std::string>{name});
  ::close(forger);
  ::close(innocent[0]);
  ::close(innocent[1]);
  stop(holder);
  ASSERT_TRUE(states) << states.error();
  EXPECT_TRUE((*states)[0].held);
  for (const auto& seen : (*states)[0].holders) EXPECT_NE(seen.pid, ::getpid()) << "an innocent holder was named";
}

TEST(BindLockName, HoldsTheNameUntilClosedAndRefusesANameTooLongForAnAddress) {
  const std::string name = kivu_host::board_lock_name(3, lock_prefix());
  const auto first = kivu_host::bind_lock_name(name);
  ASSERT_TRUE(first && *first);
  const auto second = kivu_host::bind_lock_name(name);
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->has_value());
  ::close(**first);
  const auto again = kivu_host::bind_lock_name(name);
  ASSERT_TRUE(again && *again);
  ::close(**again);

  // sun_path holds 108 bytes: the leading NUL byte and 107 of the name.
  const auto longest = kivu_host::bind_lock_name(std::string(107, 'k'));
  ASSERT_TRUE(longest && *longest);
  ::close(**longest);
  EXPECT_EQ(kivu_host::bind_lock_name(std::string(108, 'k')), std::unexpected(ENAMETOOLONG));
  EXPECT_EQ(kivu_host::bind_lock_name(""), std::unexpected(ENAMETOOLONG));
}

}  // namespace
