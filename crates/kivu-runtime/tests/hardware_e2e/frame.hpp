// The frame every case is built on.
//
// Shape of a case:
//   const auto _device = device();            // first: hold the board
//   Command command(runner_path("kivu-..."));  // or host_test(...)
//   command.env("KIVU_...", "...");
//   require_success("scenario description", run(command, "launch ... runner"));
// The command goes out of scope before the guard, and both are released when
// the case fails, because failing throws (failure.hpp).
#pragma once

#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device.hpp"
#include "failure.hpp"
#include "launch.hpp"
#include "suite_paths.hpp"

namespace kivu_e2e {

// One (name, value) pair of a case's environment list.
struct EnvVar {
  std::string_view name;
  std::string_view value;
};

// Starts `command` and waits for it. When it cannot be started, or waiting
// fails, fails the case with `launch_message`, ": " and the system's error.
// What the runner gets besides the command's own variables:
//  - no inherited scenario variable (is_scenario_variable) that the command
//    does not set: a case that leaves one unset leaves it to the runner's
//    default, not to the shell the suite was started from. Each one held
//    back is reported in one line (notice.hpp);
//  - KIVU_RUNNER_FAILURE_FILE: a file made afresh for this start (mode 0600,
//    in a folder of its own, mode 0700, in $TMPDIR or /tmp, both removed
//    when the runner has ended), in which a failing runner leaves the lines
//    it printed on stderr (kivu_runner/failure_file.hpp). The status returned
//    carries them (ExitStatus::program_lines), and the location of a
//    failure (read_runner_report) is recorded as properties of the case. When the file cannot be made,
//    the runner runs without the variable, and an inherited one is held back;
//  - while this thread holds the device (device.hpp): the board's lock socket,
//    inherited, and for a board N other than 0, KIVU_BOARD=N after all other
//    variables; on board 0 an inherited KIVU_BOARD is held back as well.
[[nodiscard]] ExitStatus run(const Command& command, std::string_view launch_message,
                             std::source_location where = std::source_location::current());

// What a failing runner left in its failure file, taken apart: the lines it
// printed, and the location of its failure as case properties. The runner
// writes the location as a line of its own (kivu_runner/run_error.hpp):
//   location board=B tile=T physical_tile=P row=R position=Q address=0xA
//            expected=0xE actual=0xV values=N tiles=M
// (one line), which gives failed_board, failed_tile, failed_physical_tile,
// failed_row, failed_position, failed_address, failed_expected,
// failed_actual, failed_values and failed_tiles; or "location none", for a
// failure not tied to one tile, which gives failed_location=untied. Such a
// line is not shown among the runner's lines. A "location" line that is not
// exactly one of these (keys in this order, numbers decimal, the address and
// values "0x" and lower-case hexadecimal) records nothing and stays among
// the lines, as the runner wrote it.
struct RunnerReport {
  std::string lines;  // without a final line break
  std::vector<std::pair<std::string, std::string>> location;
};
[[nodiscard]] RunnerReport read_runner_report(std::string_view lines);

// True for the runners' scenario variables: KIVU_HOST_TEST_*,
// KIVU_GRAPH_TEST, KIVU_RANDOM_SEED, KIVU_GEMM_DIMENSION,
// KIVU_GEMM_SRAM_CHECK_BLOCK, KIVU_GEMM_SCHEDULE and KIVU_PROFILE_OUTPUT.
[[nodiscard]] bool is_scenario_variable(std::string_view name) noexcept;

// Returns when `status` is a success (normal exit, code 0). Otherwise fails
// the case with: hardware capability "<capability>" failed with <status text>,
// followed, on lines of their own, by the lines in which the runner said why
// it failed (ExitStatus::program_lines), when it left any.
void require_success(std::string_view capability, ExitStatus status,
                     std::source_location where = std::source_location::current());

// Forwards the suite's host-write jitter settings to `command`: the suite's
// KIVU_TEST_HOST_WRITE_JITTER_MAX_US, when set (also when empty), becomes
// KIVU_HOST_WRITE_JITTER_MAX_US; then KIVU_TEST_HOST_WRITE_JITTER_SEED
// becomes KIVU_HOST_WRITE_JITTER_SEED. Values pass as raw bytes, unchecked.
// Unset settings add nothing.
void configure_host_write_jitter(Command& command);

// Runs the host-transfer runner kivu-host-e2e with `environment` set in list
// order, then the jitter settings, and returns its exit status unjudged.
// Fails the case with "launch host exchange test runner: <error>" when the
// runner cannot be started.
[[nodiscard]] ExitStatus host_test(std::initializer_list<EnvVar> environment,
                                   std::source_location where = std::source_location::current());

}  // namespace kivu_e2e
