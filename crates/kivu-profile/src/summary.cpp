#include "summary.hpp"

#include <algorithm>
#include <ostream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kivu_exchange.hpp"
#include "profile_stats.hpp"

namespace kivu_profile {

namespace {

// "N cycles, T µs", or just the cycles when the clock is unknown.
std::string cycles_and_time(std::uint64_t cycles, std::uint64_t clock_hz) {
  if (clock_hz == 0) return fmt::format("{} cycles", cycles);
  return fmt::format("{} cycles, {:.3f} µs", cycles, cycles_to_microseconds(cycles, clock_hz));
}

void write_tile_list(std::ostream& out, std::string_view heading, const std::vector<const TileStats*>& tiles,
                     std::uint64_t span_cycles) {
  out << heading << ":\n";
  if (tiles.empty()) out << "  none\n";
  for (const auto* tile : tiles) {
    out << fmt::format("  {:<34} {:>12} busy cycles {:>7.2f}%\n", tile_name(tile->physical_tile), tile->busy_cycles(),
                       100.0 * share_of(tile->busy_cycles(), span_cycles));
  }
}

}  // namespace

void write_summary(const kivu_package::ProfileReport& report, std::ostream& out) {
  write_summary(compute_stats(report), out);
}

namespace {

// The clock, the tile and sample counts and the run's span.
void write_counts(const ProfileStats& stats, std::size_t tiles_with_samples, std::ostream& out) {
  if (stats.clock_hz == 0) {
    out << "clock:    0 Hz (unknown: cycles cannot be turned into time)\n";
  } else {
    out << fmt::format("clock:    {} Hz ({:.3f} MHz)\n", stats.clock_hz, static_cast<double>(stats.clock_hz) / 1e6);
  }
  out << fmt::format("tiles:    {} in the profile, {} with samples", stats.tiles.size(), tiles_with_samples);
  if (stats.tile_entries != stats.tiles.size()) {
    out << fmt::format(" ({} entries; entries naming the same tile are merged)", stats.tile_entries);
  }
  out << '\n';
  out << fmt::format("samples:  {}\n", stats.sample_count);
  if (stats.span) {
    out << fmt::format("span:     cycles {} to {}: {}\n", stats.span->first_cycle, stats.span->last_cycle,
                       cycles_and_time(stats.span->cycles(), stats.clock_hz));
  } else {
    out << "span:     none (no sample lasts from a start to an end)\n";
  }
  if (stats.reversed_samples != 0) {
    out << fmt::format("warning:  {} samples end before they start; they are counted as 0 cycles\n",
                       stats.reversed_samples);
  }
}

void write_step_kinds(const ProfileStats& stats, std::ostream& out) {
  const auto total = stats.total_cycles();
  out << "\ncycles per step kind (share of all sampled cycles):\n";
  for (const auto kind : step_kinds) {
    const auto cycles = stats.cycles[kind];
    out << fmt::format("  {:<16} {:>14} cycles {:>7.2f}%\n", kind_name(kind), cycles, 100.0 * share_of(cycles, total));
  }
  out << fmt::format("  {:<16} {:>14} cycles\n", "all", total);
}

void write_busiest_and_idlest(const ProfileStats& stats, const std::vector<const TileStats*>& with_samples,
                              std::ostream& out) {
  out << fmt::format(
      "\nbusy = cycles in exchange, compute and synchronization samples (every step kind but idle);\n"
      "share = busy cycles / the run's span of {} cycles\n",
      stats.span_cycles());
  auto busiest = with_samples;
  std::ranges::stable_sort(busiest,
                           [](const TileStats* a, const TileStats* b) { return a->busy_cycles() > b->busy_cycles(); });
  auto idlest = with_samples;
  std::ranges::stable_sort(idlest,
                           [](const TileStats* a, const TileStats* b) { return a->busy_cycles() < b->busy_cycles(); });
  busiest.resize(std::min(busiest.size(), summary_tile_list_length));
  idlest.resize(std::min(idlest.size(), summary_tile_list_length));
  write_tile_list(out, "busiest tiles", busiest, stats.span_cycles());
  write_tile_list(out, "idlest tiles (among tiles with samples)", idlest, stats.span_cycles());
}

// The tiles without samples, the board's tiles the profile leaves out, and
// the profile's tiles that are not the board's or are named twice.
void write_missing_tiles(const ProfileStats& stats, const std::vector<std::uint32_t>& without_samples,
                         std::ostream& out) {
  out << '\n';
  out << fmt::format("tiles without samples: {}\n",
                     without_samples.empty()
                         ? std::string("none")
                         : fmt::format("{} ({})", without_samples.size(), format_ranges(without_samples)));
  std::vector<std::uint32_t> missing;
  std::vector<std::uint32_t> off_grid;
  for (std::uint32_t tile = 0; tile < kivu_exchange::halcyon_tile_count; ++tile) {
    if (stats.find(tile) == nullptr) missing.push_back(tile);
  }
  for (const auto& tile : stats.tiles) {
    if (tile.physical_tile >= kivu_exchange::halcyon_tile_count) off_grid.push_back(tile.physical_tile);
  }
  out << fmt::format("board tiles not in the profile: {}\n",
                     missing.empty() ? std::string("none")
                                     : fmt::format("{} ({})", missing.size(), format_ranges(missing)));
  if (!off_grid.empty()) {
    out << fmt::format("tiles beyond the board's {} tiles: {} ({})\n", kivu_exchange::halcyon_tile_count,
                       off_grid.size(), format_ranges(off_grid));
  }
  if (!stats.repeated_tiles.empty()) {
    out << fmt::format("tiles named by several entries (merged): {}\n", format_ranges(stats.repeated_tiles));
  }
}

}  // namespace

void write_summary(const ProfileStats& stats, std::ostream& out) {
  std::vector<std::uint32_t> without_samples;
  std::vector<const TileStats*> with_samples;
  for (const auto& tile : stats.tiles) {
    if (tile.sample_count == 0) {
      without_samples.push_back(tile.physical_tile);
    } else {
      with_samples.push_back(&tile);
    }
  }
  write_counts(stats, with_samples.size(), out);
  write_step_kinds(stats, out);
  write_busiest_and_idlest(stats, with_samples, out);
  write_missing_tiles(stats, without_samples, out);
}

nlohmann::json summary_json(const ProfileStats& stats) {
  nlohmann::json cycles = nlohmann::json::object();
  for (const auto kind : step_kinds) cycles[std::string(kind_name(kind))] = stats.cycles[kind];
  return {
      {"clock_hz", stats.clock_hz},
      {"tiles", stats.tiles.size()},
      {"samples", stats.sample_count},
      {"span_start", stats.span ? nlohmann::json(stats.span->first_cycle) : nlohmann::json(nullptr)},
      {"span_end", stats.span ? nlohmann::json(stats.span->last_cycle) : nlohmann::json(nullptr)},
      {"span_cycles", stats.span_cycles()},
      {"cycles", std::move(cycles)},
      {"busy_cycles", stats.busy_cycles()},
      {"tiles_without_samples", stats.tiles_without_samples()},
  };
}

}  // namespace kivu_profile
