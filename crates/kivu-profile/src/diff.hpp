// The comparison of two cycle profiles of the same workload, a base (before a
// change) and a new one (after it): what `kivu-profile diff` prints and what
// its exit status says in CI.
//
// The figures are those of profile_stats.hpp, taken of each profile on its
// own: the span, the cycles of each step kind over all tiles, the busy
// cycles (every kind but idle), and per tile its busy cycles. Profiles are
// compared in cycles; when their clocks differ, times are shown at each
// profile's own clock and the comparison says so.
//
// A regression is growth of the span, the busy cycles, or the cycles of
// exchange, compute or synchronization by strictly more than the threshold:
// growth of exactly the threshold is not one. A figure that was 0 and is
// no longer 0 has grown beyond any threshold. Idle cycles never count: a
// faster run has fewer of them, a slower one more, and the span already
// tells. The threshold is held exactly (millionths of a percent), so the
// boundary does not depend on floating-point rounding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "profile_stats.hpp"

namespace kivu_profile {

// =============================================================================
// Threshold

// A growth threshold in percent, as a whole number of millionths of a
// percent.
struct Threshold {
  std::uint64_t micro_percent = 5'000'000;  // 5%

  // The threshold as a fraction of the base (0.05 for 5%).
  [[nodiscard]] double fraction() const noexcept;
  // "5%", "2.5%", "0.125%": the percentage as given, without trailing zeros.
  [[nodiscard]] std::string text() const;
  bool operator==(const Threshold&) const = default;
};

// Largest accepted threshold, in percent.
inline constexpr std::uint64_t max_threshold_percent = 1'000'000'000;

// Parses a percentage of 0 or more: decimal digits with at most six after an
// optional point ("5", "2.5", ".5", "10."), up to max_threshold_percent.
// Anything else (a sign, an exponent, spaces, an empty text) is refused.
[[nodiscard]] std::optional<Threshold> parse_threshold(std::string_view text) noexcept;

// =============================================================================
// Figures

// One figure in both profiles.
struct Change {
  std::uint64_t base = 0;
  std::uint64_t next = 0;

  // next - base.
  [[nodiscard]] std::int64_t difference() const noexcept;
  // (next - base) / base; absent when base is 0.
  [[nodiscard]] std::optional<double> relative() const noexcept;
  // True when the figure grew by strictly more than `threshold` of base, or
  // from 0 to more than 0.
  [[nodiscard]] bool grew_beyond(const Threshold& threshold) const noexcept;
  bool operator==(const Change&) const = default;
};

// The busy cycles of one tile present in both profiles.
struct TileChange {
  std::uint32_t tile = 0;
  Change busy;
  bool operator==(const TileChange&) const = default;
};

// How many tiles the diff lists by default.
inline constexpr std::size_t default_diff_top = 10;

// Two profiles side by side.
struct ProfileDiff {
  ProfileStats base;
  ProfileStats next;
  Threshold threshold;
  Change span;
  Change busy;
  // Tiles in both profiles whose busy cycles changed most, by absolute
  // change, largest first (ties by tile number); at most `top` of them.
  std::vector<TileChange> top_tiles;
  // Tiles in one profile's tile list but not in the other's, ascending.
  std::vector<std::uint32_t> only_in_base;
  std::vector<std::uint32_t> only_in_new;

  // The cycles of step kind `kind` over all tiles, in each profile.
  [[nodiscard]] Change cycles_of(kivu_package::ProfileStepKind kind) const noexcept {
    return {base.cycles[kind], next.cycles[kind]};
  }
  // True when the clocks of the two profiles differ.
  [[nodiscard]] bool clocks_differ() const noexcept { return base.clock_hz != next.clock_hz; }
  // Names of the figures that grew beyond the threshold, in the order span,
  // busy, exchange, compute, synchronization.
  [[nodiscard]] std::vector<std::string> regressions() const;
  // True when any figure grew beyond the threshold.
  [[nodiscard]] bool regression() const { return !regressions().empty(); }
};

// Compares `base` with `next`, listing at most `top` tiles.
[[nodiscard]] ProfileDiff compare_profiles(ProfileStats base, ProfileStats next, Threshold threshold,
                                           std::size_t top = default_diff_top);

// Writes the comparison for a person at a terminal; the profiles are named
// `base_name` and `new_name`.
void write_diff(const ProfileDiff& diff, std::string_view base_name, std::string_view new_name, std::ostream& out);

// The warning line about differing clocks, without a newline.
[[nodiscard]] std::string clock_warning(const ProfileDiff& diff);

// The comparison as a JSON object with the keys base and new (summary_json
// of each), span_cycles, busy_cycles and cycles (per kind), each figure an
// object {base, new, change} with change = (new - base) / base or null when
// base is 0; tiles (the top list of {tile, base_busy, new_busy, change});
// only_in_base, only_in_new; threshold (a fraction) and regression.
[[nodiscard]] nlohmann::json diff_json(const ProfileDiff& diff);

}  // namespace kivu_profile
