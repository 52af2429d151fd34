#include "kivu_package/profile_stats.hpp"

#include <algorithm>
#include <map>
#include <utility>

namespace kivu_package {

// =============================================================================
// Step kinds

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

std::uint64_t sample_cycles(const SampleView& sample) noexcept {
  return sample.reversed() ? 0 : std::uint64_t{sample.end_cycle()} - sample.start_cycle();
}

bool is_reversed(const CycleSample& sample) noexcept { return sample.end_cycle < sample.start_cycle; }

double cycles_to_microseconds(std::uint64_t cycles, std::uint64_t clock_hz) noexcept {
  return static_cast<double>(cycles) * 1e6 / static_cast<double>(clock_hz);
}

double share_of(std::uint64_t part, std::uint64_t whole) noexcept {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
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

namespace {

// The figures of the fields a walk hands out: each tile entry's number and,
// per sample, its cycles and kind.
class StatsBuilder {
public:
  StatsBuilder(std::uint64_t clock_hz, std::size_t tile_entries) {
    stats_.clock_hz = clock_hz;
    stats_.tile_entries = tile_entries;
  }

  // Starts the next tile entry.
  void tile(std::uint32_t physical_tile) {
    auto& [tile_stats, entries] = by_tile_[physical_tile];
    tile_stats.physical_tile = physical_tile;
    ++entries;
    current_ = &tile_stats;
  }

  // Takes a sample of the current tile.
  void sample(std::uint32_t start_cycle, std::uint32_t end_cycle, ProfileStepKind kind) {
    ++current_->sample_count;
    ++stats_.sample_count;
    if (end_cycle < start_cycle) {
      ++stats_.reversed_samples;
      return;
    }
    const std::uint64_t cycles = std::uint64_t{end_cycle} - start_cycle;
    current_->cycles[kind] += cycles;
    stats_.cycles[kind] += cycles;
    if (!stats_.span) {
      stats_.span = Span{start_cycle, end_cycle};
    } else {
      stats_.span->first_cycle = std::min(stats_.span->first_cycle, start_cycle);
      stats_.span->last_cycle = std::max(stats_.span->last_cycle, end_cycle);
    }
  }

  ProfileStats finish() && {
    stats_.tiles.reserve(by_tile_.size());
    for (auto& [number, tile] : by_tile_) {
      stats_.tiles.push_back(tile.first);
      if (tile.second > 1) stats_.repeated_tiles.push_back(number);
    }
    return std::move(stats_);
  }

private:
  ProfileStats stats_;
  // Per physical tile: its figures and the entries naming it.
  std::map<std::uint32_t, std::pair<TileStats, std::size_t>> by_tile_;
  TileStats* current_ = nullptr;
};

}  // namespace

ProfileStats compute_stats(const ProfileReport& report) {
  StatsBuilder builder(report.clock_hz, report.tiles.size());
  for (const auto& tile : report.tiles) {
    builder.tile(tile.physical_tile);
    for (const auto& sample : tile.samples) {
      builder.sample(sample.start_cycle, sample.end_cycle, sample.step.kind);
    }
  }
  return std::move(builder).finish();
}

ProfileStats compute_stats(const ProfileView& profile) {
  const auto tiles = profile.tiles();
  StatsBuilder builder(profile.clock_hz(), tiles.size());
  for (const TileView tile : tiles) {
    builder.tile(tile.physical_tile());
    for (const SampleView sample : tile.samples()) {
      builder.sample(sample.start_cycle(), sample.end_cycle(), sample.step().kind());
    }
  }
  return std::move(builder).finish();
}

}  // namespace kivu_package
