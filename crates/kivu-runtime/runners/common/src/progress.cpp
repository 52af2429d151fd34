#include "kivu_runner/progress.hpp"

#include <fmt/core.h>

#include <cstdio>

namespace kivu_runner {

void Progress::line(std::string_view text) const {
  fmt::print(stdout, "{}: {}\n", runner_, text);
  std::fflush(stdout);
}

void Progress::step(std::string_view what, const kivu_runtime::StepReport& report) const {
  line(fmt::format("{}: {}", what, kivu_runtime::describe(report)));
}

Checked<kivu_runtime::StepReport> run_checked(
    const Progress& progress, std::string_view what,
    std::expected<kivu_runtime::StepReport, kivu_exchange::ExchangeError> result) {
  auto report = check(std::move(result), what);
  if (report) progress.step(what, *report);
  return report;
}

std::string hex(std::uint64_t value) { return fmt::format("{:#x}", value); }

}  // namespace kivu_runner
