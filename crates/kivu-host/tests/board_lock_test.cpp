#include "kivu_host/board_lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivu_host/board_identity.hpp"
#include "kivu_testing/lock_holder.hpp"

namespace {

using kivu_host::BoardLock;
using kivu_host::BoardLockError;
using kivu_host::UnixSocketLine;
using kivu_testing::hold_lock_in_child;
using kivu_testing::stop_lock_holder;
using namespace std::chrono_literals;

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

// Binds an abstract name whose text forges a table line that lists `lock`
// under `inode`: the forger's lock.
BoardLock forge(std::uint64_t inode, const std::string& lock) {
  // An address holds 107 bytes of name: the forger keeps its own part short.
  const std::string name = "x\n" + table_line(inode, kivu_host::board_lock_display(lock));
  auto bound = BoardLock::try_take(name);
  if (!bound) throw std::runtime_error("cannot bind the forged name");
  return std::move(*bound);
}

// The state of the lock `name` as board_lock_states reads it while a forger
// binds a name that forges a table line listing `name` under the inode of an
// innocent socket of this process.
std::expected<std::vector<kivu_host::BoardLockState>, std::string> states_beside_a_forger(const std::string& name) {
  int innocent[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, innocent) != 0)
    throw std::runtime_error("socketpair failed");
  auto forger = std::optional(forge(inode_of(innocent[0]), name));
  auto states = kivu_host::board_lock_states(std::vector<std::string>{name});
  forger.reset();
  ::close(innocent[0]);
  ::close(innocent[1]);
  return states;
}

// Whether the lock `name` is free: taking it works (and lets go at once).
bool is_free(const std::string& name) { return BoardLock::try_take(name).has_value(); }

// The lock `name` taken, or the test's failure.
BoardLock take(const std::string& name) {
  auto lock = BoardLock::try_take(name);
  if (!lock) throw std::runtime_error("cannot take " + name + ": " + lock.error().locks + " " + lock.error().reason);
  return std::move(*lock);
}

// "@NAME (held by pid PID)".
std::string held_by(const std::string& name, pid_t pid) {
  return kivu_host::board_lock_display(name) + " (held by pid " + std::to_string(pid) + ")";
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
  const pid_t holder = hold_lock_in_child(name);
  const auto held = kivu_host::board_lock_states(std::vector<std::string>{name});
  stop_lock_holder(holder);
  ASSERT_TRUE(held) << held.error();
  ASSERT_TRUE((*held)[0].held);
  ASSERT_EQ((*held)[0].holders.size(), 1u);
  EXPECT_EQ((*held)[0].holders[0].pid, holder);

  const auto free = kivu_host::board_lock_states(std::vector<std::string>{name});
  ASSERT_TRUE(free) << free.error();
  EXPECT_EQ((*free)[0], kivu_host::BoardLockState{});
  // Looking did not keep the lock.
  EXPECT_TRUE(is_free(name));
}

TEST(BoardLockState, ANameThatForgesATableLineCannotShowAFreeLockAsHeld) {
  const std::string name = kivu_host::board_lock_name(1, lock_prefix());
  const auto states = states_beside_a_forger(name);
  ASSERT_TRUE(states) << states.error();
  EXPECT_EQ((*states)[0], kivu_host::BoardLockState{}) << "held by " << (*states)[0].holders.size();
}

TEST(BoardLockState, ANameThatForgesATableLineCannotNameAnInnocentHolder) {
  const std::string name = kivu_host::board_lock_name(2, lock_prefix());
  const pid_t holder = hold_lock_in_child(name);
  const auto states = states_beside_a_forger(name);
  stop_lock_holder(holder);
  ASSERT_TRUE(states) << states.error();
  EXPECT_TRUE((*states)[0].held);
  for (const auto& seen : (*states)[0].holders) EXPECT_NE(seen.pid, ::getpid()) << "an innocent holder was named";
}

// =============================================================================
// Taking a lock

TEST(BoardLockTake, HoldsTheNameUntilDestroyedAndRefusesANameThatCannotBeBound) {
  const std::string name = kivu_host::board_lock_name(3, lock_prefix());
  {
    const BoardLock first = take(name);
    EXPECT_EQ(first.name(), name);
    const auto second = BoardLock::try_take(name);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind, BoardLockError::Kind::held);
  }
  EXPECT_TRUE(is_free(name));

  // sun_path holds 108 bytes: the leading NUL byte and 107 of the name.
  EXPECT_TRUE(is_free(std::string(107, 'k')));
  const BoardLockError too_long{BoardLockError::Kind::unusable, "@" + std::string(108, 'k'),
                                "the name does not fit a socket address"};
  EXPECT_EQ(BoardLock::try_take(std::string(108, 'k')), std::unexpected(too_long));
  EXPECT_EQ(BoardLock::try_take("").error().kind, BoardLockError::Kind::unusable);
}

TEST(BoardLockTake, FailsOnAHeldLockNamingItsHolder) {
  const std::string name = kivu_host::board_lock_name(4, lock_prefix());
  const pid_t holder = hold_lock_in_child(name);
  const auto taken = BoardLock::try_take(name);
  stop_lock_holder(holder);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error(), (BoardLockError{BoardLockError::Kind::held, held_by(name, holder), ""}));
}

TEST(BoardLockTake, LetsGoWhenDestroyedAndWhenAnotherLockIsMovedOntoIt) {
  const std::string first = kivu_host::board_lock_name(5, lock_prefix());
  const std::string second = kivu_host::board_lock_name(6, lock_prefix());
  BoardLock lock = take(first);
  // Moved: the new owner holds it, the old one holds nothing.
  BoardLock owner = std::move(lock);
  EXPECT_EQ(lock.name(), "");
  EXPECT_EQ(lock.inheritable_descriptor(), -1);
  EXPECT_EQ(owner.name(), first);
  EXPECT_FALSE(is_free(first));
  const auto state = owner.state();
  ASSERT_TRUE(state) << state.error();
  ASSERT_EQ(state->holders.size(), 1u);
  EXPECT_EQ(state->holders[0].pid, ::getpid());

  // Another lock moved onto it: the first is let go, the second kept.
  owner = take(second);
  EXPECT_TRUE(is_free(first));
  EXPECT_FALSE(is_free(second));
  { const BoardLock gone = std::move(owner); }
  EXPECT_TRUE(is_free(second));
}

// =============================================================================
// Waiting for a lock

TEST(BoardLockWait, GivesUpOnALockHeldPastTheBoundNamingEveryLockAndItsHolder) {
  const std::string held = kivu_host::board_lock_name(7, lock_prefix());
  const pid_t holder = hold_lock_in_child(held);
  const std::vector<std::string> names = {held};
  // A bound of zero tries once.
  const auto at_once = BoardLock::wait(names, {.bound = 0ms});
  // A longer bound is waited out in full, no less.
  const auto started = std::chrono::steady_clock::now();
  const auto later = BoardLock::wait(names, {.bound = 200ms});
  const auto waited = std::chrono::steady_clock::now() - started;
  stop_lock_holder(holder);
  const BoardLockError expected{BoardLockError::Kind::held, held_by(held, holder), ""};
  EXPECT_EQ(at_once, std::unexpected(expected));
  EXPECT_EQ(later, std::unexpected(expected));
  EXPECT_GE(waited, 200ms);
}

TEST(BoardLockWait, TakesALockLetGoWithinTheBoundAfterSayingOnceWhatItWaitsFor) {
  const std::vector<std::string> names = {kivu_host::board_lock_name(8, lock_prefix()),
                                          kivu_host::board_lock_name(9, lock_prefix())};
  const pid_t first = hold_lock_in_child(names[0]);
  const pid_t second = hold_lock_in_child(names[1]);
  std::vector<std::string> said;
  // The holder of the second lock lets go once the wait says it is waiting.
  const auto taken = BoardLock::wait(names, {.bound = 1min, .say_after = 0ms, .waiting = [&](const std::string& locks) {
                                               said.push_back(locks);
                                               stop_lock_holder(second);
                                             }});
  stop_lock_holder(first);
  ASSERT_TRUE(taken) << taken.error().locks;
  EXPECT_EQ(taken->name(), names[1]);
  EXPECT_EQ(said, std::vector<std::string>{held_by(names[0], first) + ", " + held_by(names[1], second)});
}

TEST(BoardLockWait, TakesTheFirstFreeLockInOrderAndStopsAtOneThatCannotBeBound) {
  const std::vector<std::string> names = {kivu_host::board_lock_name(10, lock_prefix()),
                                          kivu_host::board_lock_name(11, lock_prefix())};
  const auto taken = BoardLock::wait(names, {.bound = 0ms});
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->name(), names[0]);
  // Unbounded: a name that cannot be bound must end the wait, not hang it.
  const std::vector<std::string> bad = {names[0], std::string(108, 'k')};
  const auto refused = BoardLock::wait(bad, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, BoardLockError::Kind::unusable);
}

// =============================================================================
// Handing a lock on to a child

// Starts `cat` reading a pipe, with the lock's socket inherited or not, and
// returns once it runs cat (the exec closed a close-on-exec pipe): its pid
// and the pipe's end that ends it when closed.
std::pair<pid_t, int> start_cat(const BoardLock& lock, bool inherit) {
  int input[2];
  int started[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(started, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::dup2(input[0], 0);  // the copy is not close-on-exec
    if (inherit) ::fcntl(lock.inheritable_descriptor(), F_SETFD, 0);
    ::execl("/bin/cat", "cat", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(started[1]);
  char byte = 0;
  (void)!::read(started[0], &byte, 1);  // end of file once the child has exec'd
  ::close(started[0]);
  return {child, input[1]};
}

TEST(BoardLockInherit, AChildGivenTheSocketHoldsTheLockUntilItExitsAndNoOtherChildDoes) {
  const std::string name = kivu_host::board_lock_name(12, lock_prefix());
  auto lock = std::optional(take(name));
  const auto [bystander, bystander_input] = start_cat(*lock, false);
  const auto [runner, runner_input] = start_cat(*lock, true);
  const auto state = lock->state();
  lock.reset();
  const bool held_by_runner_alone = !is_free(name);
  const auto runner_state = BoardLock::try_take(name);
  ::close(runner_input);
  ::waitpid(runner, nullptr, 0);
  ::close(bystander_input);
  ::waitpid(bystander, nullptr, 0);

  ASSERT_TRUE(state) << state.error();
  std::vector<kivu_host::LockHolder> holders = {{::getpid(), program_invocation_short_name}, {runner, "cat"}};
  std::ranges::sort(holders, {}, &kivu_host::LockHolder::pid);
  EXPECT_EQ(state->holders, holders);
  EXPECT_TRUE(held_by_runner_alone) << "the lock was let go while its child still ran";
  ASSERT_FALSE(runner_state);
  EXPECT_EQ(runner_state.error().locks, held_by(name, runner));
  EXPECT_TRUE(is_free(name)) << "the lock stayed held after its child exited";
}

}  // namespace
