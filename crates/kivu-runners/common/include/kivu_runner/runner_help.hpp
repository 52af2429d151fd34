// A runner's --help: what it runs and every environment variable it reads,
// with the values each accepts and its default.
//
//   int main(int argc, char** argv) {
//     const kivu_runner::HelpVariable own[] = {
//         {"KIVU_RANDOM_SEED", "0 to 18446744073709551615; required", "the seed of the random graph"}};
//     return kivu_runner::run_runner_with_help("kivu-randomized-e2e", "Runs ...", own, argc, argv, body);
//   }
//
// A runner lists its own variables next to where it reads them (its main()
// or its settings file), with the constants its parser checks against, so
// that a range or default cannot change in one place only. The board's
// variables and KIVU_RUNNER_VERBOSE, which every runner reads through
// run_runner and board_options, are listed here. "--help" (or "-h"), alone,
// prints the help on standard output and exits 0 without touching the
// board; every other command line goes to run_runner as it is.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/core.h>

#include "kivu_host/board_identity.hpp"
#include "kivu_runner/runner_main.hpp"
#include "kivu_runtime/fault_injection.hpp"
#include "kivu_runtime/host_write_jitter.hpp"

namespace kivu_runner {

// One environment variable in a runner's help.
struct HelpVariable {
  std::string name;
  std::string values;   // what it accepts, then its default (or "required")
  std::string meaning;  // what it sets
};

// The variables every runner reads: its board and its output.
[[nodiscard]] inline std::vector<HelpVariable> common_help_variables() {
  return {
      {kivu_host::sim_boards_variable, fmt::format("1 to {}; default 1", kivu_host::max_sim_boards),
       "the simulated boards this host has"},
      {kivu_host::board_variable, fmt::format("0 to {} less one; default 0", kivu_host::sim_boards_variable),
       "the board this run uses"},
      {kivu_runtime::host_write_jitter_max_us_variable,
       fmt::format("0 to {}; default 0 (off)", kivu_runtime::max_host_write_jitter_us),
       "a random delay of up to this many microseconds before each host write lands"},
      {kivu_runtime::host_write_jitter_seed_variable,
       fmt::format("0 to {}; default {}", UINT64_MAX, kivu_runtime::default_host_write_jitter_seed),
       "the seed of those delays"},
      {kivu_runtime::sim_fault_variable, "0 or 1; default 0",
       "with 1, one bit of the first readback flips, on every board"},
      {kivu_runtime::sim_fault_board_variable,
       fmt::format("a board, 0 to {} less one; default none", kivu_host::sim_boards_variable),
       "the same fault on this board only"},
      {kivu_runtime::sim_fault_tile_variable, "BOARD:TILE:PROBABILITY[,...]; default none",
       "that logical tile of that board fails a run with that probability: one value through it flips a bit"},
      {kivu_runtime::sim_fault_seed_variable, fmt::format("0 to {}; default a fresh random seed", UINT64_MAX),
       "the seed of the faulty tiles' draw (shown, to replay a run)"},
      {"KIVU_RUNNER_VERBOSE", "0 or 1; default 0",
       "with 1, every step line is printed as it comes, also when the run passes"},
  };
}

// The help text of the runner `name`: a usage line, `summary` (one
// paragraph, lines of its own), `own` variables and then the common ones,
// and the exit statuses.
[[nodiscard]] inline std::string runner_help(std::string_view name, std::string_view summary,
                                             std::span<const HelpVariable> own) {
  std::string text = fmt::format("usage: {} [--help | --version]\n\n{}\n", name, summary);
  const auto list = [&text](std::span<const HelpVariable> variables) {
    for (const HelpVariable& variable : variables) {
      text += fmt::format("  {}\n      {}\n      {}\n", variable.name, variable.values, variable.meaning);
    }
  };
  text += "\nIts settings are environment variables";
  if (own.empty()) {
    text += "; it has none of its own.\n";
  } else {
    text += ". Its own:\n";
    list(own);
  }
  text += "The board and the output (every runner):\n";
  list(common_help_variables());
  text +=
      "\nExit status: 0 every check passed, 1 a mismatch or a board error, 2 bad input\n"
      "(one line on standard error naming the variable and its value).\n";
  return text;
}

// Answers "--help" (or "-h") with runner_help(name, summary, own) on
// standard output and exit status 0 (1, with the reason, when standard
// output cannot be written); runs run_runner(name, argc, argv, body)
// for every other command line.
[[nodiscard]] inline int run_runner_with_help(std::string name, std::string_view summary,
                                              std::span<const HelpVariable> own, int argc, char** argv,
                                              const RunnerBody& body) {
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    const std::string text = runner_help(name, summary, own);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return finish_standard_output(name, exit_passed);
  }
  return run_runner(std::move(name), argc, argv, body);
}

}  // namespace kivu_runner
