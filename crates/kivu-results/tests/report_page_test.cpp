#include "kivu_results/report_page.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using kivu_results::assess_boards;
using kivu_results::BoardCounts;
using kivu_results::ChangePoint;
using kivu_results::FlakyCase;
using kivu_results::render_report;
using kivu_results::ReportData;
using kivu_results::ReportSeries;
using kivu_results::RunSummary;
using kivu_results::SeriesPoint;
using testing::HasSubstr;
using testing::Not;

std::size_t occurrences(std::string_view text, std::string_view what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// The plots of a page, each from its <svg class="series-plot" to </svg>.
std::vector<std::string> plots_of(const std::string& page) {
  std::vector<std::string> plots;
  for (auto at = page.find("<svg class=\"series-plot\""); at != std::string::npos;
       at = page.find("<svg class=\"series-plot\"", at + 1)) {
    plots.push_back(page.substr(at, page.find("</svg>", at) - at));
  }
  return plots;
}

ReportSeries series_of(std::string metric, const std::vector<double>& values, std::vector<ChangePoint> changes = {}) {
  ReportSeries series{std::move(metric), "hardware_e2e.gemm_profile", {}, std::move(changes)};
  for (std::size_t i = 0; i < values.size(); ++i) {
    series.points.push_back(
        SeriesPoint{static_cast<std::int64_t>(i + 1), "commit" + std::to_string(i), "2026-12-09T19:23:40Z", values[i]});
  }
  return series;
}

ChangePoint change(std::size_t index, double before, double after) {
  return ChangePoint{index, "commit" + std::to_string(index), before, after, (after - before) / before, 0.005};
}

TEST(ReportPage, OnePlotPerSeriesWithItsChangePointsAndLevels) {
  ReportData data;
  data.series.push_back(
      series_of("total_cycles", {100, 101, 99, 120, 121, 119, 90, 91, 89}, {change(3, 100, 120), change(6, 120, 90)}));
  data.series.push_back(series_of("exchange_cycles", {5, 6, 5, 6, 5, 6}));
  data.series.push_back(series_of("sync_cycles", {7, 7, 7, 7}));
  const std::string page = render_report(data);
  const auto plots = plots_of(page);
  ASSERT_EQ(plots.size(), 3u);
  EXPECT_EQ(occurrences(plots[0], "class=\"change-point\""), 2u);
  EXPECT_EQ(occurrences(plots[0], "class=\"level\""), 3u);
  EXPECT_EQ(occurrences(plots[1], "class=\"change-point\""), 0u);
  EXPECT_EQ(occurrences(plots[1], "class=\"level\""), 1u);
  EXPECT_EQ(occurrences(plots[0], "class=\"point\""), 9u);
  // A rise is red, a drop blue; both name their commit and change.
  EXPECT_THAT(plots[0], HasSubstr("stroke=\"#b2182b\" stroke-width=\"1.5\" stroke-dasharray"));
  EXPECT_THAT(plots[0], HasSubstr("stroke=\"#2166ac\" stroke-width=\"1.5\" stroke-dasharray"));
  EXPECT_THAT(plots[0], HasSubstr("commit3 +20.00%"));
  EXPECT_THAT(plots[0], HasSubstr("commit6 -25.00%"));
  // A flat series still gets a y range: no NaN or infinity anywhere.
  EXPECT_THAT(page, Not(HasSubstr("nan")));
  EXPECT_THAT(page, Not(HasSubstr("inf")));
}

TEST(ReportPage, TextsFromTheStoreCannotAddMarkup) {
  ReportData data;
  RunSummary run;
  run.id = 7;
  run.commit = "\"><script>alert(1)</script>";
  run.labels = {{"board<kind>", "<img src=x onerror=alert(2)>"}, {"fw", "a'b&c"}};
  run.recorded_at = "2026-12-09T19:23:40Z</td><td>";
  run.failed = 2;
  data.runs.push_back(run);
  data.flaky.push_back(FlakyCase{"hardware_e2e.<b>bold</b>", "abc\x01\x1b[31m", 2, 1, 2, {"host:<i>0</i>"}});
  ReportSeries series = series_of("total_cycles</h3><script>", {1, 2, 3, 4, 5, 6});
  series.case_name = "<style>body{display:none}</style>";
  series.points[2].commit = "\" onmouseover=\"alert(3)";
  series.change_points.push_back(ChangePoint{3, "</title><script>x</script>", 2, 5, 1.5, 0.005});
  data.series.push_back(series);
  const std::string page = render_report(data);

  EXPECT_THAT(page, Not(HasSubstr("<script")));
  EXPECT_THAT(page, Not(HasSubstr("<img")));
  EXPECT_THAT(page, Not(HasSubstr("<b>")));
  EXPECT_THAT(page, Not(HasSubstr("<i>")));
  EXPECT_THAT(page, Not(HasSubstr("\" onmouseover")));
  EXPECT_THAT(page, Not(HasSubstr("19:23:40Z</td>")));
  EXPECT_EQ(occurrences(page, "<style>"), 1u);
  EXPECT_THAT(page, HasSubstr("&lt;/title&gt;&lt;script&gt;x&lt;/script&gt;"));
  EXPECT_THAT(page, HasSubstr("&lt;img src=x onerror=alert(2)&gt;"));
  EXPECT_THAT(page, HasSubstr("a&#39;b&amp;c"));
  EXPECT_THAT(page, HasSubstr("&quot; onmouseover=&quot;alert(3)"));
  // Control characters (an escape sequence's ESC) become U+FFFD.
  EXPECT_THAT(page, HasSubstr("abc\xef\xbf\xbd\xef\xbf\xbd[31m"));
  EXPECT_THAT(page, Not(HasSubstr("\x1b")));
}

TEST(ReportPage, RequestsNothingFromOutside) {
  ReportData data;
  data.runs.push_back(RunSummary{1, "https://example.invalid/x.js", {{"url", "http://example.invalid/"}}, "t", 1});
  data.series.push_back(series_of("total_cycles", {1, 2, 3, 4, 5, 6}));
  const std::string page = render_report(data);
  for (const char* fetches :
       {"<script", "<link", "<img", "<iframe", "src=", "href=", "url(", "@import", "@font-face"}) {
    EXPECT_THAT(page, Not(HasSubstr(fetches))) << fetches;
  }
  // The SVG namespace is a name, never fetched.
  EXPECT_EQ(occurrences(page, "http://www.w3.org/2000/svg"), 1u);
  EXPECT_THAT(page, HasSubstr("default-src 'none'"));
}

TEST(ReportPage, EmptyStoreAndTables) {
  const std::string empty = render_report({});
  EXPECT_THAT(empty, HasSubstr("No runs are recorded."));
  EXPECT_THAT(empty, HasSubstr("No case both passed and failed on one commit."));
  EXPECT_TRUE(plots_of(empty).empty());

  ReportData data;
  data.runs.push_back(RunSummary{42, "0123456789abcdef0123", {{"board", "sim"}}, "2026-12-09T19:23:40Z", 18, 1, 1, 1});
  data.flaky.push_back(FlakyCase{"hardware_e2e.gemm_profile", "0123456789ab", 3, 2, 4, {"h1:0", "h2:1"}});
  data.series.push_back(series_of("total_cycles", {}));
  data.series.push_back(series_of("busiest_tile_cycles", {123456789.0}));
  const std::string page = render_report(data);
  // A long commit is shortened to 12 characters, the whole in its tooltip.
  EXPECT_THAT(page, HasSubstr("<code title=\"0123456789abcdef0123\">0123456789ab</code>"));
  EXPECT_THAT(page, HasSubstr("board=sim"));
  EXPECT_THAT(page, HasSubstr("<td class=\"number bad\">1</td>"));
  EXPECT_THAT(page, HasSubstr("h1:0, h2:1"));
  // An empty series says so; a single point is plotted; cycles in full.
  EXPECT_THAT(page, HasSubstr("No figures are recorded."));
  ASSERT_EQ(plots_of(page).size(), 1u);
  EXPECT_THAT(page, HasSubstr("123456789"));
  EXPECT_THAT(page, Not(HasSubstr("nan")));
}

// The rows of the board-health table, each from its <tr class= to </tr>.
std::vector<std::string> board_rows(const std::string& page) {
  std::vector<std::string> rows;
  const auto table = page.find("<table class=\"boards\">");
  if (table == std::string::npos) return rows;
  const auto end = page.find("</table>", table);
  for (auto at = page.find("<tr class=", table); at < end; at = page.find("<tr class=", at + 1)) {
    rows.push_back(page.substr(at, page.find("</tr>", at) - at));
  }
  return rows;
}

TEST(ReportPage, BoardHealthMarksTheSuspectBoardWithItsTiles) {
  // 40 runs of 20 cases over four boards; board 2 fails 9 times, 7 of
  // them on tile 714; tile 12 fails once on boards 0 and 1 (the software).
  BoardCounts counts;
  counts.boards = {
      {"lab<b>:0", 40, 200, 1}, {"lab<b>:1", 40, 200, 1}, {"lab<b>:2", 40, 200, 9}, {"lab<b>:3", 40, 200, 0}};
  counts.tiles = {{"lab<b>:0", "12", 1}, {"lab<b>:1", "12", 1}, {"lab<b>:2", "714", 7}, {"lab<b>:2", "3", 2}};
  ReportData data;
  data.boards = assess_boards(counts);
  const std::string page = render_report(data);
  const auto rows = board_rows(page);
  ASSERT_EQ(rows.size(), 4u);
  // Only board 2 is red, with its tiles most first.
  for (std::size_t board = 0; board < rows.size(); ++board) {
    EXPECT_EQ(rows[board].starts_with("<tr class=\"suspect\">"), board == 2) << rows[board];
  }
  EXPECT_THAT(rows[2], HasSubstr("714 &times;7, 3 &times;2"));
  EXPECT_THAT(rows[2], HasSubstr("4.50%"));
  EXPECT_THAT(rows[3], HasSubstr("<td>-</td>"));
  EXPECT_THAT(page, HasSubstr("1 of 4 boards suspect"));
  // The tile failing on two boards is named as the software's.
  EXPECT_THAT(rows[0], HasSubstr("12 &times;1 (software)"));
  EXPECT_THAT(page, HasSubstr("Tile 12 failed on 2 boards: it points at the software"));
  EXPECT_EQ(occurrences(page, "<p class=\"software\">"), 1u);
  // The host is text, never markup.
  EXPECT_THAT(page, HasSubstr("lab&lt;b&gt;"));
  EXPECT_THAT(page, Not(HasSubstr("lab<b>")));
}

TEST(ReportPage, BoardHealthWithoutSuspectOrBoards) {
  EXPECT_THAT(render_report({}), HasSubstr("No case results with a host and a board are recorded."));
  EXPECT_TRUE(board_rows(render_report({})).empty());

  // The same failures spread evenly: no board stands out.
  BoardCounts counts;
  counts.boards = {{"h:0", 40, 200, 3}, {"h:1", 40, 200, 3}, {"h:2", 40, 200, 3}, {"h:3", 40, 200, 3}};
  ReportData data;
  data.boards = assess_boards(counts);
  const std::string page = render_report(data);
  ASSERT_EQ(board_rows(page).size(), 4u);
  EXPECT_THAT(page, Not(HasSubstr("<tr class=\"suspect\">")));
  EXPECT_THAT(page, HasSubstr("0 of 4 boards suspect"));
  EXPECT_THAT(page, Not(HasSubstr("points at the software")));
}

}  // namespace
