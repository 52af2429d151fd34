// The values the results store answers with, shared by its queries, the
// change-point analysis and the report page. Plain data: no database types
// leak out of the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kivu_results {

// One recorded run: a record of one or more result files (and profiles).
struct RunSummary {
  std::int64_t id = 0;
  std::string commit;                         // empty when none was known
  std::map<std::string, std::string> labels;  // --label KEY=VALUE, by key
  std::string recorded_at;                    // UTC, ISO 8601 ("2026-12-09T19:23:40Z")
  std::size_t passed = 0;
  std::size_t failed = 0;
  std::size_t missing = 0;  // expected cases without a result, and skips
  std::size_t profiles = 0;
};

// A case that both passed and failed on one commit.
struct FlakyCase {
  std::string case_name;  // the full name, "hardware_e2e.<case>"
  std::string commit;
  std::size_t passes = 0;
  std::size_t failures = 0;
  std::size_t flips = 0;            // verdict changes in recording order
  std::vector<std::string> boards;  // "host:board" of the failures, sorted, unique
};

// One value of a metric's series, in recording order.
struct SeriesPoint {
  std::int64_t run_id = 0;
  std::string commit;
  std::string recorded_at;
  double value = 0;
};

// A shift in a series' level. `index` is the position in the series of the
// first point of the new level.
struct ChangePoint {
  std::size_t index = 0;
  std::string commit;          // the commit of the point at `index`
  double before = 0;           // mean of the segment before
  double after = 0;            // mean of the segment from `index` on
  double relative_change = 0;  // (after - before) / |before|; 0 when before is 0
  double p_value = 1;
};

}  // namespace kivu_results
