#include "kivu_runner/runner_main.hpp"

#include <cstdio>
#include <exception>
#include <optional>
#include <string_view>

#include <fmt/core.h>

#include "kivu_base/expected.hpp"
#include "kivu_runner/environment.hpp"
#include "kivu_runner/failure_file.hpp"
#include "kivu_version.hpp"

namespace kivu_runner {

namespace {

// "1" prints every step line as it comes, also when the run passes.
constexpr const char* verbose_variable = "KIVU_RUNNER_VERBOSE";

}  // namespace

int run_runner(std::string name, int argc, char** argv, const RunnerBody& body) {
  if (argc > 1) {
    const bool version = std::string_view(argv[1]) == "--version";
    if (version && argc == 2) {
      fmt::print("{} {}\n", name, kivu::workspace_version);
      std::fflush(stdout);
      return std::ferror(stdout) ? exit_failed : exit_passed;
    }
    // Quoted with its control characters escaped, so the line stays one line.
    fmt::print(stderr,
               "{}: unexpected argument {:?}: the settings are environment variables; --version prints the version\n",
               name, std::string_view(argv[version ? 2 : 1]));
    return exit_bad_input;
  }
  std::string message;
  int status = exit_failed;
  std::optional<MismatchLocation> location;
  const auto verbose = flag(verbose_variable);
  const Progress progress(name, verbose.value_or(false) ? Progress::Mode::verbose : Progress::Mode::quiet);
  try {
    auto done = verbose ? body(progress) : Checked<void>(std::unexpected(verbose.error()));
    if (done) {
      // A passing run's steps are not shown; its verdict always is.
      progress.drop_held();
      progress.headline("passed");
      return exit_passed;
    }
    message = done.error().message();
    status = done.error().exit_status();
    location = done.error().location();
  } catch (const std::exception& error) {
    message = std::string("unexpected failure: ") + error.what();
  } catch (...) {
    message = "unexpected failure";
  }
  // A failed run shows the steps that led to it, then what went wrong.
  progress.print_held();
  std::fflush(stdout);
  const std::string line = fmt::format("{}: {}\n", name, message);
  fmt::print(stderr, "{}", line);
  std::fflush(stderr);
  // The suite reads where the failure was from a line of its own; a failure
  // of the scenario that names no tile says so there too.
  std::string lines = line;
  if (location) {
    lines += location_line(*location) + "\n";
  } else if (status == exit_failed) {
    lines += std::string(untied_location_line) + "\n";
  }
  append_failure_lines(lines);
  return status;
}

Checked<kivu_runtime::BoardOptions> board_options(const Progress& progress) {
  KIVU_ASSIGN_OR_RETURN(auto options, kivu_runtime::BoardOptions::from_environment());
  progress.headline(kivu_runtime::describe_board(options.identity));
  // Settings that change how the board behaves are part of its description.
  if (options.jitter.max_us != 0) {
    progress.headline(
        fmt::format("host-write jitter up to {} us, seed {}", options.jitter.max_us, options.jitter.seed));
  }
  if (options.fault_injection) progress.headline("fault injection on: one bit of the first readback flips");
  const auto& faults = options.tile_faults;
  if (!faults.entries.empty()) {
    std::string tiles;
    for (const auto& entry : faults.entries) {
      if (entry.board != options.identity.board) continue;
      tiles += fmt::format("{}tile {} with probability {}", tiles.empty() ? "" : ", ", entry.tile, entry.probability);
    }
    if (tiles.empty()) tiles = "none on this board";
    // The seed replays the draw: KIVU_SIM_FAULT_SEED=<seed>.
    progress.headline(fmt::format("faulty tiles: {}; seed {} ({}); failing this run: {}", tiles, faults.seed,
                                  kivu_runtime::sim_fault_seed_variable, faults.flipping.size()));
  }
  return options;
}

}  // namespace kivu_runner
