#include "profile_stats.hpp"

#include "kivu_exchange.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <numeric>

namespace kivu_profile {

using kivu_package::CycleSample;
using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;

// =============================================================================
// Step kinds

std::size_t kind_index(ProfileStepKind kind) noexcept {
  switch (kind) {
    case ProfileStepKind::Exchange: return 0;
    case ProfileStepKind::Compute: return 1;
    case ProfileStepKind::Synchronization: return 2;
    case ProfileStepKind::Idle: return 3;
  }
  return 0;
}

std::string_view kind_name(ProfileStepKind kind) noexcept {
  switch (kind) {
    case ProfileStepKind::Exchange: return "exchange";
    case ProfileStepKind::Compute: return "compute";
    case ProfileStepKind::Synchronization: return "synchronization";
    case ProfileStepKind::Idle: return "idle";
  }
  return "exchange";
}

std::optional<ProfileStepKind> parse_kind(std::string_view name) noexcept {
  for (const auto kind : step_kinds) {
    if (kind_name(kind) == name) return kind;
  }
  return std::nullopt;
}

// =============================================================================
// Figures

std::uint64_t sample_cycles(const CycleSample& sample) noexcept {
  return is_reversed(sample) ? 0 : std::uint64_t{sample.end_cycle} - sample.start_cycle;
}

bool is_reversed(const CycleSample& sample) noexcept { return sample.end_cycle < sample.start_cycle; }

double cycles_to_microseconds(std::uint64_t cycles, std::uint64_t clock_hz) noexcept {
  return static_cast<double>(cycles) * 1e6 / static_cast<double>(clock_hz);
}

double share_of(std::uint64_t part, std::uint64_t whole) noexcept {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

std::uint64_t TileStats::busy_cycles() const noexcept {
  return cycles[kind_index(ProfileStepKind::Exchange)] + cycles[kind_index(ProfileStepKind::Compute)] +
         cycles[kind_index(ProfileStepKind::Synchronization)];
}

std::uint64_t ProfileStats::total_cycles() const noexcept {
  return std::accumulate(cycles.begin(), cycles.end(), std::uint64_t{0});
}

std::uint64_t ProfileStats::busy_cycles() const noexcept {
  return total_cycles() - cycles[kind_index(ProfileStepKind::Idle)];
}

std::vector<std::uint32_t> ProfileStats::tiles_without_samples() const {
  std::vector<std::uint32_t> numbers;
  for (const auto& tile : tiles) {
    if (tile.sample_count == 0) numbers.push_back(tile.physical_tile);
  }
  return numbers;
}

const TileStats* ProfileStats::find(std::uint32_t physical_tile) const noexcept {
  const auto it = std::ranges::lower_bound(tiles, physical_tile, {}, &TileStats::physical_tile);
  return it != tiles.end() && it->physical_tile == physical_tile ? &*it : nullptr;
}

ProfileStats compute_stats(const ProfileReport& report) {
  ProfileStats stats;
  stats.clock_hz = report.clock_hz;
  stats.tile_entries = report.tiles.size();

  std::map<std::uint32_t, TileStats> by_tile;
  std::map<std::uint32_t, std::size_t> entries_per_tile;
  for (const auto& tile : report.tiles) {
    auto& tile_stats = by_tile[tile.physical_tile];
    tile_stats.physical_tile = tile.physical_tile;
    ++entries_per_tile[tile.physical_tile];
    for (const auto& sample : tile.samples) {
      ++tile_stats.sample_count;
      ++stats.sample_count;
      if (is_reversed(sample)) {
        ++stats.reversed_samples;
        continue;
      }
      const auto cycles = sample_cycles(sample);
      tile_stats.cycles[kind_index(sample.step.kind)] += cycles;
      stats.cycles[kind_index(sample.step.kind)] += cycles;
      if (!stats.span) {
        stats.span = Span{sample.start_cycle, sample.end_cycle};
      } else {
        stats.span->first_cycle = std::min(stats.span->first_cycle, sample.start_cycle);
        stats.span->last_cycle = std::max(stats.span->last_cycle, sample.end_cycle);
      }
    }
  }
  stats.tiles.reserve(by_tile.size());
  for (auto& [number, tile_stats] : by_tile) stats.tiles.push_back(tile_stats);
  for (const auto& [number, count] : entries_per_tile) {
    if (count > 1) stats.repeated_tiles.push_back(number);
  }
  return stats;
}

std::string tile_name(std::uint32_t physical_tile) {
  if (physical_tile >= kivu_exchange::halcyon_tile_count) {
    return fmt::format("tile {} (off the grid)", physical_tile);
  }
  return fmt::format("tile {} (row {}, position {})", physical_tile, physical_tile / kivu_exchange::halcyon_row_length,
                     physical_tile % kivu_exchange::halcyon_row_length);
}

std::string format_ranges(const std::vector<std::uint32_t>& numbers) {
  std::string text;
  for (std::size_t i = 0; i < numbers.size();) {
    std::size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(numbers[i]);
    if (j > i) {
      // Appended piece by piece: "-" + to_string(...) trips a false
      // -Wrestrict warning of g++ 12 in optimised builds.
      text += '-';
      text += std::to_string(numbers[j]);
    }
    i = j + 1;
  }
  return text;
}

}  // namespace kivu_profile
