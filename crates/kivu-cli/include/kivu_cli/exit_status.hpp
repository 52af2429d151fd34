// The exit statuses every workspace tool shares: the README's and the docs'
// exit-status tables describe these. A tool may add its own above them
// (kivu-profile's 3 for a regression).
#pragma once

namespace kivu_cli {

inline constexpr int exit_success = 0;  // done
inline constexpr int exit_failure = 1;  // the work failed: a file, a board, the system
inline constexpr int exit_usage = 2;    // a bad command line, before any work

}  // namespace kivu_cli
