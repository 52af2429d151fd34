// The launcher: clone(CLONE_VM | CLONE_VFORK) on a small private stack, as
// posix_spawn does, so starting a runner costs no copy of the suite's memory.
// The child shares the parent's memory until it execs, so everything it needs
// (argv, envp) is built before it exists, and the child itself makes only
// system calls. What posix_spawn cannot do, and the reason for doing this by
// hand: the child asks for SIGKILL on its parent's death before it execs.
// Without CLONE_FILES the child has its own copy of the descriptor table, so
// it can clear close-on-exec on the descriptors it is to inherit without
// touching the suite's.
#include "launch.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "kivu_base/child_process.hpp"
#include "kivu_base/os_error.hpp"

extern char** environ;

namespace kivu_e2e {

// =============================================================================
// Results

bool ExitStatus::success() const noexcept { return WIFEXITED(wait_status_) && WEXITSTATUS(wait_status_) == 0; }

namespace {

// The names of the standard Linux signals, by number; none for the others.
const char* signal_name(int signal) noexcept {
  static constexpr const char* names[] = {
      nullptr,     "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
      "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
      "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
      "SIGXCPU",   "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
  };
  return signal > 0 && signal < static_cast<int>(std::size(names)) ? names[signal] : nullptr;
}

}  // namespace

std::string ExitStatus::text() const {
  if (WIFEXITED(wait_status_)) return "exit status: " + std::to_string(WEXITSTATUS(wait_status_));
  if (WIFSIGNALED(wait_status_)) {
    const int signal = WTERMSIG(wait_status_);
    std::string text = "signal: " + std::to_string(signal);
    if (const char* name = signal_name(signal)) {
      text += " (";
      text += name;
      text += ')';
    }
    if (WCOREDUMP(wait_status_)) text += " (core dumped)";
    return text;
  }
  // Stopped or continued: waitpid without WUNTRACED never reports these.
  return "unrecognized wait status: " + std::to_string(wait_status_);
}

std::string LaunchError::text() const { return kivu_base::os_error_display(code); }

// =============================================================================
// The command

Command& Command::env(std::string_view name, std::string_view value) {
  for (auto& [set_name, set_value] : variables_) {
    if (set_name == name) {
      set_value = value;
      return *this;
    }
  }
  variables_.emplace_back(name, value);
  return *this;
}

Command& Command::env_remove(std::string_view name) {
  if (std::ranges::find(removed_, name) == removed_.end()) removed_.emplace_back(name);
  return *this;
}

Command& Command::inherit_descriptor(int fd) {
  if (std::ranges::find(inherited_descriptors_, fd) == inherited_descriptors_.end()) {
    inherited_descriptors_.push_back(fd);
  }
  return *this;
}

bool Command::sets(std::string_view name) const noexcept {
  return std::ranges::any_of(variables_, [&](const auto& variable) { return variable.first == name; });
}

namespace {

// What the child needs, prepared by the parent. The child reports a failed
// exec through `error`, which the parent reads once the child has exec'd or
// exited (CLONE_VFORK suspends the parent until then).
struct ChildRequest {
  const char* path;
  char* const* argv;
  char* const* envp;
  const int* inherited;
  std::size_t inherited_count;
  const sigset_t* child_mask;
  pid_t parent;
  int error;
};

// True when the environment entry `entry` ("NAME=value") has name `name`.
bool entry_has_name(const char* entry, const std::string& name) noexcept {
  return std::strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '=';
}

// Runs in the child, on its own stack and in the parent's memory: only system
// calls from here on, no allocation, no locks. Not instrumented by sanitizers,
// whose bookkeeping would touch the shared memory.
__attribute__((no_sanitize("address", "undefined"))) int child_main(void* argument) {
  auto* request = static_cast<ChildRequest*>(argument);
  // Handlers installed in the parent would run on the shared memory: the
  // child puts every caught signal back to its default action first (ignored
  // signals stay ignored across exec, as they would with posix_spawn).
  for (int signal = 1; signal < _NSIG; ++signal) {
    struct sigaction action;
    if (sigaction(signal, nullptr, &action) != 0) continue;
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) continue;
    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
  sigprocmask(SIG_SETMASK, request->child_mask, nullptr);
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    request->error = errno;
    _exit(127);
  }
  // The parent may have died before the request above took effect; then no
  // signal will come, and the runner must not start at all.
  if (getppid() != request->parent) _exit(127);
  for (std::size_t i = 0; i < request->inherited_count; ++i) {
    if (fcntl(request->inherited[i], F_SETFD, 0) != 0) {
      request->error = errno;
      _exit(127);
    }
  }
  execve(request->path, request->argv, request->envp);
  request->error = errno;
  _exit(127);
}

// Waits for `child`, retrying when a signal interrupts the wait.
std::expected<ExitStatus, LaunchError> wait_for(pid_t child) {
  const auto wait_status = kivu_base::wait_for_child(child);
  if (!wait_status) return std::unexpected(LaunchError{wait_status.error()});
  return ExitStatus(*wait_status);
}

constexpr std::size_t child_stack_size = 64 * 1024;

}  // namespace

std::expected<ExitStatus, LaunchError> Command::status() const {
  // The set variables as "NAME=value" entries; then envp: the inherited
  // entries that no set variable replaces, in their order, then the set ones.
  std::vector<std::string> entries;
  entries.reserve(variables_.size());
  for (const auto& [name, value] : variables_) {
    std::string entry;
    entry.reserve(name.size() + 1 + value.size());
    entry.append(name).append(1, '=').append(value);
    entries.push_back(std::move(entry));
  }
  std::vector<char*> envp;
  std::size_t inherited = 0;
  while (environ != nullptr && environ[inherited] != nullptr) ++inherited;
  envp.reserve(inherited + entries.size() + 1);
  for (std::size_t i = 0; i < inherited; ++i) {
    char* entry = environ[i];
    bool replaced = false;
    for (const auto& variable : variables_) {
      if (entry_has_name(entry, variable.first)) {
        replaced = true;
        break;
      }
    }
    for (const auto& name : removed_) {
      if (replaced) break;
      replaced = entry_has_name(entry, name);
    }
    if (!replaced) envp.push_back(entry);
  }
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::string path = program_;
  char* argv[] = {path.data(), nullptr};

  void* stack = mmap(nullptr, child_stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return std::unexpected(LaunchError{errno});

  // Output the suite buffered so far comes before the runner's own.
  std::fflush(nullptr);

  kivu_base::restore_child_signal();
  // All signals stay blocked while the child shares this memory; the child
  // restores the parent's mask, SIGCHLD unblocked, just before it execs.
  sigset_t all;
  sigset_t parent_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &parent_mask);
  sigset_t child_mask = parent_mask;
  sigdelset(&child_mask, SIGCHLD);
  ChildRequest request{
      path.c_str(), argv, envp.data(), inherited_descriptors_.data(), inherited_descriptors_.size(), &child_mask,
      getpid(),     0};
  const pid_t child = clone(child_main, static_cast<char*>(stack) + child_stack_size, CLONE_VM | CLONE_VFORK | SIGCHLD,
                            &request);
  const int clone_error = errno;
  pthread_sigmask(SIG_SETMASK, &parent_mask, nullptr);
  munmap(stack, child_stack_size);

  if (child < 0) return std::unexpected(LaunchError{clone_error});
  if (request.error != 0) {
    // The child never became the program; collect it and report why.
    (void)wait_for(child);
    return std::unexpected(LaunchError{request.error});
  }
  return wait_for(child);
}

}  // namespace kivu_e2e
