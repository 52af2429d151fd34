// kivu_package/kind_cycles.hpp: cycles counted per step kind.
//
// A profile sorts every cycle of a tile into one of the four step kinds
// (exchange, compute, synchronization, idle). KindCycles holds one count per
// kind: what one tile spent, or the sum over the tiles of a whole run. The
// simulated board keeps its running totals in it, and the profile tool sums
// decoded samples into it, so both read the figures the same way.
#pragma once

#include <cstdint>

#include "kivu_package.hpp"

namespace kivu_package {

// Cycles per step kind. The fields follow the schema's order of the kinds.
struct KindCycles {
  std::uint64_t exchange = 0;
  std::uint64_t compute = 0;
  std::uint64_t synchronization = 0;
  std::uint64_t idle = 0;

  // The count of `kind` (a value outside the enumeration reads as idle).
  [[nodiscard]] constexpr std::uint64_t& operator[](ProfileStepKind kind) noexcept {
    switch (kind) {
      case ProfileStepKind::Exchange: return exchange;
      case ProfileStepKind::Compute: return compute;
      case ProfileStepKind::Synchronization: return synchronization;
      case ProfileStepKind::Idle: return idle;
    }
    return idle;
  }
  [[nodiscard]] constexpr std::uint64_t operator[](ProfileStepKind kind) const noexcept {
    return const_cast<KindCycles&>(*this)[kind];
  }

  // Cycles of all four kinds.
  [[nodiscard]] constexpr std::uint64_t total() const noexcept { return exchange + compute + synchronization + idle; }
  // Cycles of every kind but idle: the cycles a tile was busy.
  [[nodiscard]] constexpr std::uint64_t busy() const noexcept { return exchange + compute + synchronization; }

  bool operator==(const KindCycles&) const = default;
};

}  // namespace kivu_package
