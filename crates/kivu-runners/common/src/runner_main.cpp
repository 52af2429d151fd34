#include "kivu_runner/runner_main.hpp"

#include <cstdio>
#include <optional>
#include <string_view>

#include <fmt/core.h>

#include "kivu_base/debug_form.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_cli/tool_frame.hpp"
#include "kivu_runner/environment.hpp"
#include "kivu_runner/failure_file.hpp"
#include "kivu_version.hpp"

namespace kivu_runner {

namespace {

// "1" prints every step line as it comes, also when the run passes.
constexpr const char* verbose_variable = "KIVU_RUNNER_VERBOSE";

void end_with_line(const std::string& line) {
  fmt::print(stderr, "{}", line);
  std::fflush(stderr);
}

// Answers the command line of a runner, which takes its settings from the
// environment: "--version" alone prints the version, anything else is bad
// input.
int answer_arguments(const std::string& name, int argc, char** argv) {
  const bool version = std::string_view(argv[1]) == "--version";
  if (version && argc == 2) {
    fmt::print("{} {}\n", name, kivu::workspace_version);
    return finish_standard_output(name, exit_passed);
  }
  // Quoted with its control characters escaped, so the line stays one line.
  fmt::print(stderr,
             "{}: unexpected argument {}: the settings are environment variables; --version prints the version\n", name,
             kivu_base::debug_quoted(argv[version ? 2 : 1]));
  return exit_bad_input;
}

}  // namespace

int finish_standard_output(const std::string& name, int status) {
  const auto failure = kivu_cli::standard_output_failure();
  if (!failure) return status;
  if (status != exit_failed) {
    const std::string line = fmt::format("{}: {}\n", name, *failure);
    end_with_line(line);
    append_failure_lines(line);
  }
  return exit_failed;
}

int run_runner(std::string name, int argc, char** argv, const RunnerBody& body) {
  if (argc > 1) return answer_arguments(name, argc, argv);
  // The GEMM runner's profile is written through kivu_output_file; a runner
  // stopped by SIGINT or SIGTERM leaves no temporary file of it.
  kivu_cli::install_output_cleanup();
  const auto verbose = flag(verbose_variable);
  const Progress progress(name, verbose.value_or(false) ? Progress::Mode::verbose : Progress::Mode::quiet);
  const auto done = kivu_cli::catch_escapes(
      [&] { return verbose ? body(progress) : Checked<void>(std::unexpected(verbose.error())); });
  if (done && *done) {
    // A passing run's steps are not shown; its verdict always is.
    progress.drop_held();
    progress.headline("passed");
    return finish_standard_output(name, exit_passed);
  }
  // An exception escaping the body (out of memory, say) is a failure.
  const std::string message = done ? done->error().message() : "unexpected failure: " + done.error().what;
  const int status = done ? done->error().exit_status() : exit_failed;
  const std::optional<MismatchLocation> location = done ? done->error().location() : std::nullopt;
  // A failed run shows the steps that led to it, then what went wrong.
  progress.print_held();
  std::fflush(stdout);
  const std::string line = fmt::format("{}: {}\n", name, message);
  end_with_line(line);
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
