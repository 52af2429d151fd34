// The stand-in runner: a recording replacement for the five runner programs,
// used by the suite's self-tests. It is installed under each runner's name
// and learns which runner it plays from the last part of argv[0].
//
// Record. When KIVU_STANDIN_LOG names a directory, each invocation writes one
// file there, <start ns>-<pid>.log (names sort in start order), of lines
//   name <runner name>
//   pid <pid>
//   ppid <parent pid>
//   start <CLOCK_MONOTONIC in ns>
//   arg <argument>          one line per argv entry, argv[0] first
//   cwd <working directory>
//   env <NAME=value>        one line per environment entry, in order
//   alive <pid>             one line per stand-in logged in the same
//                           directory that still ran when this one started
//   end <CLOCK_MONOTONIC in ns>
// A stand-in counts as still running while it has not logged its end and
// its process still has open files: a killed one keeps them while it tears
// down its memory, and closes them last (for a real runner, the device).
// The file appears complete up to "env" (written aside, then renamed); "end"
// is appended just before the stand-in exits or signals itself. Texts are
// raw bytes with "\\" for a backslash and "\xNN" for each byte outside
// 0x21..0x7e, so a line splits at its first space.
//
// Hold the board. Started by the suite, a runner must hold its board's lock
// itself, so that a suite killed outright cannot hand the board over while
// its runner still runs. The stand-in looks for its own pid among the
// holders of the lock of board KIVU_BOARD (unset or empty: 0) under the
// prefix KIVU_SELFTEST_DEVICE_LOCK (unset: the host's, kivu-board), right
// after logging its start; when it is not among them it says so in one line
// on stderr and exits with 4.
//
// Act. When KIVU_STANDIN_CONTROL names a file, its first matching rule says
// what to do; without a match the stand-in exits with 0. A rule is one line:
//   <runner name or *> <selector> <action> <argument> [<action> <argument>]...
// with the selector "*" or NAME=VALUE (the stand-in's environment holds that
// exact entry), and the actions, done in order:
//   exit N      exit with code N
//   signal N    end by signal N (no core file is written)
//   sleep MS    sleep MS milliseconds
//   touch MB    allocate MB mebibytes and write to every page (so that the
//               process takes a while to tear down when it is killed)
//   copy PATH   copy the file PATH to $KIVU_PROFILE_OUTPUT
//   note WORD   append "note WORD" to its log (a mark a test can wait for)
//   release PATH  wait until the file PATH exists, at most two minutes
//   await N     wait until at least N stand-ins have logged their start in
//               its log directory, at most two minutes
//   report WORD append "<runner name>: WORD" and a line break to the file
//               $KIVU_RUNNER_FAILURE_FILE, as a failing runner does
//   locate FIELDS append "location " and FIELDS with each "," turned into a
//               space to that file: a runner's location line
// Rules that run out of actions exit with 0. Lines starting with # are
// ignored. A broken control file or a failed copy exits with 3 and one line
// on stderr.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kivu_base/descriptor.hpp"
#include "kivu_host/board_identity.hpp"
#include "kivu_host/board_lock.hpp"

extern char** environ;

namespace {

// =============================================================================
// Recording

std::uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::string escape(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x21 || byte > 0x7e) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(byte));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

[[noreturn]] void broken(const std::string& what) {
  std::fprintf(stderr, "stand-in runner: %s\n", what.c_str());
  std::exit(3);
}

// The log file of this invocation, or "" when nothing is recorded.
std::string log_file;

// True when process `pid` exists and has not closed its files yet.
bool has_open_files(const std::string& pid) {
  auto files = kivu_base::Directory::open(("/proc/" + pid + "/fd").c_str());
  if (!files) return false;
  while (const dirent* entry = files->next()) {
    if (entry->d_name[0] != '.') return true;
  }
  return false;
}

// The stand-ins logged in `directory` that have not logged their end and
// still have open files.
std::vector<pid_t> running_stand_ins(const char* directory) {
  std::vector<pid_t> running;
  auto logs = kivu_base::Directory::open(directory);
  if (!logs) return running;
  while (const dirent* entry = logs->next()) {
    const std::string file = entry->d_name;
    if (!file.ends_with(".log")) continue;
    std::ifstream log(std::string(directory) + "/" + file);
    std::string line;
    std::string pid;
    bool ended = false;
    while (std::getline(log, line)) {
      if (line.starts_with("pid ")) pid = line.substr(4);
      if (line.starts_with("end ")) ended = true;
    }
    if (ended || pid.empty() || std::stol(pid) == getpid()) continue;
    if (has_open_files(pid)) running.push_back(static_cast<pid_t>(std::stol(pid)));
  }
  return running;
}

void record_start(const std::string& name, int argc, char** argv, std::uint64_t start) {
  const char* directory = std::getenv("KIVU_STANDIN_LOG");
  if (directory == nullptr) return;
  std::ostringstream record;
  record << "name " << escape(name) << '\n'
         << "pid " << getpid() << '\n'
         << "ppid " << getppid() << '\n'
         << "start " << start << '\n';
  for (int i = 0; i < argc; ++i) record << "arg " << escape(argv[i]) << '\n';
  std::vector<char> cwd(PATH_MAX + 1);
  record << "cwd " << (getcwd(cwd.data(), cwd.size()) != nullptr ? escape(cwd.data()) : "?") << '\n';
  for (char** entry = environ; *entry != nullptr; ++entry) record << "env " << escape(*entry) << '\n';
  for (const pid_t other : running_stand_ins(directory)) record << "alive " << other << '\n';

  const std::string base = std::string(directory) + "/" + std::to_string(start) + "-" + std::to_string(getpid());
  const std::string partial = base + ".partial";
  {
    std::ofstream out(partial, std::ios::binary);
    out << record.str();
    if (!out.flush()) broken("cannot write " + partial);
  }
  log_file = base + ".log";
  if (std::rename(partial.c_str(), log_file.c_str()) != 0) broken("cannot rename " + partial);
}

// Appends `line` to the file `path`, which must exist.
void append_line(const std::string& path, const std::string& line) {
  if (const auto file = kivu_base::open_file(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)) {
    (void)kivu_base::write_all(file->get(), line.data(), line.size());
  }
}

void record_end() {
  if (log_file.empty()) return;
  append_line(log_file, "end " + std::to_string(now_ns()) + "\n");
}

// The number of stand-ins that have logged their start in `directory`.
std::size_t started_stand_ins(const char* directory) {
  std::size_t count = 0;
  auto logs = kivu_base::Directory::open(directory);
  if (!logs) return 0;
  while (const dirent* entry = logs->next()) {
    if (std::string_view(entry->d_name).ends_with(".log")) ++count;
  }
  return count;
}

// =============================================================================
// Acting

[[noreturn]] void finish(int code) {
  record_end();
  std::exit(code);
}

[[noreturn]] void die_by_signal(int signal) {
  record_end();
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  broken("signal " + std::to_string(signal) + " did not end the process");
}

void copy_profile(const std::string& source) {
  const char* target = std::getenv("KIVU_PROFILE_OUTPUT");
  if (target == nullptr) broken("copy without KIVU_PROFILE_OUTPUT");
  std::ifstream in(source, std::ios::binary);
  if (!in) broken("cannot read " + source);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  if (!out.flush()) broken(std::string("cannot write ") + target);
}

bool environment_has(const std::string& entry) {
  for (char** e = environ; *e != nullptr; ++e) {
    if (entry == *e) return true;
  }
  return false;
}

long number(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0) broken("not a number in control file: " + text);
  return value;
}

void act(const std::string& name) {
  const char* control = std::getenv("KIVU_STANDIN_CONTROL");
  if (control == nullptr) return;
  std::ifstream rules(control);
  if (!rules) broken(std::string("cannot read control file ") + control);
  std::string line;
  while (std::getline(rules, line)) {
    std::istringstream words(line);
    std::string runner;
    std::string selector;
    if (!(words >> runner) || runner.front() == '#') continue;
    if (!(words >> selector)) broken("rule without selector: " + line);
    if (runner != "*" && runner != name) continue;
    if (selector != "*" && !environment_has(selector)) continue;
    std::string action;
    std::string argument;
    while (words >> action) {
      if (!(words >> argument)) broken("action without argument: " + line);
      if (action == "exit") {
        finish(static_cast<int>(number(argument)));
      } else if (action == "signal") {
        die_by_signal(static_cast<int>(number(argument)));
      } else if (action == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(number(argument)));
      } else if (action == "touch") {
        const auto bytes = static_cast<std::size_t>(number(argument)) << 20;
        auto* memory = static_cast<volatile char*>(std::malloc(bytes));
        if (memory == nullptr) broken("cannot allocate " + argument + " MiB");
        for (std::size_t at = 0; at < bytes; at += 4096) memory[at] = 1;
      } else if (action == "copy") {
        copy_profile(argument);
      } else if (action == "release") {
        const std::uint64_t deadline = now_ns() + 120'000'000'000ULL;
        while (access(argument.c_str(), F_OK) != 0) {
          if (now_ns() > deadline) broken(argument + " did not appear within two minutes");
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      } else if (action == "note") {
        if (!log_file.empty()) append_line(log_file, "note " + argument + "\n");
      } else if (action == "await") {
        const char* directory = std::getenv("KIVU_STANDIN_LOG");
        if (directory == nullptr) broken("await without KIVU_STANDIN_LOG");
        const auto wanted = static_cast<std::size_t>(number(argument));
        const std::uint64_t deadline = now_ns() + 120'000'000'000ULL;
        while (started_stand_ins(directory) < wanted) {
          if (now_ns() > deadline) broken("fewer than " + argument + " stand-ins started within two minutes");
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      } else if (action == "report") {
        const char* file = std::getenv("KIVU_RUNNER_FAILURE_FILE");
        if (file == nullptr) broken("report without KIVU_RUNNER_FAILURE_FILE");
        append_line(file, name + ": " + argument + "\n");
      } else if (action == "locate") {
        const char* file = std::getenv("KIVU_RUNNER_FAILURE_FILE");
        if (file == nullptr) broken("locate without KIVU_RUNNER_FAILURE_FILE");
        std::ranges::replace(argument, ',', ' ');
        append_line(file, "location " + argument + "\n");
      } else {
        broken("unknown action: " + action);
      }
    }
    return;
  }
}

// Exits with 4 unless this process holds its board's lock.
void require_board() {
  const char* prefix = std::getenv("KIVU_SELFTEST_DEVICE_LOCK");
  const char* board = std::getenv("KIVU_BOARD");
  const std::string name = std::string(prefix != nullptr ? prefix : "kivu-board") + "-" +
                           (board != nullptr && *board != '\0' ? board : "0");
  const auto states = kivu_host::board_lock_states(std::vector<std::string>{name});
  if (!states) broken(states.error());
  for (const auto& holder : (*states)[0].holders) {
    if (holder.pid == getpid()) return;
  }
  std::fprintf(stderr, "stand-in runner: pid %ld does not hold its board's lock %s\n", static_cast<long>(getpid()),
               kivu_host::board_lock_display(name).c_str());
  finish(4);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t start = now_ns();
  std::string name = argc > 0 ? argv[0] : "";
  if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  record_start(name, argc, argv, start);
  require_board();
  act(name);
  finish(0);
}
