// Running a runner program as a child process, as the suite does, with its
// output captured for the test to inspect.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kivu_workloads {

// What a finished child left behind.
struct ChildResult {
  int exit_code = -1;   // -1 when it ended by a signal or could not start
  std::string out;      // its standard output
  std::string err;      // its standard error
};

// Runs `program` without arguments. The child gets this process's
// environment without any KIVU_* variable, plus `variables` in order, so
// that a variable set by whoever runs the tests cannot change a scenario.
[[nodiscard]] ChildResult run_child(const std::string& program,
                                    const std::vector<std::pair<std::string, std::string>>& variables);

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

}  // namespace kivu_workloads
