// The text summary of a cycle profile: clock, counts, the run's span, cycles
// per step kind, the busiest and the idlest tiles and the tiles without
// samples, for a person at a terminal. Figures follow profile_stats.hpp;
// tiles are named by physical number with their row and position on the
// board's grid. The same figures also come as a JSON object for scripts.
#pragma once

#include <cstddef>
#include <iosfwd>

#include <nlohmann/json_fwd.hpp>

#include "kivu_package.hpp"
#include "profile_stats.hpp"

namespace kivu_profile {

// How many tiles the busiest and the idlest lists name at most.
inline constexpr std::size_t summary_tile_list_length = 5;

// Writes the summary of `report` to `out`.
void write_summary(const kivu_package::ProfileReport& report, std::ostream& out);
// Writes the summary of a profile's figures to `out`.
void write_summary(const ProfileStats& stats, std::ostream& out);

// The figures of `stats` as a JSON object with the keys clock_hz, tiles
// (distinct tiles in the profile), samples, span_start, span_end (both null
// without a span), span_cycles, cycles (exchange, compute, synchronization,
// idle), busy_cycles and tiles_without_samples (ascending tile numbers).
// Scripts rely on these keys: add, never rename.
[[nodiscard]] nlohmann::json summary_json(const ProfileStats& stats);

}  // namespace kivu_profile
