#include "diff.hpp"

#include <algorithm>
#include <ostream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kivu_base/number.hpp"
#include "summary.hpp"

namespace kivu_profile {

namespace {

// Products of a 64-bit count and a threshold in millionths of a percent
// need more than 64 bits.
__extension__ typedef unsigned __int128 wide_unsigned;

// Millionths of a percent in a whole (100%).
constexpr std::uint64_t micro_percent_per_whole = 100'000'000;

// "+300 (+25.00%)", "-12 (-0.50%)", "0 (0.00%)", "+40 (from 0)".
std::string change_text(const Change& change) {
  const auto difference = change.difference();
  const std::string absolute = difference > 0 ? fmt::format("+{}", difference) : fmt::format("{}", difference);
  const auto relative = change.relative();
  if (!relative) return difference == 0 ? absolute : absolute + " (from 0)";
  if (difference == 0) return absolute + " (0.00%)";
  return fmt::format("{} ({:+.2f}%)", absolute, 100.0 * *relative);
}

std::string microseconds_text(std::uint64_t cycles, std::uint64_t clock_hz) {
  if (clock_hz == 0) return "unknown";
  return fmt::format("{:.3f}", cycles_to_microseconds(cycles, clock_hz));
}

// One row of the side-by-side table; `over` marks a figure beyond the threshold.
std::string row(std::string_view name, std::string_view base, std::string_view next, std::string_view change = {},
                bool over = false) {
  std::string line = fmt::format("{:<26} {:>16} {:>16}", name, base, next);
  if (!change.empty()) line += fmt::format("  {}", change);
  if (over) line += "  << regression";
  return line + '\n';
}

nlohmann::json change_json(const Change& change) {
  const auto relative = change.relative();
  return {{"base", change.base},
          {"new", change.next},
          {"change", relative ? nlohmann::json(*relative) : nlohmann::json(nullptr)}};
}

}  // namespace

// =============================================================================
// Threshold

double Threshold::fraction() const noexcept {
  return static_cast<double>(micro_percent) / static_cast<double>(micro_percent_per_whole);
}

std::string Threshold::text() const {
  std::string text = fmt::format("{}.{:06}", micro_percent / 1'000'000, micro_percent % 1'000'000);
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text + "%";
}

std::optional<Threshold> parse_threshold(std::string_view text) noexcept {
  // Millionths of a percent: six places after the point.
  const auto micro_percent = kivu_base::parse_decimal(text, 6, max_threshold_percent * 1'000'000);
  if (!micro_percent) return std::nullopt;
  return Threshold{*micro_percent};
}

// =============================================================================
// Figures

std::int64_t Change::difference() const noexcept {
  return next >= base ? static_cast<std::int64_t>(next - base) : -static_cast<std::int64_t>(base - next);
}

std::optional<double> Change::relative() const noexcept {
  if (base == 0) return std::nullopt;
  return static_cast<double>(difference()) / static_cast<double>(base);
}

bool Change::grew_beyond(const Threshold& threshold) const noexcept {
  if (next <= base) return false;
  if (base == 0) return true;
  // (next - base) / base > micro_percent / 10^8, in integers.
  return wide_unsigned{next - base} * micro_percent_per_whole > wide_unsigned{threshold.micro_percent} * base;
}

std::vector<std::string> ProfileDiff::regressions() const {
  std::vector<std::string> grown;
  if (span.grew_beyond(threshold)) grown.emplace_back("span");
  if (busy.grew_beyond(threshold)) grown.emplace_back("busy");
  for (const auto kind : step_kinds) {
    if (kind != kivu_package::ProfileStepKind::Idle && cycles_of(kind).grew_beyond(threshold)) {
      grown.emplace_back(kind_name(kind));
    }
  }
  return grown;
}

ProfileDiff compare_profiles(ProfileStats base, ProfileStats next, Threshold threshold, std::size_t top) {
  ProfileDiff diff;
  diff.threshold = threshold;
  diff.span = {base.span_cycles(), next.span_cycles()};
  diff.busy = {base.busy_cycles(), next.busy_cycles()};

  // Both tile lists are sorted by number: walk them side by side.
  std::vector<TileChange> in_both;
  auto b = base.tiles.begin();
  auto n = next.tiles.begin();
  while (b != base.tiles.end() || n != next.tiles.end()) {
    if (n == next.tiles.end() || (b != base.tiles.end() && b->physical_tile < n->physical_tile)) {
      diff.only_in_base.push_back((b++)->physical_tile);
    } else if (b == base.tiles.end() || n->physical_tile < b->physical_tile) {
      diff.only_in_new.push_back((n++)->physical_tile);
    } else {
      in_both.push_back({b->physical_tile, {b->busy_cycles(), n->busy_cycles()}});
      ++b, ++n;
    }
  }
  const auto magnitude = [](const TileChange& tile) {
    return tile.busy.next >= tile.busy.base ? tile.busy.next - tile.busy.base : tile.busy.base - tile.busy.next;
  };
  const auto count = std::min(top, in_both.size());
  std::ranges::partial_sort(in_both, in_both.begin() + static_cast<std::ptrdiff_t>(count),
                            [&](const TileChange& x, const TileChange& y) {
                              return magnitude(x) != magnitude(y) ? magnitude(x) > magnitude(y) : x.tile < y.tile;
                            });
  in_both.resize(count);
  diff.top_tiles = std::move(in_both);
  diff.base = std::move(base);
  diff.next = std::move(next);
  return diff;
}

// =============================================================================
// Output

std::string clock_warning(const ProfileDiff& diff) {
  return fmt::format(
      "warning: the clocks differ ({} Hz in base, {} Hz in new); figures are compared in cycles, times are at each "
      "profile's own clock",
      diff.base.clock_hz, diff.next.clock_hz);
}

void write_diff(const ProfileDiff& diff, std::string_view base_name, std::string_view new_name, std::ostream& out) {
  const auto& base = diff.base;
  const auto& next = diff.next;
  out << "base: " << base_name << '\n' << "new:  " << new_name << '\n';
  if (diff.clocks_differ()) out << clock_warning(diff) << '\n';
  out << '\n' << row("", "base", "new", "change");
  out << row("clock (Hz)", std::to_string(base.clock_hz), std::to_string(next.clock_hz));
  out << row("tiles", std::to_string(base.tiles.size()), std::to_string(next.tiles.size()),
             change_text({base.tiles.size(), next.tiles.size()}));
  out << row("samples", std::to_string(base.sample_count), std::to_string(next.sample_count),
             change_text({base.sample_count, next.sample_count}));
  out << row("span (cycles)", std::to_string(diff.span.base), std::to_string(diff.span.next), change_text(diff.span),
             diff.span.grew_beyond(diff.threshold));
  out << row("span (µs)", microseconds_text(diff.span.base, base.clock_hz),
             microseconds_text(diff.span.next, next.clock_hz));
  for (const auto kind : step_kinds) {
    const auto change = diff.cycles_of(kind);
    const bool counts = kind != kivu_package::ProfileStepKind::Idle;
    out << row(fmt::format("{} (cycles)", kind_name(kind)), std::to_string(change.base), std::to_string(change.next),
               change_text(change), counts && change.grew_beyond(diff.threshold));
  }
  out << row("busy (cycles)", std::to_string(diff.busy.base), std::to_string(diff.busy.next), change_text(diff.busy),
             diff.busy.grew_beyond(diff.threshold));

  out << fmt::format("\ntiles whose busy cycles changed most (by absolute change, {} listed):\n",
                     diff.top_tiles.size());
  if (diff.top_tiles.empty()) out << "  none\n";
  for (const auto& tile : diff.top_tiles) {
    out << fmt::format("  {:<34} {:>12} {:>12}  {}\n", tile_name(tile.tile), tile.busy.base, tile.busy.next,
                       change_text(tile.busy));
  }
  const auto listed = [](const std::vector<std::uint32_t>& tiles) {
    return tiles.empty() ? std::string("none") : fmt::format("{} ({})", tiles.size(), format_ranges(tiles));
  };
  out << "tiles only in base: " << listed(diff.only_in_base) << '\n';
  out << "tiles only in new:  " << listed(diff.only_in_new) << '\n';

  const auto grown = diff.regressions();
  if (grown.empty()) {
    out << fmt::format("\nno regression: nothing grew by more than {}\n", diff.threshold.text());
  } else {
    std::string names;
    for (const auto& name : grown) names += (names.empty() ? "" : ", ") + name;
    out << fmt::format("\nregression: {} grew by more than {}\n", names, diff.threshold.text());
  }
}

nlohmann::json diff_json(const ProfileDiff& diff) {
  nlohmann::json cycles = nlohmann::json::object();
  for (const auto kind : step_kinds) cycles[std::string(kind_name(kind))] = change_json(diff.cycles_of(kind));
  nlohmann::json tiles = nlohmann::json::array();
  for (const auto& tile : diff.top_tiles) {
    const auto relative = tile.busy.relative();
    tiles.push_back({{"tile", tile.tile},
                     {"base_busy", tile.busy.base},
                     {"new_busy", tile.busy.next},
                     {"change", relative ? nlohmann::json(*relative) : nlohmann::json(nullptr)}});
  }
  return {
      {"base", summary_json(diff.base)},
      {"new", summary_json(diff.next)},
      {"span_cycles", change_json(diff.span)},
      {"busy_cycles", change_json(diff.busy)},
      {"cycles", std::move(cycles)},
      {"tiles", std::move(tiles)},
      {"only_in_base", diff.only_in_base},
      {"only_in_new", diff.only_in_new},
      {"threshold", diff.threshold.fraction()},
      {"regression", diff.regression()},
  };
}

}  // namespace kivu_profile
