#include "kivu_testing/child_process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>

#include "kivu_base/child_process.hpp"
#include "kivu_base/descriptor.hpp"

extern char** environ;

namespace kivu_testing {

namespace {

std::string read_all(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  return text;
}

// Two temporary files that take a child's standard output and error.
struct Captures {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Captures() = default;
  Captures(const Captures&) = delete;
  Captures& operator=(const Captures&) = delete;
  ~Captures() {
    if (out != nullptr) std::fclose(out);
    if (err != nullptr) std::fclose(err);
  }
  [[nodiscard]] bool ready() const noexcept { return out != nullptr && err != nullptr; }
  // How the child ended (its raw wait status, -1 when it could not be
  // waited for) and what it wrote.
  [[nodiscard]] ChildResult result(int status) const {
    ChildResult result;
    result.exited = status != -1 && WIFEXITED(status);
    result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = status != -1 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = read_all(out);
    result.err = read_all(err);
    return result;
  }
};

// The argv and envp arrays of a command; the strings they point to live as
// long as the object.
class SpawnArrays {
public:
  explicit SpawnArrays(const ChildCommand& command) : arguments_{command.program} {
    arguments_.insert(arguments_.end(), command.arguments.begin(), command.arguments.end());
    if (command.full_environment) {
      entries_ = *command.full_environment;
    } else {
      for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("KIVU_")) entries_.emplace_back(*entry);
      }
    }
    for (const auto& [name, value] : command.environment) entries_.push_back(name + "=" + value);
    for (std::string& argument : arguments_) argv_.push_back(argument.data());
    argv_.push_back(nullptr);
    for (std::string& entry : entries_) envp_.push_back(entry.data());
    envp_.push_back(nullptr);
  }

  [[nodiscard]] char* const* argv() const noexcept { return argv_.data(); }
  [[nodiscard]] char* const* envp() const noexcept { return envp_.data(); }

private:
  std::vector<std::string> arguments_;
  std::vector<std::string> entries_;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
};

// Starts `command` with `actions`, after adding its working directory to
// them; the pid, or why it could not start. The child starts with SIGCHLD
// at its default action and unblocked.
std::expected<pid_t, std::string> spawn(const ChildCommand& command, posix_spawn_file_actions_t& actions) {
  if (!command.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, command.directory.c_str());
  const SpawnArrays arrays(command);
  kivu_base::restore_child_signal();
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t child_signal;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigdelset(&mask, SIGCHLD);
  posix_spawnattr_setsigdefault(&attributes, &child_signal);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, command.program.c_str(), &actions, &attributes, arrays.argv(), arrays.envp());
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return std::unexpected("cannot start " + command.program + ": " + std::strerror(error));
  return pid;
}

}  // namespace

std::vector<std::string> ChildResult::error_lines() const {
  std::vector<std::string> lines;
  std::string_view rest = err;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    lines.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return lines;
}

std::string ChildResult::describe() const {
  std::string text = exited ? "exit " + std::to_string(exit_code) : "signal " + std::to_string(signal);
  return text + "\n--- stdout\n" + out + "--- stderr\n" + err;
}

ChildResult run_child(const ChildCommand& command) {
  Captures captures;
  if (!captures.ready()) return {.err = "cannot create capture files"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(captures.out), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fileno(captures.err), STDERR_FILENO);
  const auto child = spawn(command, actions);
  posix_spawn_file_actions_destroy(&actions);
  if (!child) return {.err = child.error()};
  return captures.result(wait_for_child(*child));
}

ChildResult run_child(const std::string& program, const Environment& environment) {
  return run_child(ChildCommand{.program = program, .environment = environment});
}

std::expected<pid_t, std::string> start_child(const ChildCommand& command, const std::string& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  auto child = spawn(command, actions);
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

int wait_for_child(pid_t pid) { return kivu_base::wait_for_child(pid).value_or(-1); }

ChildResult run_forked(const std::function<int()>& body, ForkedOutput output) {
  Captures captures;
  if (!captures.ready()) return {.err = "cannot create capture files"};
  std::fflush(nullptr);  // nothing buffered here is written twice
  const pid_t pid = ::fork();
  if (pid < 0) return {.err = "fork: " + std::string(std::strerror(errno))};
  if (pid == 0) {
    ::dup2(fileno(captures.err), STDERR_FILENO);
    if (output == ForkedOutput::Captured) ::dup2(fileno(captures.out), STDOUT_FILENO);
    if (output == ForkedOutput::Closed) ::close(STDOUT_FILENO);
    if (output == ForkedOutput::Full) {
      const int full = ::open("/dev/full", O_WRONLY);
      if (full < 0 || ::dup2(full, STDOUT_FILENO) < 0) ::_exit(125);
      ::close(full);
    }
    const int code = body();
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(code);
  }
  return captures.result(wait_for_child(pid));
}

std::expected<std::string, std::string> run_unprivileged(const std::function<std::string()>& check) {
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return std::unexpected("pipe: " + std::string(std::strerror(errno)));
  kivu_base::Descriptor read_end(pipe_ends[0]);
  kivu_base::Descriptor write_end(pipe_ends[1]);
  const pid_t pid = ::fork();
  if (pid < 0) return std::unexpected("fork: " + std::string(std::strerror(errno)));
  if (pid == 0) {
    read_end.reset();
    // First byte: 'R' ran, 'D' could not drop; the rest is the text.
    std::string reply;
    if (::geteuid() == 0) {
      const gid_t group = unprivileged_id;
      if (::setgroups(1, &group) != 0 || ::setgid(unprivileged_id) != 0 || ::setuid(unprivileged_id) != 0) {
        reply = std::string("D") + "cannot become user and group " + std::to_string(unprivileged_id) + ": " +
                std::strerror(errno);
      } else if (::setuid(0) == 0) {
        reply = "Dthe user " + std::to_string(unprivileged_id) + " can become root again";
      }
    }
    if (reply.empty()) {
      try {
        reply = "R" + check();
      } catch (const std::exception& error) {
        reply = std::string("Dthe check threw: ") + error.what();
      }
    }
    (void)kivu_base::write_all(write_end.get(), reply.data(), reply.size());
    ::_exit(0);
  }
  write_end.reset();
  std::string reply;
  char buffer[4096];
  for (;;) {
    const auto got = kivu_base::read_some(read_end.get(), buffer, sizeof buffer);
    if (!got || *got == 0) break;
    reply.append(buffer, *got);
  }
  read_end.reset();
  const int status = wait_for_child(pid);
  if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || reply.empty()) {
    return std::unexpected(std::string("the unprivileged child did not finish"));
  }
  if (reply.front() == 'D') return std::unexpected(reply.substr(1));
  return reply.substr(1);
}

ScratchDirectory::ScratchDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/kivu-test-XXXXXX";
  // Without the directory every file() would name a path under / (written
  // into as root): the test fails here instead, with the reason.
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "cannot create the scratch directory " + pattern);
  }
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

// =============================================================================
// Feeding a pipe

PipeFeeder::PipeFeeder(std::string bytes) : bytes_(std::move(bytes)) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::system_error(errno, std::system_category(), "cannot make a pipe");
  read_end_ = fds[0];
  writer_ = std::thread([this, write_end = kivu_base::Descriptor(fds[1])] {
    (void)kivu_base::write_all(write_end.get(), bytes_.data(), bytes_.size());
  });
}

PipeFeeder::~PipeFeeder() {
  ::close(read_end_);
  writer_.join();
}

}  // namespace kivu_testing
