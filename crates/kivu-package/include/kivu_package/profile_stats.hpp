// kivu_package/profile_stats.hpp: figures of a decoded cycle profile, the
// same for the profile tool's summary, heatmap and diff and for the results
// store.
//
// A sample lasts end_cycle - start_cycle cycles. The reader accepts samples
// that end before they start; such a sample is counted (as "reversed") but
// lasts 0 cycles, so it can never wrap around into billions of cycles.
//
// A tile is "busy" during every cycle of a sample whose step kind is not
// idle: exchange, compute and synchronization all count as busy. Shares per
// tile are taken of the run's span, the cycles from the earliest sample start
// to the latest sample end over all tiles, so a tile that stopped early or
// has gaps between its samples shows as less busy. Entries that name the same
// physical tile twice are merged into one tile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kivu_package.hpp"
#include "kivu_package/kind_cycles.hpp"
#include "kivu_package/profile_file.hpp"

namespace kivu_package {

// =============================================================================
// Step kinds

// The kinds in schema order: exchange, compute, synchronization, idle;
// KindCycles holds one count for each.
inline constexpr std::array<ProfileStepKind, 4> step_kinds = {ProfileStepKind::Exchange, ProfileStepKind::Compute,
                                                              ProfileStepKind::Synchronization, ProfileStepKind::Idle};

// The schema's lower-case name of `kind`: "exchange", "compute",
// "synchronization" or "idle".
[[nodiscard]] std::string_view kind_name(ProfileStepKind kind) noexcept;

// The kind named `name` (the schema's lower-case names), if any.
[[nodiscard]] std::optional<ProfileStepKind> parse_kind(std::string_view name) noexcept;

// =============================================================================
// Figures

// Cycles that `sample` lasted; 0 when it ends before it starts.
[[nodiscard]] std::uint64_t sample_cycles(const CycleSample& sample) noexcept;

[[nodiscard]] std::uint64_t sample_cycles(const SampleView& sample) noexcept;

// True when `sample` ends before it starts.
[[nodiscard]] bool is_reversed(const CycleSample& sample) noexcept;

// `cycles` at `clock_hz` in microseconds; clock_hz must not be 0.
[[nodiscard]] double cycles_to_microseconds(std::uint64_t cycles, std::uint64_t clock_hz) noexcept;

// part / whole, or 0 when whole is 0.
[[nodiscard]] double share_of(std::uint64_t part, std::uint64_t whole) noexcept;

// The run's extent: earliest start and latest end over all samples that do
// not end before they start.
struct Span {
  std::uint32_t first_cycle = 0;
  std::uint32_t last_cycle = 0;
  // Cycles from first_cycle to last_cycle.
  [[nodiscard]] std::uint64_t cycles() const noexcept { return std::uint64_t{last_cycle} - first_cycle; }
  bool operator==(const Span&) const = default;
};

// What one physical tile did, summed over all entries naming it.
struct TileStats {
  std::uint32_t physical_tile = 0;
  std::uint64_t sample_count = 0;
  // Cycles per step kind.
  KindCycles cycles;

  // Cycles of every kind but idle.
  [[nodiscard]] std::uint64_t busy_cycles() const noexcept { return cycles.busy(); }
  bool operator==(const TileStats&) const = default;
};

// Figures of a whole profile.
struct ProfileStats {
  std::uint64_t clock_hz = 0;
  // Entries in the profile's tile list (a tile named twice counts twice).
  std::size_t tile_entries = 0;
  std::uint64_t sample_count = 0;
  // Samples that end before they start (counted as 0 cycles).
  std::uint64_t reversed_samples = 0;
  // Absent when no sample has a proper interval.
  std::optional<Span> span;
  // Cycles per step kind over all tiles.
  KindCycles cycles;
  // One entry per distinct physical tile, by ascending number.
  std::vector<TileStats> tiles;
  // Physical tiles named by more than one entry, ascending.
  std::vector<std::uint32_t> repeated_tiles;

  // Sum of `cycles`.
  [[nodiscard]] std::uint64_t total_cycles() const noexcept { return cycles.total(); }
  // Cycles of every kind but idle, over all tiles.
  [[nodiscard]] std::uint64_t busy_cycles() const noexcept { return cycles.busy(); }
  // Cycles of the span, 0 without one.
  [[nodiscard]] std::uint64_t span_cycles() const noexcept { return span ? span->cycles() : 0; }
  // The stats of `physical_tile`, or nullptr when the profile has none.
  [[nodiscard]] const TileStats* find(std::uint32_t physical_tile) const noexcept;
  // Physical tiles that are in the profile but have no samples, ascending.
  [[nodiscard]] std::vector<std::uint32_t> tiles_without_samples() const;
};

// Computes the figures of `report`.
[[nodiscard]] ProfileStats compute_stats(const ProfileReport& report);
// Computes the figures of a profile walked in place, inside
// ProfileFile::visit (which reports a step kind outside the schema). Texts
// are not read.
[[nodiscard]] ProfileStats compute_stats(const ProfileView& profile);

}  // namespace kivu_package
