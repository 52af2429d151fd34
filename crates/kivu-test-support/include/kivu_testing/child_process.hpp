// Test support: starting programs as child processes, the one way every
// component's tests do it (runner programs, the suite built against stand-in
// runners, ctest, the kivu-profile executable).
//
// A child gets its program path as argv[0], then the arguments given. Its
// environment is this process's without any KIVU_* variable (so a
// developer's own settings cannot change a test), or a full environment the
// test gives instead; then the variables given, in order.
//
// run_child() waits and captures standard output and standard error apart;
// start_child() returns at once, with both streams going to one file, for
// tests that run several children at a time or kill them.
#pragma once

#include <sys/types.h>

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kivu_testing {

// Variables set on a child, in order.
using Environment = std::vector<std::pair<std::string, std::string>>;

// What to start and how.
struct ChildCommand {
  std::string program;                 // path of the executable (PATH is not searched)
  std::vector<std::string> arguments;  // after argv[0]
  Environment environment;             // added to the environment, in order
  // When set, the environment ("NAME=value" entries) that `environment` is
  // added to, instead of the inherited one.
  std::optional<std::vector<std::string>> full_environment;
  std::string directory;  // working directory; empty: this process's
};

// How a child ended and what it printed.
struct ChildResult {
  bool exited = false;  // ended by exit(), not by a signal
  int exit_code = -1;   // when exited; -1 otherwise (also when it never started)
  int signal = 0;       // the signal that ended it, when not exited
  std::string out;      // its standard output
  std::string err;      // its standard error, or why it could not start

  // Lines of `err`, without their line breaks.
  [[nodiscard]] std::vector<std::string> error_lines() const;
  // "exit 0" or "signal 11", with the captured streams, for failure messages.
  [[nodiscard]] std::string describe() const;
};

// Runs `command` and waits for it; standard input is this process's.
[[nodiscard]] ChildResult run_child(const ChildCommand& command);
// Runs `program` without arguments with `environment` and waits for it.
[[nodiscard]] ChildResult run_child(const std::string& program, const Environment& environment);

// Starts `command` without waiting: standard output and standard error both
// go to `output` (created or truncated), standard input reads /dev/null.
// Returns the child's pid, or why it could not start.
[[nodiscard]] std::expected<pid_t, std::string> start_child(const ChildCommand& command, const std::string& output);

// Waits for the child `pid` and returns its raw wait status, or -1 when it
// cannot be waited for (not a child, or already waited for); the tests' short
// form of kivu_base::wait_for_child.
int wait_for_child(pid_t pid);

// Where the standard output of run_forked's child goes.
enum class ForkedOutput {
  Captured,  // into ChildResult::out
  Closed,    // nowhere: the descriptor is closed
  Full,      // /dev/full, which refuses every byte (ENOSPC)
};

// Runs `body` in a forked child of this process and waits for it. Its
// standard error is captured, its standard output as `output` says; the
// child ends with the status `body` returns (after flushing std::cout and
// C's streams), or as a signal ends it. For code that must run in a
// process of its own: signal handlers, exits, the real standard streams.
// `body` must not use the test framework's assertions.
[[nodiscard]] ChildResult run_forked(const std::function<int()>& body, ForkedOutput output = ForkedOutput::Captured);

// The user and group id of run_unprivileged: "nobody" on Debian.
inline constexpr unsigned unprivileged_id = 65534;

// Runs `check` in a forked child that, when this process is root, first
// becomes user and group unprivileged_id without supplementary groups, so
// that permission checks hold for it as for any user. Returns what `check`
// returned, or why it could not run (the ids cannot be dropped, e.g. in a
// container without them). `check` must not use the test framework's
// assertions: it reports through its result.
[[nodiscard]] std::expected<std::string, std::string> run_unprivileged(const std::function<std::string()>& check);

// A pipe whose writing end a thread fills with `bytes` and then closes, as a
// shell hands a file on standard input. path() names the reading end
// ("/dev/fd/N", inherited by child processes) for a program that opens its
// input by name. The destructor
// closes the reading end (unblocking the writer) and joins the thread.
class PipeFeeder {
public:
  explicit PipeFeeder(std::string bytes);
  ~PipeFeeder();
  PipeFeeder(const PipeFeeder&) = delete;
  PipeFeeder& operator=(const PipeFeeder&) = delete;

  [[nodiscard]] std::string path() const { return "/dev/fd/" + std::to_string(read_end_); }

private:
  std::string bytes_;
  int read_end_ = -1;
  std::thread writer_;
};

// A fresh, empty directory under the temporary directory, removed with
// everything in it when the object goes. When it cannot be made, the
// constructor throws std::system_error with the reason, which fails the test.
class ScratchDirectory {
public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // path() + "/" + name
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

}  // namespace kivu_testing
