#include "cycle_recorder.hpp"

#include <sstream>

namespace kivu_runtime {

std::string describe(const StepReport& report) {
  std::ostringstream line;
  switch (report.kind) {
    case ProfileStepKind::Compute: line << "compute step"; break;
    case ProfileStepKind::Exchange: line << "exchange phase"; break;
    case ProfileStepKind::Synchronization: line << "sync"; break;
    case ProfileStepKind::Idle: line << "idle"; break;
  }
  line << ' ' << report.phase << " epoch " << report.epoch << ": " << report.tiles << " tiles";
  if (report.kind == ProfileStepKind::Exchange) line << ", " << report.bytes << " bytes";
  line << ", cycles " << report.start_cycle << ".." << report.end_cycle << " (" << report.cycles() << ')';
  return line.str();
}

}  // namespace kivu_runtime

namespace kivu_runtime::detail {

CycleRecorder::CycleRecorder(std::size_t tiles, bool profile)
    : profile_(profile), samples_(profile ? tiles : 0), totals_(tiles) {}

StepReport CycleRecorder::record(StepRecord step, std::span<const std::uint64_t> busy,
                                 std::span<const std::uint64_t> bytes, std::uint64_t duration,
                                 std::uint32_t tiles_taking_part, std::uint64_t moved) {
  const std::uint64_t start = cycle_;
  const std::uint64_t end = start + duration;
  const auto phase = static_cast<std::uint32_t>(steps_.size());
  step.phase = phase;
  step.epoch = epoch_;
  step.start_cycle = start;
  step.end_cycle = end;

  for (std::size_t tile = 0; tile < totals_.size(); ++tile) {
    const auto physical = static_cast<std::uint16_t>(tile);
    const std::uint64_t own = busy[tile];
    kivu_package::KindCycles& total = totals_[tile];
    total[step.kind] += own;
    total.idle += duration - own;
    if (!profile_) continue;
    if (own > 0) add_busy(physical, step.kind, start, start + own, phase, bytes.empty() ? 0 : bytes[tile]);
    if (own < duration) add_idle(physical, start + own, end, phase);
  }

  StepReport report{static_cast<const StepSpan&>(step), tiles_taking_part, moved};
  if (step.kind == ProfileStepKind::Synchronization) ++epoch_;
  cycle_ = end;
  steps_.push_back(std::move(step));
  return report;
}

void CycleRecorder::add_busy(std::uint16_t physical, ProfileStepKind kind, std::uint64_t start, std::uint64_t end,
                             std::uint32_t phase, std::uint64_t bytes) {
  auto& list = samples_[physical];
  list.push_back(TileSample{start, end, kind, phase, epoch_, static_cast<std::uint32_t>(list.size()), phase, bytes});
}

void CycleRecorder::add_idle(std::uint16_t physical, std::uint64_t start, std::uint64_t end, std::uint32_t phase) {
  auto& list = samples_[physical];
  if (!list.empty() && list.back().kind == ProfileStepKind::Idle && list.back().end_cycle == start) {
    list.back().end_cycle = end;
    return;
  }
  list.push_back(
      TileSample{start, end, ProfileStepKind::Idle, phase, epoch_, static_cast<std::uint32_t>(list.size()), phase, 0});
}

}  // namespace kivu_runtime::detail
