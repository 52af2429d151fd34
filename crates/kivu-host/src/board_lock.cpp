// Who holds a board's lock, from /proc (see kivu_host/board_lock.hpp).
#include "kivu_host/board_lock.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "kivu_host/board_identity.hpp"
#include "kivu_host/settings.hpp"

namespace kivu_host {

namespace {

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
void find_holders(const std::map<std::string, std::vector<std::size_t>>& owners, std::vector<BoardLockState>& states) {
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return;
  while (const dirent* process = ::readdir(processes)) {
    const auto pid = parse_digits(process->d_name, 10, LONG_MAX);
    if (!pid) continue;
    const std::string directory = "/proc/" + std::string(process->d_name);
    const std::string descriptors_path = directory + "/fd";
    DIR* descriptors = ::opendir(descriptors_path.c_str());
    if (descriptors == nullptr) continue;  // gone, or not ours to see
    std::vector<std::size_t> held;         // the locks this process holds
    while (const dirent* descriptor = ::readdir(descriptors)) {
      if (descriptor->d_name[0] == '.') continue;
      char target[64];
      const auto size = ::readlink((descriptors_path + "/" + descriptor->d_name).c_str(), target, sizeof target - 1);
      if (size <= 0) continue;
      const std::string_view link(target, static_cast<std::size_t>(size));
      if (!link.starts_with("socket:[") || !link.ends_with(']')) continue;
      const auto found = owners.find(std::string(link.substr(8, link.size() - 9)));
      if (found == owners.end()) continue;
      for (const std::size_t index : found->second) {
        if (std::ranges::find(held, index) == held.end()) held.push_back(index);
      }
    }
    ::closedir(descriptors);
    if (held.empty()) continue;
    const LockHolder holder{static_cast<long>(*pid), process_command(directory)};
    for (const std::size_t index : held) states[index].holders.push_back(holder);
  }
  ::closedir(processes);
  for (auto& state : states) std::ranges::sort(state.holders, {}, &LockHolder::pid);
}

}  // namespace

std::expected<std::vector<BoardLockState>, std::string> board_lock_states(std::span<const std::string> names) {
  std::vector<BoardLockState> states(names.size());
  if (names.empty()) return states;

  // Lines read "Num RefCount Protocol Flags Type St Inode Path", an abstract
  // name's path shown as "@" and the name; a socket without a name has no
  // path.
  errno = 0;
  std::ifstream table("/proc/net/unix");
  std::string line;
  if (!table || !std::getline(table, line)) {
    const int error = errno;
    return std::unexpected(
        "cannot read /proc/net/unix: " +
        (error != 0 ? std::error_code(error, std::system_category()).message() : std::string("no header line")));
  }
  std::map<std::string, std::vector<std::size_t>> wanted;  // shown name -> indices in `names`
  for (std::size_t i = 0; i < names.size(); ++i) wanted[board_lock_display(names[i])].push_back(i);
  std::map<std::string, std::vector<std::size_t>> owners;  // inode -> indices in `names`
  while (std::getline(table, line)) {
    std::istringstream words(line);
    std::string number, references, protocol, flags, type, state, inode, path;
    if (!(words >> number >> references >> protocol >> flags >> type >> state >> inode)) continue;
    // The path is the rest of the line; it may hold spaces.
    std::getline(words >> std::ws, path);
    const auto found = wanted.find(path);
    if (found == wanted.end()) continue;
    for (const std::size_t index : found->second) {
      states[index].held = true;
      owners[inode].push_back(index);
    }
  }
  if (!owners.empty()) find_holders(owners, states);
  return states;
}

}  // namespace kivu_host
