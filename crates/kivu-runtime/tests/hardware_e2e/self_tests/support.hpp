// Support for the self-tests: they run the suite built against the stand-in
// runner (hardware_e2e_on_stand_ins) as a child process in a sandbox of its
// own, then read what the stand-ins recorded and what the harness reported.
//
// A Sandbox is a fresh temporary directory holding
//   runners/   the runner directory the suite is pointed at (symbolic links
//              to the stand-in under the five runner names, unless removed)
//   logs/      one stand-in log per runner invocation
//   control    the stand-in's control file (see stand_in_runner.cpp)
//   lock       the prefix of the board lock names (lock-N for board N, in
//              the abstract socket namespace: no file is made there)
//   tmp/       TMPDIR of the suite
//   work/      the suite's working directory
// so tests can run side by side (ctest -j) without meeting each other.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivu_host/board_lock.hpp"
#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"
#include <kivu_package.hpp>

namespace kivu_e2e::testing {

namespace fs = std::filesystem;

// The five runner programs.
inline const std::vector<std::string> all_runners = {"kivu-host-e2e", "kivu-hardware-e2e", "kivu-randomized-e2e",
                                                     "kivu-gemm-e2e", "kivu-attention-f16-e2e"};

// =============================================================================
// What the stand-ins recorded

// One run of a stand-in runner, from its log.
struct Invocation {
  std::string runner;
  pid_t pid = 0;
  pid_t ppid = 0;
  std::uint64_t start = 0;
  std::optional<std::uint64_t> end;
  std::vector<std::string> argv;
  std::string cwd;
  std::vector<std::string> env;    // "NAME=value" entries, raw bytes, in order
  std::vector<pid_t> alive;        // other stand-ins still running at its start
  std::vector<std::string> notes;  // what its "note" actions marked, in order

  // The value of `name` in env, if present.
  [[nodiscard]] std::optional<std::string> variable(std::string_view name) const;
};

// The invocations logged in `log_dir`, in order of start.
[[nodiscard]] std::vector<Invocation> read_invocations(const fs::path& log_dir);

// `suite_env` without the entries that `added` replaces and without the
// variables a case leaves unset that the suite holds back from every runner
// (the runners' scenario variables and, on board 0, KIVU_BOARD), then
// `added` as NAME=value entries: the environment a runner must see.
[[nodiscard]] std::vector<std::string> expected_env(const std::vector<std::string>& suite_env,
                                                    const std::vector<std::pair<std::string, std::string>>& added);

// `added`, then the failure file that the suite made for `invocation`
// (KIVU_RUNNER_FAILURE_FILE with the value it got): what the suite sets on a
// runner besides a case's own variables, before KIVU_BOARD.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> with_failure_file(
    std::vector<std::pair<std::string, std::string>> added, const Invocation& invocation);

// =============================================================================
// What the harness reported

struct CaseResult {
  std::string name;  // case name without the suite prefix
  bool passed = false;
  std::vector<std::string> failures;  // failure messages, without their location line
  // The properties the case recorded (host, board, failed_tile, ...).
  std::map<std::string, std::string> properties;
};

struct SuiteRun {
  pid_t pid = 0;
  int wait_status = 0;
  std::string output;             // the suite's stdout and stderr
  std::vector<CaseResult> cases;  // in the order they ran

  // The result of case `name`; fails the test when it did not run.
  [[nodiscard]] const CaseResult& result(std::string_view name) const;
  // The only failure message of case `name` ("" if it passed).
  [[nodiscard]] std::string failure(std::string_view name) const;
};

// =============================================================================
// The sandbox

class Sandbox {
public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  [[nodiscard]] const fs::path& root() const { return root_; }
  [[nodiscard]] fs::path runners() const { return root_ / "runners"; }
  [[nodiscard]] fs::path logs() const { return root_ / "logs"; }
  [[nodiscard]] fs::path lock() const { return root_ / "lock"; }
  [[nodiscard]] fs::path tmp() const { return root_ / "tmp"; }
  [[nodiscard]] fs::path work() const { return root_ / "work"; }

  // Replaces the stand-in's control rules.
  void control(std::string_view rules) const;
  // Control rules under which every stand-in succeeds, the GEMM one after
  // copying a passing profile (passing_profile()) to its output; with
  // `actions` (e.g. "sleep 100"), every stand-in does those too.
  void all_pass(std::string_view actions = "") const;
  // Removes runner `name` from the runner directory.
  void remove_runner(std::string_view name) const;

  // The lock name of `board` under the sandbox's prefix.
  [[nodiscard]] std::string lock_name(std::uint32_t board) const;

  // The suite's environment: the sandbox's runner directory, lock names, log
  // directory, control file and TMPDIR.
  [[nodiscard]] std::vector<std::string> environment() const;

  // Starts every later suite through `prefix` (a program and its arguments,
  // before the suite's path), e.g. env with --ignore-signal.
  void launch_through(std::vector<std::string> prefix) { prefix_ = std::move(prefix); }

  // Starts the suite with `args` and `env` in work/ (or `cwd`); its output
  // goes to a file of the sandbox. Returns its pid.
  pid_t start(const std::vector<std::string>& args, const std::vector<std::string>& env,
              std::optional<fs::path> cwd = std::nullopt);
  // What a suite started by start() has printed so far.
  [[nodiscard]] std::string output(pid_t pid) const;
  // Waits for a suite started by start() and collects its report.
  SuiteRun finish(pid_t pid);
  // start() then finish(), with --gtest_filter=`filter` (cases named without
  // the suite prefix, joined by ':'; "*" for all).
  SuiteRun run(std::string_view filter, const std::vector<std::string>& env);
  SuiteRun run(std::string_view filter) { return run(filter, environment()); }

private:
  // Removed with everything in it after the destructor has stopped what
  // still runs in it.
  kivu_testing::ScratchDirectory scratch_;
  fs::path root_ = scratch_.path();
  std::vector<std::string> prefix_;
  int started_ = 0;
  struct Started {
    pid_t pid;
    fs::path output;
    fs::path report;
  };
  std::vector<Started> running_;
};

// =============================================================================
// Helpers

// The path of the suite built against the stand-ins, and of the stand-in.
[[nodiscard]] std::string suite_on_stand_ins();
[[nodiscard]] std::string stand_in_runner();

// Starts `argv` with `env` in `cwd`, output to `output`; returns the pid.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& cwd,
            const fs::path& output);
// Waits for `pid` and returns its wait status.
int wait_status_of(pid_t pid);

// The non-empty parts of `text` between `separator`s.
[[nodiscard]] std::vector<std::string> split(const std::string& text, char separator);

// The whole content of a file ("" if missing).
using kivu_testing::read_file;
void write_file(const fs::path& path, std::string_view content);

// Checks `done` every few milliseconds until it holds or `bound` has passed;
// whether it held. Tests wait for an event this way, never for a fixed time:
// the bound is only there so that a fault fails the test instead of hanging.
[[nodiscard]] bool eventually(const std::function<bool()>& done,
                              std::chrono::milliseconds bound = std::chrono::minutes(1));

// Takes the lock `name` once, as the suite takes a board's lock: the lock,
// or nothing when the name is taken. Throws when it cannot be taken at all.
[[nodiscard]] std::optional<kivu_host::BoardLock> hold_lock_name(const std::string& name);

// CLOCK_MONOTONIC in ns, the stand-in's clock.
[[nodiscard]] std::uint64_t monotonic_ns();

// A profile that passes all checks of the GEMM case: 1472 tiles with one
// Compute sample each, clock 1 GHz; the other kinds each occur once, on
// different tiles far apart: Idle on tile 3, Synchronization on tile 736,
// Exchange as a second sample of the last tile.
[[nodiscard]] kivu_package::ProfileReport passing_profile();
// Writes `report` to `path`.
void write_profile(const kivu_package::ProfileReport& report, const fs::path& path);

}  // namespace kivu_e2e::testing
