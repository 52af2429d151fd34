// Per-tile cycle accounting of a bulk-synchronous run.
//
// The board keeps one global cycle counter. Each compute step, exchange
// phase and synchronisation occupies the interval [start, end) of the
// counter, start being the previous step's end; every tile of the board
// spends that whole interval somewhere:
//   - a tile taking part is busy for its own cost from `start` (compute or
//     exchange), then idle until `end` if it finished early;
//   - a tile not taking part is idle for the whole interval;
//   - a synchronisation involves every tile.
// So per tile the samples cover the run from cycle 0 to the current cycle
// without gaps or overlaps, and per tile the four totals add up to it.
//
// Steps are numbered in one sequence (`phase`: 0, 1, 2 ... over compute
// steps, exchange phases and synchronisations alike); `epoch` counts the
// synchronisations before a step (a synchronisation carries the epoch it
// closes). Samples are recorded only when the board was built with
// profiling on; consecutive idle intervals of a tile are merged into one
// sample that carries the phase and epoch where the idling began.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivu_package.hpp"
#include "kivu_package/kind_cycles.hpp"

namespace kivu_runtime {

using kivu_package::ProfileStepKind;

// Where a step lies in the run: its kind, its number in the step sequence,
// its epoch, and the cycles [start_cycle, end_cycle) it occupied.
struct StepSpan {
  ProfileStepKind kind = ProfileStepKind::Compute;
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::uint64_t start_cycle = 0;
  std::uint64_t end_cycle = 0;

  [[nodiscard]] std::uint64_t cycles() const noexcept { return end_cycle - start_cycle; }
  bool operator==(const StepSpan&) const = default;
};

// One step of the run, shared by the samples of all tiles that took part.
struct StepRecord : StepSpan {
  std::string operation;
  std::string kernel;
  std::vector<kivu_package::ProfileMetadata> metadata;
};

// One interval of one tile.
struct TileSample {
  std::uint64_t start_cycle = 0;
  std::uint64_t end_cycle = 0;
  ProfileStepKind kind = ProfileStepKind::Idle;
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::uint32_t local_index = 0;  // position in the tile's sample list
  std::uint32_t step = 0;         // index into Board::steps(); unused for Idle
  std::uint64_t bytes = 0;        // exchange: bytes this tile sent and received

  bool operator==(const TileSample&) const = default;
};

// What one step did, for a runner's progress line.
struct StepReport : StepSpan {
  std::uint32_t tiles = 0;  // tiles that took part
  std::uint64_t bytes = 0;  // exchange: bytes written to receivers

  bool operator==(const StepReport&) const = default;
};

// One line describing a step, for a runner's progress output, e.g.
// "exchange phase 4 epoch 1: 1472 tiles, 1507328 bytes, cycles 310..550 (240)".
[[nodiscard]] std::string describe(const StepReport& report);

}  // namespace kivu_runtime
