#include "kivu_runner/progress.hpp"

#include <cstdio>
#include <iterator>

#include <fmt/core.h>

namespace kivu_runner {

void Progress::line(std::string_view text) const {
  if (mode_ == Mode::quiet) {
    fmt::format_to(std::back_inserter(held_), "{}: {}\n", runner_, text);
    return;
  }
  fmt::print(stream_, "{}: {}\n", runner_, text);
  std::fflush(stream_);
}

void Progress::headline(std::string_view text) const {
  print_held();
  fmt::print(stream_, "{}: {}\n", runner_, text);
  std::fflush(stream_);
}

void Progress::print_held() const {
  if (held_.empty()) return;
  std::fwrite(held_.data(), 1, held_.size(), stream_);
  std::fflush(stream_);
  held_.clear();
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
