// Test support: running a tool's code in-process and keeping what it
// printed. The tools (kivu-profile, kivu-boards) do their work in a library
// function run(args, ..., out, err) that returns the exit status; tests call
// it through capture_output and check the status and both streams.
#pragma once

#include <ostream>
#include <sstream>
#include <string>
#include <utility>

namespace kivu_testing {

// The exit status a run returned and what it wrote to each stream.
struct CapturedOutput {
  int code = -1;
  std::string out;
  std::string err;
};

// Calls `run(out, err)` with two string streams and returns its status and
// their contents.
template <typename Run>
CapturedOutput capture_output(Run&& run) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = std::forward<Run>(run)(static_cast<std::ostream&>(out), static_cast<std::ostream&>(err));
  return {code, out.str(), err.str()};
}

}  // namespace kivu_testing
