// A cycle profile as an SVG heatmap of the board's physical tile grid: 23
// rows of 64 positions, physical tile p in row p / 64 at position p % 64.
//
// Each cell (an SVG <rect class="cell" data-tile="p">) is coloured by the
// tile's share of the run's span: by default its busy share (cycles in every
// step kind but idle), or the share of one chosen step kind. Colours run
// from dark violet (0%) through teal to yellow (100%); shares above 100%
// (overlapping samples) take the 100% colour. Tiles without samples, and
// grid positions the profile does not name, are grey. Every cell has a
// <title> tooltip with the tile's number, place and share; rows and
// positions are labelled, and a legend shows the colour scale.
//
// The change heatmap compares two profiles of the same workload on the same
// grid: each tile in both is coloured by the change of its busy cycles (or
// one kind's cycles), (new - base) / base, on a diverging scale that is
// near white for no change, blue for fewer cycles (faster) and red for more
// (slower). The scale is clipped at the smallest of +-5, 10, 25, 50, 100 or
// 200% that holds every tile's change, and the legend states it; a tile
// that grew from 0 cycles takes the reddest colour. Tiles in only one of
// the profiles (or in neither) are grey. The tooltip gives the tile, its
// cycles in both and the change.
//
// Every text taken from outside is escaped for XML, and bytes that are not
// valid UTF-8, or characters XML does not allow, become U+FFFD.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "kivu_package.hpp"
#include "profile_stats.hpp"

namespace kivu_profile {

// What the heatmap shows.
struct HeatmapOptions {
  // The step kind whose share colours the cells; absent for the busy share.
  std::optional<kivu_package::ProfileStepKind> kind;
  // Names the picture in its heading, e.g. the profile's file name.
  std::string title;
};

// Writes the heatmap of `report` as an SVG document to `out`.
void write_heatmap(const kivu_package::ProfileReport& report, std::ostream& out, const HeatmapOptions& options);
// Writes the heatmap of a profile's figures as an SVG document to `out`.
void write_heatmap(const ProfileStats& stats, std::ostream& out, const HeatmapOptions& options);

// Writes the change heatmap from `base` to `next` as an SVG document to
// `out`; options.kind chooses the cycles compared (busy when absent).
void write_change_heatmap(const ProfileStats& base, const ProfileStats& next, std::ostream& out,
                          const HeatmapOptions& options);

// `text` as XML character data or attribute value: &, <, >, " and ' become
// entities; invalid UTF-8 and characters not allowed in XML 1.0 become U+FFFD.
[[nodiscard]] std::string escape_xml(std::string_view text);

// The colour of `share` (0 .. 1, clamped) on the heatmap's scale, "#rrggbb".
[[nodiscard]] std::string share_colour(double share);

// The colour of a relative `change` on the change scale clipped at
// +-`range` (both fractions), "#rrggbb"; NaN is no change.
[[nodiscard]] std::string change_colour(double change, double range);

// The range the change scale is clipped at for a largest absolute change of
// `largest_change`: the smallest of 0.05, 0.1, 0.25, 0.5, 1 and 2 that
// holds it, else 2.
[[nodiscard]] double change_range(double largest_change) noexcept;

}  // namespace kivu_profile
