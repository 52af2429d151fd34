// Who holds a board's host-wide lock, as /proc shows it.
//
// A board's lock is a socket bound to a name in the abstract Unix-socket
// namespace (kivu_host/board_identity.hpp). The kernel lists every bound socket in
// /proc/net/unix, with the name shown as "@" and the name, next to the
// socket's inode; a process that has the socket open has a descriptor whose
// link in /proc/PID/fd reads "socket:[INODE]". So a name is held when
// /proc/net/unix lists it, and its holders are the processes with such a
// descriptor, as far as this process may look into their /proc/PID/fd (a
// process of another user usually hides them: the lock then shows as held
// without a holder).
//
// The suite's waiting line and kivu-boards both read the locks this way.
// Reading never binds, connects or otherwise touches the lock.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivu_host {

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
// and the descriptors of /proc's processes once. Fails, with the reason as
// one line, only when /proc/net/unix cannot be read: the locks' state is
// then unknown.
[[nodiscard]] std::expected<std::vector<BoardLockState>, std::string> board_lock_states(
    std::span<const std::string> names);

}  // namespace kivu_host
