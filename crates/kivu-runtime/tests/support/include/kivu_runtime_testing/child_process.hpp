// Test support: running a runner program as a child process the way the
// suite does, with what it printed captured for the test to inspect.
//
// The child gets this process's environment without any KIVU_* variable (so
// a developer's own settings cannot change a scenario), plus the variables
// given, in order, and no arguments besides its path.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kivu_runtime_testing {

// Variables set on a child, in order.
using Environment = std::vector<std::pair<std::string, std::string>>;

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

// Runs `program` with `environment` and waits for it.
[[nodiscard]] ChildResult run_child(const std::string& program, const Environment& environment);

// A fresh, empty directory under the temporary directory, removed with
// everything in it when the object goes.
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

}  // namespace kivu_runtime_testing
