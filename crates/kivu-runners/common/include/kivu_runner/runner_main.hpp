// The frame of a runner program's main().
//
//   int main(int argc, char** argv) {
//     return kivu_runner::run_runner("kivu-host-e2e", argc, argv,
//                                    [](const Progress& progress) -> Checked<void> { ... });
//   }
//
// run_runner calls the body, prints "<runner>: passed" on stdout when it
// succeeds, and otherwise "<runner>: <message>" on stderr, one line; it
// returns the exit status (0, 1 for a failure, 2 for bad input). The
// failing line also goes to the suite's failure file (failure_file.hpp). An
// exception escaping the body (out of memory, say) is a failure, so a
// runner never ends by a crash it could have reported. A passing run whose
// standard output could not be written fails, with the reason. SIGINT and
// SIGTERM remove the temporary file of an output being written (the GEMM
// runner's profile) before the runner ends by the signal. These are the
// tools' frame's (kivu_cli/tool_frame.hpp).
//
// The body's step lines are held back (see Progress) and shown only when the
// run fails, before its message, so a passing runner prints its board line
// and "passed". KIVU_RUNNER_VERBOSE=1 prints every line as it comes; a value
// other than "1", "0" or empty is bad input.
//
// A runner takes its settings from the environment, not from its command
// line: "--version" prints "<runner> <workspace version>" and returns 0
// without touching the board; any other argument is bad input.
#pragma once

#include <functional>
#include <string>

#include "kivu_runner/progress.hpp"
#include "kivu_runner/run_error.hpp"
#include "kivu_runtime/board.hpp"

namespace kivu_runner {

using RunnerBody = std::function<Checked<void>(const Progress&)>;

// Runs `body` as the runner `name` and returns the process exit status.
[[nodiscard]] int run_runner(std::string name, int argc, char** argv, const RunnerBody& body);

// The exit status of the runner `name` whose output is done and whose run
// ended with `status`: `status` when standard output took everything
// written to it; otherwise exit_failed, after the line "<name>: cannot write
// to standard output: <reason>" (on standard error and in the failure file)
// unless the run had failed already.
[[nodiscard]] int finish_standard_output(const std::string& name, int status);

// A board configured from the environment (which board of the host,
// host-write jitter and fault injection, see kivu_runtime/board.hpp); a bad
// value is bad input. Reports the board on `progress` ("board 0 (simulated,
// 1472 tiles)"), then its settings when they are not defaults, as headlines,
// which a passing run shows too. Runners call it before printing anything
// else, so that line is their first.
[[nodiscard]] Checked<kivu_runtime::BoardOptions> board_options(const Progress& progress);

}  // namespace kivu_runner
