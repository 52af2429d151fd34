// The profile tool's names for tiles and tile lists; the figures themselves
// are kivu-package's (kivu_package/profile_stats.hpp), named here as the
// tool's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivu_package/profile_stats.hpp"

namespace kivu_profile {

using kivu_package::compute_stats;
using kivu_package::cycles_to_microseconds;
using kivu_package::is_reversed;
using kivu_package::kind_name;
using kivu_package::parse_kind;
using kivu_package::ProfileStats;
using kivu_package::sample_cycles;
using kivu_package::share_of;
using kivu_package::Span;
using kivu_package::step_kinds;
using kivu_package::TileStats;

// "tile 130 (row 2, position 2)": a physical tile and its place on the
// board's grid, or "tile 1500 (off the grid)" beyond it.
[[nodiscard]] std::string tile_name(std::uint32_t physical_tile);

// Writes ascending, distinct `numbers` compactly as ranges: "0-63, 65, 70-71".
[[nodiscard]] std::string format_ranges(const std::vector<std::uint32_t>& numbers);

}  // namespace kivu_profile
