#include "heatmap.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <ostream>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "kivu_base/utf8.hpp"
#include "kivu_exchange.hpp"
#include "profile_stats.hpp"

namespace kivu_profile {

namespace {

constexpr int cell_size = 14;
constexpr int grid_left = 96;
constexpr int grid_top = 68;
constexpr int rows = kivu_exchange::halcyon_row_count;
constexpr int positions = kivu_exchange::halcyon_row_length;
constexpr int grid_width = positions * cell_size;
constexpr int grid_height = rows * cell_size;
constexpr int legend_top = grid_top + grid_height + 40;
constexpr int legend_width = 320;
constexpr int picture_width = grid_left + grid_width + 24;
constexpr int picture_height = legend_top + 56;
// Tiles without data are hatched, grey stripes on white, so that they stand
// apart from every colour of both scales, the change scale's near-white
// "unchanged" included.
constexpr const char* no_data_fill = "url(#no-data)";
constexpr const char* no_data_pattern =
    "<defs><pattern id=\"no-data\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"4\" height=\"4\" fill=\"#ffffff\"/>"
    "<rect width=\"1.5\" height=\"4\" fill=\"#969696\"/></pattern></defs>\n";

// Colour scale stops, evenly spaced from 0 to 1 (dark violet to yellow, a
// scale that stays readable in grey and for most colour-blind readers).
constexpr std::array<std::array<int, 3>, 5> scale = {{
    {0x44, 0x01, 0x54},
    {0x3b, 0x52, 0x8b},
    {0x21, 0x91, 0x8c},
    {0x5e, 0xc9, 0x62},
    {0xfd, 0xe7, 0x25},
}};

bool allowed_in_xml(char32_t c) {
  return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) || (c >= 0xe000 && c <= 0xfffd) ||
         (c >= 0x10000 && c <= 0x10ffff);
}

std::string percent(double share) { return fmt::format("{:.1f}%", 100.0 * share); }

// Colours of the change scale: faster (fewer cycles) is blue, slower red,
// no change near white; light enough at the ends to read the grid.
constexpr std::array<int, 3> faster_colour = {0x21, 0x66, 0xac};
constexpr std::array<int, 3> neutral_colour = {0xf7, 0xf7, 0xf7};
constexpr std::array<int, 3> slower_colour = {0xb2, 0x18, 0x2b};

// Ranges the change scale is clipped at: the smallest that holds every
// tile's change, so that a small change still shows and a large one does
// not wash out the rest.
constexpr std::array<double, 6> change_ranges = {0.05, 0.1, 0.25, 0.5, 1.0, 2.0};

std::string blend(const std::array<int, 3>& from, const std::array<int, 3>& to, double t) {
  std::array<int, 3> rgb{};
  for (std::size_t k = 0; k < 3; ++k) rgb[k] = static_cast<int>(std::lround(from[k] + t * (to[k] - from[k])));
  return fmt::format("#{:02x}{:02x}{:02x}", rgb[0], rgb[1], rgb[2]);
}

// A tile's cell: its colour and its tooltip.
struct GridCell {
  std::string colour = no_data_fill;
  std::string tooltip;
};

// The colour scale under the grid: a gradient through `stops` (evenly
// spaced), tick labels at fractions of its width, and a caption.
struct Legend {
  std::string caption;
  std::vector<std::string> stops;
  std::vector<std::pair<double, std::string>> ticks;
  std::string no_data_caption;
};

// The picture's start, its heading and its description.
void write_heading(std::ostream& out, std::string_view heading, std::string_view description) {
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out << fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" viewBox=\"0 0 {0} {1}\" "
      "font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"10\">\n",
      picture_width, picture_height);
  out << "<style>.cell:hover { stroke: #000000; stroke-width: 1.5; }</style>\n";
  out << no_data_pattern;
  out << fmt::format("<rect class=\"background\" width=\"{}\" height=\"{}\" fill=\"#ffffff\"/>\n", picture_width,
                     picture_height);

  // Heading.
  out << fmt::format("<text x=\"{}\" y=\"22\" font-size=\"15\" font-weight=\"bold\">{}</text>\n", grid_left,
                     escape_xml(heading));
  out << fmt::format("<text x=\"{}\" y=\"40\">{}</text>\n", grid_left, escape_xml(description));
}

// The row and position labels, then one cell per tile of the grid.
void write_cells(std::ostream& out, const std::vector<GridCell>& cells) {
  out << fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"end\" font-style=\"italic\">row \\ position</text>\n",
                     grid_left - 6, grid_top - 6);
  out << "<g class=\"position-labels\" text-anchor=\"middle\" font-size=\"9\">\n";
  for (int position = 0; position < positions; position += 4) {
    out << fmt::format("<text x=\"{}\" y=\"{}\">{}</text>\n", grid_left + position * cell_size + cell_size / 2,
                       grid_top - 6, position);
  }
  out << "</g>\n<g class=\"row-labels\" text-anchor=\"end\" font-size=\"9\">\n";
  for (int row = 0; row < rows; ++row) {
    out << fmt::format("<text x=\"{}\" y=\"{}\">{}</text>\n", grid_left - 6, grid_top + row * cell_size + 10, row);
  }
  out << "</g>\n";

  out << "<g class=\"cells\">\n";
  for (std::uint16_t tile = 0; tile < kivu_exchange::halcyon_tile_count; ++tile) {
    const kivu_exchange::TilePlace place = kivu_exchange::tile_place(tile);
    out << fmt::format(
        "<rect class=\"cell\" data-tile=\"{}\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\">"
        "<title>{}</title></rect>\n",
        tile, grid_left + place.position * cell_size, grid_top + place.row * cell_size, cell_size - 1, cell_size - 1,
        cells[tile].colour, escape_xml(cells[tile].tooltip));
  }
  out << "</g>\n";
}

// The legend: the colour scale, then the hatch of tiles without data.
void write_legend(std::ostream& out, const Legend& legend, std::size_t off_grid) {
  out << "<g class=\"legend\">\n";
  out << fmt::format("<text x=\"{}\" y=\"{}\">{}</text>\n", grid_left, legend_top - 6, escape_xml(legend.caption));
  out << "<defs><linearGradient id=\"scale\" x1=\"0\" x2=\"1\" y1=\"0\" y2=\"0\">";
  for (std::size_t k = 0; k < legend.stops.size(); ++k) {
    const double at = static_cast<double>(k) / static_cast<double>(legend.stops.size() - 1);
    out << fmt::format("<stop offset=\"{}\" stop-color=\"{}\"/>", at, legend.stops[k]);
  }
  out << "</linearGradient></defs>\n";
  out << fmt::format("<rect class=\"scale\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"14\" fill=\"url(#scale)\"/>\n",
                     grid_left, legend_top, legend_width);
  for (const auto& [at, label] : legend.ticks) {
    const int x = grid_left + static_cast<int>(std::lround(legend_width * at));
    out << fmt::format("<line x1=\"{0}\" x2=\"{0}\" y1=\"{1}\" y2=\"{2}\" stroke=\"#000000\"/>", x, legend_top + 14,
                       legend_top + 18);
    out << fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n", x, legend_top + 30,
                       escape_xml(label));
  }
  const int swatch_left = grid_left + legend_width + 40;
  out << fmt::format(
      "<rect class=\"no-data\" x=\"{}\" y=\"{}\" width=\"13\" height=\"13\" fill=\"{}\" stroke=\"#969696\"/>\n",
      swatch_left, legend_top, no_data_fill);
  out << fmt::format("<text x=\"{}\" y=\"{}\">{}</text>\n", swatch_left + 20, legend_top + 11,
                     escape_xml(legend.no_data_caption));
  if (off_grid != 0) {
    out << fmt::format("<text x=\"{}\" y=\"{}\">{} profiled tiles lie beyond the grid and are not drawn</text>\n",
                       swatch_left, legend_top + 30, off_grid);
  }
  out << "</g>\n</svg>\n";
}

// Writes the whole picture: heading, description, row and position labels,
// one cell per tile of the grid (`cells` indexed by physical tile), the
// legend and, when `off_grid` is not 0, a note on tiles beyond the grid.
void write_grid(std::ostream& out, std::string_view heading, std::string_view description,
                const std::vector<GridCell>& cells, const Legend& legend, std::size_t off_grid) {
  write_heading(out, heading, description);
  write_cells(out, cells);
  write_legend(out, legend, off_grid);
}

// The cycles a cell shows: of one kind, or busy.
std::uint64_t measured_cycles(const TileStats& tile, std::optional<kivu_package::ProfileStepKind> kind) {
  return kind ? tile.cycles[*kind] : tile.busy_cycles();
}

// Tiles of `stats` beyond the board's grid.
std::size_t tiles_off_grid(const ProfileStats& stats) {
  return static_cast<std::size_t>(std::ranges::count_if(
      stats.tiles, [](const TileStats& tile) { return tile.physical_tile >= kivu_exchange::halcyon_tile_count; }));
}

}  // namespace

// =============================================================================
// Text and colour

std::string escape_xml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    // A byte that starts no character shows as U+FFFD, and the text goes on
    // at the next byte.
    const auto decoded = kivu_base::decode_utf8(text, i);
    i += decoded.valid ? decoded.length : 1;
    char32_t c = decoded.character;
    if (!allowed_in_xml(c)) c = U'\uFFFD';
    switch (c) {
      case U'&': out += "&amp;"; break;
      case U'<': out += "&lt;"; break;
      case U'>': out += "&gt;"; break;
      case U'"': out += "&quot;"; break;
      case U'\'': out += "&apos;"; break;
      default: kivu_base::append_utf8(out, c);
    }
  }
  return out;
}

std::string share_colour(double share) {
  if (!(share > 0.0)) share = 0.0;  // also NaN
  share = std::min(share, 1.0);
  const double scaled = share * static_cast<double>(scale.size() - 1);
  const auto lower = std::min(static_cast<std::size_t>(scaled), scale.size() - 2);
  const double t = scaled - static_cast<double>(lower);
  return blend(scale[lower], scale[lower + 1], t);
}

std::string change_colour(double change, double range) {
  if (std::isnan(change) || !(range > 0.0)) return blend(neutral_colour, neutral_colour, 0.0);
  const double t = std::clamp(change / range, -1.0, 1.0);
  return t < 0 ? blend(neutral_colour, faster_colour, -t) : blend(neutral_colour, slower_colour, t);
}

double change_range(double largest_change) noexcept {
  for (const double range : change_ranges) {
    if (!(largest_change > range)) return range;
  }
  return change_ranges.back();
}

// =============================================================================
// The pictures

void write_heatmap(const kivu_package::ProfileReport& report, std::ostream& out, const HeatmapOptions& options) {
  write_heatmap(compute_stats(report), out, options);
}

void write_heatmap(const ProfileStats& stats, std::ostream& out, const HeatmapOptions& options) {
  const auto span = stats.span_cycles();
  const std::string measure = options.kind ? std::string(kind_name(*options.kind)) : std::string("busy");

  std::string what = options.kind ? measure + " cycles"
                                  : std::string("busy = exchange + compute + synchronization cycles (all but idle)");
  if (stats.span) {
    what += fmt::format(", as a share of the run's span: cycles {} to {} ({} cycles", stats.span->first_cycle,
                        stats.span->last_cycle, span);
    if (stats.clock_hz != 0) what += fmt::format(", {:.3f} µs", cycles_to_microseconds(span, stats.clock_hz));
    what += ")";
  } else {
    what += "; the profile has no samples with a span";
  }

  std::vector<GridCell> cells(kivu_exchange::halcyon_tile_count);
  for (std::uint32_t tile = 0; tile < kivu_exchange::halcyon_tile_count; ++tile) {
    const auto* tile_stats = stats.find(tile);
    auto& cell = cells[tile];
    cell.tooltip = tile_name(tile) + ": ";
    if (tile_stats == nullptr) {
      cell.tooltip += "not in the profile";
    } else if (tile_stats->sample_count == 0) {
      cell.tooltip += "no samples";
    } else {
      const auto cycles = measured_cycles(*tile_stats, options.kind);
      const double share = share_of(cycles, span);
      cell.colour = share_colour(share);
      cell.tooltip += fmt::format("{} {} ({} of {} cycles)", measure, percent(share), cycles, span);
    }
  }

  Legend legend{measure + " share of the run's span", {}, {}, "no samples, or not in the profile"};
  for (std::size_t k = 0; k < scale.size(); ++k) {
    legend.stops.push_back(share_colour(static_cast<double>(k) / static_cast<double>(scale.size() - 1)));
  }
  for (int tick = 0; tick <= 100; tick += 25) legend.ticks.emplace_back(tick / 100.0, fmt::format("{}%", tick));
  const std::string heading = (options.title.empty() ? std::string() : options.title + ": ") + measure +
                              " share per tile";
  write_grid(out, heading, what, cells, legend, tiles_off_grid(stats));
}

namespace {

// The cells of a change heatmap and what they hold.
struct ChangeCells {
  std::vector<GridCell> cells = std::vector<GridCell>(kivu_exchange::halcyon_tile_count);
  std::size_t compared = 0;  // tiles in both profiles
  std::size_t changed = 0;   // of those, tiles whose cycles changed
  double range = 0.0;        // the change the colour scale is clipped at
};

// The change of every tile in both profiles, and the range that holds them.
ChangeCells change_cells(const ProfileStats& base, const ProfileStats& next, const std::string& measure,
                         std::optional<kivu_package::ProfileStepKind> kind) {
  ChangeCells result;
  std::vector<std::optional<double>> changes(kivu_exchange::halcyon_tile_count);
  double largest = 0.0;
  for (std::uint32_t tile = 0; tile < kivu_exchange::halcyon_tile_count; ++tile) {
    const auto* in_base = base.find(tile);
    const auto* in_new = next.find(tile);
    auto& cell = result.cells[tile];
    cell.tooltip = tile_name(tile) + ": ";
    if (in_base == nullptr || in_new == nullptr) {
      cell.tooltip += in_base != nullptr  ? fmt::format("only in the base profile ({} {} cycles)", measure,
                                                        measured_cycles(*in_base, kind))
                      : in_new != nullptr ? fmt::format("only in the new profile ({} {} cycles)", measure,
                                                        measured_cycles(*in_new, kind))
                                          : std::string("in neither profile");
      continue;
    }
    const auto before = measured_cycles(*in_base, kind);
    const auto after = measured_cycles(*in_new, kind);
    const auto difference = after >= before ? static_cast<std::int64_t>(after - before)
                                            : -static_cast<std::int64_t>(before - after);
    ++result.compared;
    std::string change_text = "unchanged";
    if (before != 0) {
      changes[tile] = static_cast<double>(difference) / static_cast<double>(before);
      largest = std::max(largest, std::abs(*changes[tile]));
      if (difference != 0) change_text = fmt::format("change {:+} ({:+.1f}%)", difference, 100.0 * *changes[tile]);
    } else {
      // Growth from nothing is beyond any range: drawn as the most slower.
      changes[tile] = after == 0 ? 0.0 : std::numeric_limits<double>::infinity();
      if (after != 0) change_text = fmt::format("change {:+} (from 0)", difference);
    }
    if (difference != 0) ++result.changed;
    cell.tooltip += fmt::format("{} cycles base {}, new {}, {}", measure, before, after, change_text);
  }
  result.range = change_range(largest);
  for (std::uint32_t tile = 0; tile < kivu_exchange::halcyon_tile_count; ++tile) {
    if (changes[tile]) result.cells[tile].colour = change_colour(*changes[tile], result.range);
  }
  return result;
}

// The change scale under the grid. A comparison without any change says
// so, rather than showing a scale that nothing on the grid uses.
Legend change_legend(const ChangeCells& cells, const std::string& measure) {
  const double range = cells.range;
  const auto range_percent = [&](double at) { return fmt::format("{:+g}%", 100.0 * range * at); };
  std::string caption = fmt::format("change of {} cycles: blue faster, red slower, clipped at \u00b1{:g}%", measure,
                                    100.0 * range);
  if (cells.compared == 0) {
    caption = "no tile is in both profiles: nothing to compare";
  } else if (cells.changed == 0) {
    caption = fmt::format("no change: each of the {} tiles in both profiles has the same {} cycles", cells.compared,
                          measure);
  }
  return Legend{std::move(caption),
                {change_colour(-range, range), change_colour(0.0, range), change_colour(range, range)},
                {{0.0, "\u2264 " + range_percent(-1.0)},
                 {0.25, range_percent(-0.5)},
                 {0.5, "0%"},
                 {0.75, range_percent(0.5)},
                 {1.0, "\u2265 " + range_percent(1.0)}},
                "in only one profile, or in neither"};
}

}  // namespace

void write_change_heatmap(const ProfileStats& base, const ProfileStats& next, std::ostream& out,
                          const HeatmapOptions& options) {
  const std::string measure = options.kind ? std::string(kind_name(*options.kind)) : std::string("busy");
  const ChangeCells cells = change_cells(base, next, measure, options.kind);
  std::string what = fmt::format("change of each tile's {} cycles, (new - base) / base", measure);
  if (options.kind == std::nullopt) what += "; busy = exchange + compute + synchronization";
  what += fmt::format("; spans {} and {} cycles", base.span_cycles(), next.span_cycles());
  if (base.clock_hz != next.clock_hz) what += " (the clocks differ: compared in cycles)";
  const std::string heading = (options.title.empty() ? std::string() : options.title + ": ") + "change of " + measure +
                              " cycles per tile";
  write_grid(out, heading, what, cells.cells, change_legend(cells, measure),
             std::max(tiles_off_grid(base), tiles_off_grid(next)));
}

}  // namespace kivu_profile
