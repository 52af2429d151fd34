// A board's host-wide lock: taking it (once, or waiting for it), handing it
// on to a child, and who holds it, as /proc shows it.
//
// A board's lock is a socket bound to a name in the abstract Unix-socket
// namespace (kivu_host/board_identity.hpp). The kernel lists every socket in
// /proc/net/unix, a bound one with its name shown as "@" and the name after
// the socket's inode; a process that has the socket open has a descriptor
// whose link in /proc/PID/fd reads "socket:[INODE]". So the holders of a
// name are the processes with a descriptor of the socket listed under it, as
// far as this process may look into their /proc/PID/fd (a process of another
// user usually hides them: the lock then shows as held without a holder).
//
// The table is not to be trusted on its own: a name may hold a line break,
// so anybody can bind a name whose text forges a whole line of the table
// that lists a lock under the inode of any socket. Hence each line must have
// the kernel's exact layout, or it is ignored; the lock's state is confirmed
// by trying to bind its name (a name that binds is free, and is let go at
// once); and when more than one line names a lock, which one is the lock's
// cannot be told, so no holder is named.
//
// BoardLock is the one way to take a lock: the suite, its self-tests,
// kivu-boards' tests and this crate's tests all bind a board's name through
// it. The suite's waiting line, kivu-boards and the self-tests' stand-in
// runner all read the locks' holders through board_lock_states.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kivu_base/descriptor.hpp"

namespace kivu_host {

// A socket that /proc/net/unix lists: its inode and the name shown for it
// ("@NAME" for an abstract name; empty for a socket without one).
struct UnixSocketLine {
  std::uint64_t inode = 0;
  std::string path;

  bool operator==(const UnixSocketLine&) const = default;
};

// The sockets of the text of /proc/net/unix, header line first, in order.
// A line that does not have the kernel's exact layout, "NUM: REFCOUNT
// PROTOCOL FLAGS TYPE ST INODE" (a pointer's hex digits, then 8, 8, 8, 4
// and 2 upper-case hex digits, then the inode in decimal right-aligned to
// five places) and, for a named socket, one blank and the name to the end of
// the line, is left out.
[[nodiscard]] std::vector<UnixSocketLine> parse_unix_socket_table(std::string_view table);

// A process that has a lock's socket open.
struct LockHolder {
  long pid = 0;
  // The base name of its argv[0] (its kernel name when it has no command
  // line), with control characters shown as '?' so that it stays on one line.
  std::string command;

  bool operator==(const LockHolder&) const = default;
};

// A lock name's state.
struct BoardLockState {
  bool held = false;                // some socket is bound to the name
  std::vector<LockHolder> holders;  // by pid; may be empty although held

  bool operator==(const BoardLockState&) const = default;
};

// The state of each lock name in `names` (without the leading NUL byte, as
// board_lock_name gives them), in the same order. Reads /proc/net/unix once
// and the descriptors of /proc's processes once, and tries to bind each
// name once (see above). Fails, with the reason as one line, only when
// /proc/net/unix cannot be read: the locks' state is then unknown.
[[nodiscard]] std::expected<std::vector<BoardLockState>, std::string> board_lock_states(
    std::span<const std::string> names);

// The locks `names` as a line names them: "@NAME", followed by
// " (held by pid N)" or " (held by pids N, M)" when /proc tells who holds it,
// joined by ", ". Without holders when /proc/net/unix cannot be read.
[[nodiscard]] std::string locks_and_holders(std::span<const std::string> names);

// =============================================================================
// Taking a lock

// Why a lock was not taken.
struct BoardLockError {
  enum class Kind {
    held,      // another socket has the name (a wait: past its bound)
    unusable,  // the name cannot be bound at all; `reason` says why
  };
  Kind kind = Kind::held;
  // held: the locks tried and who holds them, as locks_and_holders gives
  // them; unusable: the lock that cannot be bound, "@NAME".
  std::string locks;
  // unusable: why, one line ("the name does not fit a socket address", or
  // the system's message); empty for held.
  std::string reason;

  bool operator==(const BoardLockError&) const = default;
};

// How BoardLock::wait waits.
struct BoardLockWait {
  // Gives up once this much time has passed without a lock (zero: tries each
  // lock once); nothing: waits as long as the locks are held.
  std::optional<std::chrono::milliseconds> bound;
  // Once this much time has passed without a lock, `waiting` is called,
  // once, with the locks waited for and their holders (locks_and_holders).
  std::chrono::milliseconds say_after = std::chrono::seconds(1);
  std::function<void(const std::string& locks)> waiting;
};

// A board's host-wide lock, held: a socket bound to the lock's name, owned
// by this object. The lock is let go when the object is destroyed, or when
// another lock is moved onto it, unless a child inherited the socket (then
// the board stays held until the child has exited too). Moving leaves the
// source empty: it holds nothing and lets go of nothing.
class BoardLock {
public:
  // Tries once to take the lock `name` (without the leading NUL byte): the
  // lock, or why not. Held by another: the error names the lock and its
  // holders. The socket is close-on-exec.
  [[nodiscard]] static std::expected<BoardLock, BoardLockError> try_take(std::string_view name);

  // Takes the first of the locks `names` that is free, trying them in
  // order; while none is, tries again, first after a millisecond and then
  // at twice the pause each time, at most 50 ms apart, saying so once as
  // `how` asks. Held past `how.bound`: the error names every lock and its
  // holders. A lock that cannot be taken at all ends the wait at once.
  [[nodiscard]] static std::expected<BoardLock, BoardLockError> wait(std::span<const std::string> names,
                                                                     const BoardLockWait& how);

  BoardLock(BoardLock&& other) noexcept
      : socket_(std::move(other.socket_)), name_(std::exchange(other.name_, std::string())) {}
  BoardLock& operator=(BoardLock&& other) noexcept {
    if (this != &other) {
      socket_ = std::move(other.socket_);
      name_ = std::exchange(other.name_, std::string());
    }
    return *this;
  }
  ~BoardLock() = default;

  // The lock's name, without the leading NUL byte; empty once moved from.
  [[nodiscard]] const std::string& name() const noexcept { return name_; }

  // The socket, for a child to inherit (the lock still owns it; the child's
  // copy holds the board until the child exits); -1 once moved from.
  [[nodiscard]] int inheritable_descriptor() const noexcept { return socket_.get(); }

  // The lock's state and holders as board_lock_states reads them.
  [[nodiscard]] std::expected<BoardLockState, std::string> state() const;

private:
  BoardLock(kivu_base::Descriptor socket, std::string name) noexcept
      : socket_(std::move(socket)), name_(std::move(name)) {}

  kivu_base::Descriptor socket_;
  std::string name_;
};

}  // namespace kivu_host
