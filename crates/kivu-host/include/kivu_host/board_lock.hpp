// Taking a board's host-wide lock, and who holds it, as /proc shows it.
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
// The suite's waiting line, kivu-boards and the self-tests' stand-in runner
// all read the locks this way.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivu_host {

// Binds a new close-on-exec socket to the lock name `name` (without the
// leading NUL byte): the socket, which holds the lock until it is closed, or
// nothing when another socket has the name. Otherwise the errno of the
// failure (ENAMETOOLONG for a name that does not fit an address).
[[nodiscard]] std::expected<std::optional<int>, int> bind_lock_name(std::string_view name) noexcept;

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

}  // namespace kivu_host
