#include "kivu_runner/runner_main.hpp"

#include <cstdio>
#include <string_view>

#include <fmt/core.h>

#include "kivu_cli/tool_frame.hpp"
#include "kivu_debug_form.hpp"
#include "kivu_runner/environment.hpp"
#include "kivu_runner/failure_file.hpp"
#include "kivu_version.hpp"
#include <kivu_expected.hpp>

namespace kivu_runner {

namespace {

// "1" prints every step line as it comes, also when the run passes.
constexpr const char* verbose_variable = "KIVU_RUNNER_VERBOSE";

void end_with_line(const std::string& line) {
  fmt::print(stderr, "{}", line);
  std::fflush(stderr);
  append_failure_lines(line);
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
             kivu_debug_form::debug_quoted(argv[version ? 2 : 1]));
  return exit_bad_input;
}

}  // namespace

int finish_standard_output(const std::string& name, int status) {
  const auto failure = kivu_cli::standard_output_failure();
  if (!failure) return status;
  if (status != exit_failed) end_with_line(fmt::format("{}: {}\n", name, *failure));
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
  // A failed run shows the steps that led to it, then what went wrong.
  progress.print_held();
  std::fflush(stdout);
  end_with_line(fmt::format("{}: {}\n", name, message));
  return done ? done->error().exit_status() : exit_failed;
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
  return options;
}

}  // namespace kivu_runner
