// The report page of `kivu-results report`: one self-contained HTML file
// holding the runs, the flaky cases and one SVG line plot per series with
// its change points marked.
//
// Self-contained: inline CSS and inline SVG only; no script, font, image or
// style sheet is fetched, so the page opens offline and requests nothing.
// It keeps the heatmap's look (DejaVu Sans, its violet-teal scale for the
// series, blue for a drop in a figure and red for a rise). Every text from
// the store (commits, labels, case names, boards, dates, metric names) is
// escaped, so no recorded text can add markup; bytes that are not valid
// UTF-8, and control characters, become U+FFFD.
//
// In each plot a change point is a vertical dashed line at the first point
// of the new level (class "change-point", red for a rise, blue for a drop),
// labelled with its commit and relative change, and each level's mean is a
// horizontal line over the points it spans (class "level").
//
// The board-health section has one row per (host, board) as `kivu-results
// health` judges it: a suspect board's row is red (class "suspect") and
// names the tiles its failures point at; a tile that failed on several
// boards is named as pointing at the software.
#pragma once

#include <string>
#include <vector>

#include "kivu_results/board_health.hpp"
#include "kivu_results/model.hpp"

namespace kivu_results {

struct ReportSeries {
  std::string metric;
  std::string case_name;  // empty when the metric is not tied to one case
  std::vector<SeriesPoint> points;
  std::vector<ChangePoint> change_points;
};

struct ReportData {
  std::vector<RunSummary> runs;
  std::vector<FlakyCase> flaky;
  std::vector<ReportSeries> series;
  std::vector<BoardHealth> boards;  // as assess_boards gives them
  double alpha = default_alpha;     // the corrected p-value below which a board is suspect
};

// The page, UTF-8.
[[nodiscard]] std::string render_report(const ReportData& data);

}  // namespace kivu_results
