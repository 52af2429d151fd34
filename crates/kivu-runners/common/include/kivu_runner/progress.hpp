// Progress lines: one short line per step on stdout (or stderr, see
// to_standard_error), so that a person
// reading a failed run sees how far it got. Every line starts with the
// runner's name, e.g.
//   kivu-host-e2e: h2d tile 1471: 8192 bytes at 0x1000
//   kivu-host-e2e: relay: exchange phase 1 epoch 0: 2 tiles, 2048 bytes, cycles 0..288 (288)
//
// A quiet Progress (the runners' default) holds the step lines back and
// prints them only when the run fails (print_held), so a passing run says
// no more than its board and its verdict; headlines are printed at once in
// either mode. A verbose one prints every line as it comes.
#pragma once

#include <cstdio>
#include <expected>
#include <string>
#include <string_view>

#include "kivu_exchange.hpp"
#include "kivu_runner/run_error.hpp"
#include "kivu_runtime/cycle_accounting.hpp"

namespace kivu_runner {

class Progress {
public:
  enum class Mode { quiet, verbose };

  explicit Progress(std::string runner, Mode mode = Mode::verbose) : runner_(std::move(runner)), mode_(mode) {}

  // Prints "<runner>: <text>" and flushes; a quiet Progress holds it back.
  void line(std::string_view text) const;
  // line("<what>: <describe(report)>").
  void step(std::string_view what, const kivu_runtime::StepReport& report) const;
  // Prints "<runner>: <text>" and flushes, in either mode, after the lines
  // held back so far, so that the order of a failed run's lines is kept.
  void headline(std::string_view text) const;
  // Prints the lines held back, in order, and forgets them.
  void print_held() const;
  // Forgets the lines held back.
  void drop_held() const { held_.clear(); }

  [[nodiscard]] const std::string& runner() const noexcept { return runner_; }

  // Prints every later line, and those held back, on stderr instead of
  // stdout: for a run that writes a file of its own to standard output
  // (KIVU_PROFILE_OUTPUT=/dev/stdout), which the lines must not mix with.
  void to_standard_error() const noexcept { stream_ = stderr; }

private:
  std::string runner_;
  Mode mode_;
  // Lines held back by a quiet Progress, each ending in a newline. Mutable:
  // runners hand the Progress around as a const reference, and holding a
  // line back is still printing it, only later.
  mutable std::string held_;
  mutable std::FILE* stream_ = stdout;
};

// Checks a step's result: on success prints its progress line and returns
// the report; on error returns the failure "<what> failed: <error>".
[[nodiscard]] Checked<kivu_runtime::StepReport> run_checked(
    const Progress& progress, std::string_view what,
    std::expected<kivu_runtime::StepReport, kivu_exchange::ExchangeError> result);

// "0x" and lower-case hexadecimal digits, e.g. 0x60000.
[[nodiscard]] std::string hex(std::uint64_t value);

}  // namespace kivu_runner
