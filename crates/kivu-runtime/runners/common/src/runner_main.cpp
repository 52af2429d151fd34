#include "kivu_runner/runner_main.hpp"

#include <fmt/core.h>

#include <cstdio>
#include <exception>

namespace kivu_runner {

int run_runner(std::string name, const RunnerBody& body) {
  const Progress progress(name);
  std::string message;
  int status = exit_failed;
  try {
    auto done = body(progress);
    if (done) {
      progress.line("passed");
      return exit_passed;
    }
    message = done.error().message();
    status = done.error().exit_status();
  } catch (const std::exception& error) {
    message = std::string("unexpected failure: ") + error.what();
  } catch (...) {
    message = "unexpected failure";
  }
  std::fflush(stdout);
  fmt::print(stderr, "{}: {}\n", name, message);
  std::fflush(stderr);
  return status;
}

Checked<kivu_runtime::BoardOptions> board_options(const Progress& progress) {
  auto options = kivu_runtime::BoardOptions::from_environment();
  if (!options) return std::unexpected(options.error());
  progress.line(kivu_runtime::describe_board(options->identity));
  if (options->jitter.max_us != 0) {
    progress.line(fmt::format("host-write jitter up to {} us, seed {}", options->jitter.max_us, options->jitter.seed));
  }
  if (options->fault_injection) progress.line("fault injection on: one bit of the first readback flips");
  return *options;
}

}  // namespace kivu_runner
