// The board's clock and per-tile cycle accounting (rules in
// kivu_runtime/cycle_accounting.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kivu_runtime/cycle_accounting.hpp"

namespace kivu_runtime::detail {

class CycleRecorder {
public:
  CycleRecorder(std::size_t tiles, bool profile);

  // Records one step lasting `duration` cycles from the current cycle.
  // busy[p] is physical tile p's own cost (0: not taking part, at most
  // `duration`), bytes[p] what it moved (exchange only; may be empty).
  // `step` carries kind, names and metadata; phase, epoch and cycles are
  // filled in here. A synchronisation ends the epoch.
  StepReport record(StepRecord step, std::span<const std::uint64_t> busy, std::span<const std::uint64_t> bytes,
                    std::uint64_t duration, std::uint32_t tiles_taking_part, std::uint64_t moved);

  [[nodiscard]] std::uint64_t cycle() const noexcept { return cycle_; }
  [[nodiscard]] std::uint32_t epoch() const noexcept { return epoch_; }
  [[nodiscard]] bool profiling() const noexcept { return profile_; }
  [[nodiscard]] const std::vector<StepRecord>& steps() const noexcept { return steps_; }
  [[nodiscard]] const std::vector<TileSample>& samples(std::uint16_t physical) const { return samples_[physical]; }
  [[nodiscard]] const kivu_package::KindCycles& totals(std::uint16_t physical) const { return totals_[physical]; }

private:
  void add_idle(std::uint16_t physical, std::uint64_t start, std::uint64_t end, std::uint32_t phase);
  void add_busy(std::uint16_t physical, ProfileStepKind kind, std::uint64_t start, std::uint64_t end,
                std::uint32_t phase, std::uint64_t bytes);

  bool profile_;
  std::uint64_t cycle_ = 0;
  std::uint32_t epoch_ = 0;
  std::vector<StepRecord> steps_;
  std::vector<std::vector<TileSample>> samples_;
  std::vector<kivu_package::KindCycles> totals_;
};

}  // namespace kivu_runtime::detail
