// Running a runner program as a child process and capturing what it did.
//
// The child gets this process's environment without any KIVU_* variable
// (so a developer's own settings do not leak into a test), plus the
// variables given, and no arguments. Its stdout and stderr are captured.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kivu_runner_tests {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct ChildResult {
  bool exited = false;   // ended by exit(), not by a signal
  int exit_code = -1;    // when exited
  int signal = 0;        // when not exited
  std::string out;
  std::string err;

  // Lines of `err`, without their line breaks.
  [[nodiscard]] std::vector<std::string> error_lines() const;
  // "exit 0" or "signal 11", with the captured streams, for failure messages.
  [[nodiscard]] std::string describe() const;
};

// Runs `program` with `environment` and waits for it. A program that cannot
// be started gives exited == false and the reason in `err`.
[[nodiscard]] ChildResult run_child(const std::string& program, const Environment& environment);

}  // namespace kivu_runner_tests
