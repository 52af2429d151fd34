// Lines the suite prints about what it does for a case besides the harness's
// own report: which board a case runs on, an inherited variable it held back
// from a runner, a lock it is waiting for. They go to standard output, where
// the harness reports the case, one whole line at a time.
#pragma once

#include <string_view>

namespace kivu_e2e {

// Prints `line` and a newline to standard output and flushes it, in one
// write so that lines of different threads do not interleave.
void notice(std::string_view line);

}  // namespace kivu_e2e
