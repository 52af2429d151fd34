// Progress lines: one short line per step on stdout, so that a person
// reading a failed run sees how far it got. Every line starts with the
// runner's name, e.g.
//   kivu-host-e2e: h2d tile 1471: 8192 bytes at 0x1000
//   kivu-host-e2e: relay: exchange phase 1 epoch 0: 2 tiles, 2048 bytes, cycles 0..288 (288)
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "kivu_exchange.hpp"
#include "kivu_runner/run_error.hpp"
#include "kivu_runtime/cycle_accounting.hpp"

namespace kivu_runner {

class Progress {
public:
  explicit Progress(std::string runner) : runner_(std::move(runner)) {}

  // Prints "<runner>: <text>" and flushes.
  void line(std::string_view text) const;
  // Prints "<runner>: <what>: <describe(report)>".
  void step(std::string_view what, const kivu_runtime::StepReport& report) const;

  [[nodiscard]] const std::string& runner() const noexcept { return runner_; }

private:
  std::string runner_;
};

// Checks a step's result: on success prints its progress line and returns
// the report; on error returns the failure "<what> failed: <error>".
[[nodiscard]] Checked<kivu_runtime::StepReport> run_checked(
    const Progress& progress, std::string_view what,
    std::expected<kivu_runtime::StepReport, kivu_exchange::ExchangeError> result);

// "0x" and lower-case hexadecimal digits, e.g. 0x60000.
[[nodiscard]] std::string hex(std::uint64_t value);

}  // namespace kivu_runner
