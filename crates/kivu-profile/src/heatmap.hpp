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
// Every text taken from outside is escaped for XML, and bytes that are not
// valid UTF-8, or characters XML does not allow, become U+FFFD.
#pragma once

#include "kivu_package.hpp"

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

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

// `text` as XML character data or attribute value: &, <, >, " and ' become
// entities; invalid UTF-8 and characters not allowed in XML 1.0 become U+FFFD.
[[nodiscard]] std::string escape_xml(std::string_view text);

// The colour of `share` (0 .. 1, clamped) on the heatmap's scale, "#rrggbb".
[[nodiscard]] std::string share_colour(double share);

}  // namespace kivu_profile
