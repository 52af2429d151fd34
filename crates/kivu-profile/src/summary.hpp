// The text summary of a cycle profile: clock, counts, the run's span, cycles
// per step kind, the busiest and the idlest tiles and the tiles without
// samples, for a person at a terminal. Figures follow profile_stats.hpp;
// tiles are named by physical number with their row and position on the
// board's grid.
#pragma once

#include "kivu_package.hpp"

#include <cstddef>
#include <iosfwd>

namespace kivu_profile {

// How many tiles the busiest and the idlest lists name at most.
inline constexpr std::size_t summary_tile_list_length = 5;

// Writes the summary of `report` to `out`.
void write_summary(const kivu_package::ProfileReport& report, std::ostream& out);

}  // namespace kivu_profile
