// Taking a board's lock, and who holds it, from /proc (see
// kivu_host/board_lock.hpp).
#include "kivu_host/board_lock.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>
#include <thread>

#include "kivu_base/descriptor.hpp"
#include "kivu_base/number.hpp"
#include "kivu_base/os_error.hpp"
#include "kivu_host/board_identity.hpp"

namespace kivu_host {

namespace {

// =============================================================================
// Binding a name

// Binds a new close-on-exec socket to the lock name `name` (without the
// leading NUL byte): the socket, or nothing when another socket has the
// name. Otherwise the errno of the failure (ENAMETOOLONG for a name that
// does not fit an address).
std::expected<std::optional<kivu_base::Descriptor>, int> bind_name(std::string_view name) noexcept {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A NUL byte, then the name, without a terminating NUL.
  if (name.empty() || name.size() + 1 > sizeof address.sun_path) return std::unexpected(ENAMETOOLONG);
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  kivu_base::Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return std::unexpected(errno);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) return socket;
  if (errno == EADDRINUSE) return std::nullopt;
  return std::unexpected(errno);
}

// =============================================================================
// The table's layout

// Takes `count` hex digits of one case ('a'..'f' or 'A'..'F') off the front
// of `rest`.
bool take_hex(std::string_view& rest, std::size_t count, bool upper) {
  if (rest.size() < count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = rest[i];
    const bool letter = upper ? (c >= 'A' && c <= 'F') : (c >= 'a' && c <= 'f');
    if (!(c >= '0' && c <= '9') && !letter) return false;
  }
  rest.remove_prefix(count);
  return true;
}

// Takes `text` off the front of `rest`.
bool take(std::string_view& rest, std::string_view text) {
  if (!rest.starts_with(text)) return false;
  rest.remove_prefix(text.size());
  return true;
}

// One line of the table, as the kernel prints it:
// "%pK: %08X %08X %08X %04X %02X %5lu", then " NAME" for a named socket.
std::optional<UnixSocketLine> parse_line(std::string_view rest) {
  if (!take_hex(rest, 2 * sizeof(void*), false) || !take(rest, ": ")) return std::nullopt;
  for (const std::size_t digits : {8, 8, 8, 4, 2}) {
    if (!take_hex(rest, digits, true) || !take(rest, " ")) return std::nullopt;
  }
  // The inode, right-aligned to five places: blanks only before a shorter
  // number.
  const std::size_t blanks = rest.find_first_not_of(' ');
  if (blanks == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(blanks);
  const std::size_t digits = std::min(rest.find(' '), rest.size());
  const auto inode = kivu_base::parse_digits(rest.substr(0, digits), 10);
  if (!inode || blanks != (digits < 5 ? 5 - digits : 0)) return std::nullopt;
  rest.remove_prefix(digits);
  UnixSocketLine line{*inode, {}};
  if (rest.empty()) return line;
  // One blank, then the name to the end of the line: it may hold blanks.
  if (!take(rest, " ") || rest.empty()) return std::nullopt;
  line.path = std::string(rest);
  return line;
}

// =============================================================================
// The holders

// The first line of /proc/PID/`file` up to its first NUL byte or line break.
std::string first_word(const std::string& directory, const char* file) {
  std::ifstream in(directory + "/" + file, std::ios::binary);
  std::string text;
  std::getline(in, text, '\0');
  if (const auto newline = text.find('\n'); newline != std::string::npos) text.resize(newline);
  return text;
}

// The command of the process whose /proc directory is `directory`: the base
// name of argv[0], or the kernel's name of the process when the command line
// is empty (a zombie, a kernel thread), on one line.
std::string process_command(const std::string& directory) {
  std::string command = first_word(directory, "cmdline");
  if (const auto slash = command.rfind('/'); slash != std::string::npos && slash + 1 < command.size()) {
    command.erase(0, slash + 1);
  }
  if (command.empty()) command = first_word(directory, "comm");
  for (char& c : command) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return command;
}

// Walks the descriptors of every process /proc lets this process see and
// records each one that has a socket of `owners` open as a holder of the
// locks `owners` maps that socket's inode to.
void find_holders(const std::map<std::uint64_t, std::vector<std::size_t>>& owners,
                  std::vector<BoardLockState>& states) {
  auto processes = kivu_base::Directory::open("/proc");
  if (!processes) return;
  while (const dirent* process = processes->next()) {
    const auto pid = kivu_base::parse_digits(process->d_name, 10, LONG_MAX);
    if (!pid) continue;
    const std::string directory = "/proc/" + std::string(process->d_name);
    const std::string descriptors_path = directory + "/fd";
    auto descriptors = kivu_base::Directory::open(descriptors_path.c_str());
    if (!descriptors) continue;     // gone, or not ours to see
    std::vector<std::size_t> held;  // the locks this process holds
    while (const dirent* descriptor = descriptors->next()) {
      if (descriptor->d_name[0] == '.') continue;
      char target[64];
      const auto size = ::readlink((descriptors_path + "/" + descriptor->d_name).c_str(), target, sizeof target - 1);
      if (size <= 0) continue;
      const std::string_view link(target, static_cast<std::size_t>(size));
      if (!link.starts_with("socket:[") || !link.ends_with(']')) continue;
      const auto inode = kivu_base::parse_digits(link.substr(8, link.size() - 9), 10);
      if (!inode) continue;
      const auto found = owners.find(*inode);
      if (found == owners.end()) continue;
      for (const std::size_t index : found->second) {
        if (std::ranges::find(held, index) == held.end()) held.push_back(index);
      }
    }
    if (held.empty()) continue;
    const LockHolder holder{static_cast<long>(*pid), process_command(directory)};
    for (const std::size_t index : held) states[index].holders.push_back(holder);
  }
  for (auto& state : states) std::ranges::sort(state.holders, {}, &LockHolder::pid);
}

}  // namespace

std::vector<UnixSocketLine> parse_unix_socket_table(std::string_view table) {
  std::vector<UnixSocketLine> sockets;
  // The header line first; every line ends with a line break.
  auto newline = table.find('\n');
  while (newline != std::string_view::npos) {
    table.remove_prefix(newline + 1);
    newline = table.find('\n');
    if (newline == std::string_view::npos) break;
    if (auto line = parse_line(table.substr(0, newline))) sockets.push_back(std::move(*line));
  }
  return sockets;
}

std::expected<std::vector<BoardLockState>, std::string> board_lock_states(std::span<const std::string> names) {
  std::vector<BoardLockState> states(names.size());
  if (names.empty()) return states;

  errno = 0;
  std::ifstream file("/proc/net/unix", std::ios::binary);
  std::ostringstream text;
  if (file) text << file.rdbuf();
  const std::string table = text.str();
  if (!file || !table.starts_with("Num")) {
    const int error = errno;
    return std::unexpected(
        "cannot read /proc/net/unix: " +
        (error != 0 ? std::error_code(error, std::system_category()).message() : std::string("no header line")));
  }
  const auto sockets = parse_unix_socket_table(table);

  std::map<std::string_view, std::vector<std::size_t>> wanted;  // name -> indices in `names`
  for (std::size_t i = 0; i < names.size(); ++i) wanted[names[i]].push_back(i);
  std::map<std::uint64_t, std::vector<std::size_t>> owners;  // inode -> indices in `names`
  for (const auto& [name, indices] : wanted) {
    const std::string shown = board_lock_display(name);
    std::vector<std::uint64_t> listed;  // the inodes of the lines naming the lock
    for (const auto& socket : sockets) {
      if (socket.path == shown) listed.push_back(socket.inode);
    }
    // The bind is the kernel's own answer; the table's stands only when the
    // bind cannot be tried at all.
    bool held = !listed.empty();
    // The socket bound for the test, if any, is closed at once.
    if (const auto bound = bind_name(name)) held = !bound->has_value();
    for (const std::size_t index : indices) states[index].held = held;
    // One socket can have the name: a second line naming it is forged, and
    // which one is not cannot be told.
    if (held && listed.size() == 1) {
      auto& owned = owners[listed.front()];
      owned.insert(owned.end(), indices.begin(), indices.end());
    }
  }
  if (!owners.empty()) find_holders(owners, states);
  return states;
}

std::string locks_and_holders(std::span<const std::string> names) {
  const auto states = board_lock_states(names);
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) text += ", ";
    text += board_lock_display(names[i]);
    if (!states || (*states)[i].holders.empty()) continue;
    const auto& holders = (*states)[i].holders;
    text += holders.size() == 1 ? " (held by pid " : " (held by pids ";
    for (std::size_t j = 0; j < holders.size(); ++j) text += (j == 0 ? "" : ", ") + std::to_string(holders[j].pid);
    text += ")";
  }
  return text;
}

// =============================================================================
// The lock

namespace {

// The lock `name` taken once: the lock; nothing when another socket has the
// name; an unusable error otherwise.
std::expected<std::optional<kivu_base::Descriptor>, BoardLockError> bind_or_explain(std::string_view name) {
  auto bound = bind_name(name);
  if (bound) return std::move(*bound);
  return std::unexpected(BoardLockError{BoardLockError::Kind::unusable, board_lock_display(name),
                                        bound.error() == ENAMETOOLONG
                                            ? std::string("the name does not fit a socket address")
                                            : kivu_base::os_error_display(bound.error())});
}

}  // namespace

std::expected<BoardLock, BoardLockError> BoardLock::try_take(std::string_view name) {
  auto bound = bind_or_explain(name);
  if (!bound) return std::unexpected(bound.error());
  if (*bound) return BoardLock(std::move(**bound), std::string(name));
  const std::string names[] = {std::string(name)};
  return std::unexpected(BoardLockError{BoardLockError::Kind::held, locks_and_holders(names), {}});
}

std::expected<BoardLock, BoardLockError> BoardLock::wait(std::span<const std::string> names, const BoardLockWait& how) {
  using namespace std::chrono_literals;
  const auto started = std::chrono::steady_clock::now();
  auto pause = 1ms;
  bool said = false;
  for (;;) {
    for (const std::string& name : names) {
      auto bound = bind_or_explain(name);
      if (!bound) return std::unexpected(bound.error());
      if (*bound) return BoardLock(std::move(**bound), name);
    }
    const auto waited = std::chrono::steady_clock::now() - started;
    if (how.bound && waited >= *how.bound) {
      return std::unexpected(BoardLockError{BoardLockError::Kind::held, locks_and_holders(names), {}});
    }
    if (!said && waited >= how.say_after) {
      said = true;
      if (how.waiting) how.waiting(locks_and_holders(names));
    }
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::milliseconds>(pause * 2, 50ms);
  }
}

std::expected<BoardLockState, std::string> BoardLock::state() const {
  const std::string names[] = {name_};
  auto states = board_lock_states(names);
  if (!states) return std::unexpected(std::move(states.error()));
  return std::move(states->front());
}

}  // namespace kivu_host
