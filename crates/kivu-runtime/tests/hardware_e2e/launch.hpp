// Starting a runner program and waiting for it.
//
// A Command names a program by path, the environment variables to set on it
// and the inherited ones to hold back. status() starts the program with no
// arguments besides its own path, in the current working directory, with the
// standard streams inherited and the process's environment without the held
// back variables, in which the set variables replace same-named ones (kept in
// the order they were set, after the inherited ones), then waits for it
// without a time limit. Names and values are raw bytes, passed on unchanged:
// an empty value stays empty, a value that is not UTF-8 arrives as it was.
//
// Descriptors stay close-on-exec in the suite; a command may name some that
// its program alone inherits (the flag is cleared in the child only).
//
// The child is tied to the thread that started it: it receives SIGKILL when
// that thread (in the suite, the process) dies, so a killed or crashed suite
// never leaves a runner alive holding the board. The caller waits for the
// child on the same thread, so the thread outlives the child in normal runs.
//
// A process started with SIGCHLD ignored (some CI agents and init systems
// start jobs that way) has its children reaped by the kernel, so waiting for
// one fails with ECHILD. status() therefore puts SIGCHLD back to its default
// action and unblocks it first (kivu_base::restore_child_signal), and the
// program starts with it default and unblocked too.
//
// This file does not depend on the test harness; the launcher can be used and
// measured on its own (library hardware_e2e_launch).
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivu_e2e {

// =============================================================================
// Results

// How a program ended: the wait status as waitpid reported it.
class ExitStatus {
public:
  explicit constexpr ExitStatus(int wait_status) noexcept : wait_status_(wait_status) {}

  // True for a normal exit with code 0.
  [[nodiscard]] bool success() const noexcept;
  // The raw wait status.
  [[nodiscard]] constexpr int raw() const noexcept { return wait_status_; }
  // The lines in which the program itself said why it failed, when its
  // starter collected them (frame.hpp), without a final line break; empty
  // when there are none.
  [[nodiscard]] const std::string& program_lines() const noexcept { return program_lines_; }
  void set_program_lines(std::string lines) { program_lines_ = std::move(lines); }
  // "exit status: N" for a normal exit; "signal: N (SIGNAME)" for an end by a
  // signal (the name left out when the signal has none), followed by
  // " (core dumped)" when it left a core.
  [[nodiscard]] std::string text() const;

private:
  int wait_status_;
  std::string program_lines_;
};

// Why a program could not be started or waited for: the system's error number.
struct LaunchError {
  int code = 0;
  // The display form, e.g. "No such file or directory (os error 2)".
  [[nodiscard]] std::string text() const;
};

// =============================================================================
// The command

class Command {
public:
  // A command for the program at `program` (an absolute path; no search).
  explicit Command(std::string program) : program_(std::move(program)) {}

  // Sets `name` to `value` on the program's environment. Setting a name a
  // second time replaces the earlier value in place.
  Command& env(std::string_view name, std::string_view value);

  // Keeps the inherited variable `name` from the program: every inherited
  // entry of that name is left out. A variable set with env() still reaches
  // it.
  Command& env_remove(std::string_view name);

  // Lets the program inherit the open descriptor `fd` under the same number,
  // although it is close-on-exec here. The caller keeps it open until
  // status() returns.
  Command& inherit_descriptor(int fd);

  // True when env() set `name` on the command.
  [[nodiscard]] bool sets(std::string_view name) const noexcept;

  // Starts the program and waits until it ends. Returns its exit status, or
  // the error of starting it (missing, not executable, out of processes) or
  // of waiting for it. Waiting has no time limit.
  [[nodiscard]] std::expected<ExitStatus, LaunchError> status() const;

  // The program's path.
  [[nodiscard]] const std::string& program() const noexcept { return program_; }
  // The variables set on the command, in the order they were first set.
  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& variables() const noexcept {
    return variables_;
  }
  // The inherited variables held back, in the order they were named.
  [[nodiscard]] const std::vector<std::string>& removed() const noexcept { return removed_; }

private:
  std::string program_;
  std::vector<std::pair<std::string, std::string>> variables_;
  std::vector<std::string> removed_;
  std::vector<int> inherited_descriptors_;
};

}  // namespace kivu_e2e
