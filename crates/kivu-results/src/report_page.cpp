#include "kivu_results/report_page.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

#include <fmt/format.h>

namespace kivu_results {

namespace {

// The heatmap's look: its typeface, its violet-teal scale for what is
// measured, blue for fewer cycles and red for more.
constexpr const char* series_colour = "#3b528b";
constexpr const char* level_colour = "#21918c";
constexpr const char* drop_colour = "#2166ac";
constexpr const char* rise_colour = "#b2182b";
constexpr const char* axis_colour = "#969696";

constexpr int plot_width = 880;
constexpr int plot_height = 280;
constexpr int plot_left = 96;
constexpr int plot_right = 24;
constexpr int plot_top = 36;
constexpr int plot_bottom = 44;

constexpr const char* style = R"(body { font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; font-size: 13px;
  color: #000000; background: #ffffff; margin: 24px 32px; }
h1 { font-size: 18px; margin: 0 0 4px 0; }
h2 { font-size: 15px; margin: 28px 0 8px 0; }
h3 { font-size: 13px; margin: 20px 0 4px 0; }
p.note { color: #555555; margin: 4px 0; }
table { border-collapse: collapse; margin: 4px 0; }
th, td { border: 1px solid #d9d9d9; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #f7f7f7; font-weight: bold; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
td.bad { color: #b2182b; font-weight: bold; }
td.time { white-space: nowrap; }
tr.suspect td { background: #fddbc7; color: #b2182b; font-weight: bold; }
code { font-family: "DejaVu Sans Mono", monospace; font-size: 12px; }
svg.series-plot { display: block; border: 1px solid #d9d9d9; background: #ffffff; }
.series-plot .point:hover { stroke: #000000; stroke-width: 1.5; }
)";

// `text` as HTML text or a quoted attribute value: &, <, >, " and ' become
// references, control characters other than tab and newline become U+FFFD.
// Every other byte passes as it is: bytes of 0x80 and above never end
// markup, and the browser shows an invalid UTF-8 sequence as U+FFFD.
std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\t':
      case '\n': out += c; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          out += "\xef\xbf\xbd";
        } else {
          out += c;
        }
    }
  }
  return out;
}

// The commit as shown: its first 12 characters, the whole in a tooltip.
std::string commit_cell(std::string_view commit) {
  if (commit.empty()) return "<span class=\"note\">none</span>";
  if (commit.size() <= 12) return fmt::format("<code>{}</code>", escape(commit));
  return fmt::format("<code title=\"{}\">{}</code>", escape(commit), escape(commit.substr(0, 12)));
}

// A figure: whole numbers (cycles) in full, others to 4 significant digits.
std::string figure(double value) {
  if (std::abs(value) >= 1000 && std::abs(value) < 1e15) return fmt::format("{:.0f}", value);
  return fmt::format("{:.4g}", value);
}

std::string percent_change(double change) { return fmt::format("{:+.2f}%", 100.0 * change); }

void write_runs(std::string& out, const std::vector<RunSummary>& runs) {
  out += "<h2>Runs</h2>\n";
  if (runs.empty()) {
    out += "<p class=\"note\">No runs are recorded.</p>\n";
    return;
  }
  out +=
      "<table class=\"runs\">\n<tr><th>run</th><th>commit</th><th>recorded (UTC)</th><th>labels</th>"
      "<th>passed</th><th>failed</th><th>missing</th><th>profiles</th></tr>\n";
  for (const RunSummary& run : runs) {
    std::string labels;
    for (const auto& [key, value] : run.labels) {
      if (!labels.empty()) labels += ", ";
      labels += escape(key) + "=" + escape(value);
    }
    out += fmt::format(
        "<tr><td class=\"number\">{}</td><td>{}</td><td class=\"time\">{}</td><td>{}</td><td class=\"number\">{}</td>"
        "<td class=\"number{}\">{}</td><td class=\"number\">{}</td><td class=\"number\">{}</td></tr>\n",
        run.id, commit_cell(run.commit), escape(run.recorded_at), labels, run.passed, run.failed != 0 ? " bad" : "",
        run.failed, run.missing, run.profiles);
  }
  out += "</table>\n";
}

void write_flaky(std::string& out, const std::vector<FlakyCase>& flaky) {
  out += "<h2>Flaky cases</h2>\n";
  if (flaky.empty()) {
    out += "<p class=\"note\">No case both passed and failed on one commit.</p>\n";
    return;
  }
  out +=
      "<table class=\"flaky\">\n<tr><th>case</th><th>commit</th><th>passes</th><th>failures</th><th>flips</th>"
      "<th>failed on</th></tr>\n";
  for (const FlakyCase& item : flaky) {
    std::string boards;
    for (const std::string& board : item.boards) {
      if (!boards.empty()) boards += ", ";
      boards += escape(board);
    }
    out += fmt::format(
        "<tr><td>{}</td><td>{}</td><td class=\"number\">{}</td><td class=\"number bad\">{}</td>"
        "<td class=\"number\">{}</td><td>{}</td></tr>\n",
        escape(item.case_name), commit_cell(item.commit), item.passes, item.failures, item.flips, boards);
  }
  out += "</table>\n";
}

void write_boards(std::string& out, const std::vector<BoardHealth>& boards, double alpha) {
  out += "<h2>Board health</h2>\n";
  if (boards.empty()) {
    out += "<p class=\"note\">No case results with a host and a board are recorded.</p>\n";
    return;
  }
  const auto suspects = std::ranges::count_if(boards, [](const BoardHealth& board) { return board.suspect; });
  out += fmt::format(
      "<p class=\"note\">{} of {} board{} suspect: Fisher's exact test, one-sided (this board fails more than the "
      "rest), Holm-corrected over the boards; suspect below {}.</p>\n",
      suspects, boards.size(), boards.size() == 1 ? "" : "s", figure(alpha));
  out +=
      "<table class=\"boards\">\n<tr><th>host</th><th>board</th><th>runs</th><th>cases</th><th>failed</th>"
      "<th>failure rate</th><th>p (Holm)</th><th>verdict</th><th>failed tiles (logical &times; failures)</th></tr>\n";
  std::map<std::uint32_t, std::size_t> software;
  for (const BoardHealth& board : boards) {
    out += fmt::format(
        "<tr class=\"{}\"><td>{}</td><td class=\"number\">{}</td><td class=\"number\">{}</td>"
        "<td class=\"number\">{}</td><td class=\"number{}\">{}</td><td class=\"number\">{:.2f}%</td>"
        "<td class=\"number\">{:.3g}</td><td>{}</td><td>{}</td></tr>\n",
        board.suspect ? "suspect" : "ok", escape(board.host), escape(board.board), board.runs, board.cases,
        board.failed != 0 ? " bad" : "", board.failed, 100 * board.failure_rate, board.p_value,
        board.suspect ? "suspect" : "ok", tiles_text(board, "&times;"));
    for (const TileFailures& tile : board.tiles) {
      if (tile.software) software[tile.tile] = tile.boards;
    }
  }
  out += "</table>\n";
  for (const auto& [tile, count] : software) {
    out += fmt::format(
        "<p class=\"software\">Tile {} failed on {} boards: it points at the software (a scenario or the runtime), "
        "not at one board's hardware.</p>\n",
        tile, count);
  }
}

// Where a series' values and points land in its plot.
struct PlotScale {
  std::size_t count = 0;  // points
  double low = 0;         // the value at the bottom of the plot
  double high = 0;        // the value at its top

  [[nodiscard]] double inner_width() const noexcept { return plot_width - plot_left - plot_right; }
  [[nodiscard]] double inner_height() const noexcept { return plot_height - plot_top - plot_bottom; }
  [[nodiscard]] double x_of(double index) const noexcept {
    return count <= 1 ? plot_left + inner_width() / 2
                      : plot_left + inner_width() * index / static_cast<double>(count - 1);
  }
  [[nodiscard]] double y_of(double value) const noexcept {
    return plot_top + inner_height() * (high - value) / (high - low);
  }
};

// The y range holds every point and level, with a margin; a flat series
// gets a band of 1% around its value (or ±1 around 0).
PlotScale plot_scale(const ReportSeries& series) {
  const auto& points = series.points;
  double low = points.front().value;
  double high = low;
  for (const SeriesPoint& point : points) {
    low = std::min(low, point.value);
    high = std::max(high, point.value);
  }
  for (const ChangePoint& change : series.change_points) {
    low = std::min({low, change.before, change.after});
    high = std::max({high, change.before, change.after});
  }
  const double pad = high - low <= 0 ? (low == 0 ? 1.0 : std::abs(low) * 0.01) : (high - low) * 0.08;
  return {points.size(), low - pad, high + pad};
}

// Axes, with five value ticks and up to ten point ticks.
void write_axes(std::string& out, const PlotScale& scale) {
  out += fmt::format("<g class=\"axes\" stroke=\"{}\">", axis_colour);
  out += fmt::format("<line x1=\"{0}\" x2=\"{0}\" y1=\"{1}\" y2=\"{2}\"/>", plot_left, plot_top,
                     plot_height - plot_bottom);
  out += fmt::format("<line x1=\"{0}\" x2=\"{1}\" y1=\"{2}\" y2=\"{2}\"/></g>\n", plot_left, plot_width - plot_right,
                     plot_height - plot_bottom);
  out += "<g class=\"value-ticks\" text-anchor=\"end\">";
  for (int tick = 0; tick <= 4; ++tick) {
    const double value = scale.low + (scale.high - scale.low) * tick / 4.0;
    const double y = scale.y_of(value);
    out += fmt::format("<line x1=\"{0}\" x2=\"{1}\" y1=\"{2:.1f}\" y2=\"{2:.1f}\" stroke=\"#eeeeee\"/>", plot_left + 1,
                       plot_width - plot_right, y);
    out += fmt::format("<text x=\"{}\" y=\"{:.1f}\">{}</text>", plot_left - 6, y + 3.5, figure(value));
  }
  out += "</g>\n<g class=\"point-ticks\" text-anchor=\"middle\">";
  const std::size_t step = std::max<std::size_t>(1, (scale.count + 9) / 10);
  for (std::size_t index = 0; index < scale.count; index += step) {
    out += fmt::format("<text x=\"{:.1f}\" y=\"{}\">{}</text>", scale.x_of(static_cast<double>(index)),
                       plot_height - plot_bottom + 14, index + 1);
  }
  out += fmt::format(
      "</g>\n<text x=\"{}\" y=\"{}\" text-anchor=\"middle\" font-style=\"italic\">"
      "run in recording order</text>\n",
      plot_left + scale.inner_width() / 2, plot_height - 8);
}

// The levels: from one change point to the next, at the mean of the
// points between (one level, the series' mean, without change points).
void write_levels(std::string& out, const ReportSeries& series, const PlotScale& scale) {
  const auto& changes = series.change_points;
  const std::size_t count = scale.count;
  out += fmt::format("<g class=\"levels\" stroke=\"{}\" stroke-width=\"2.5\" stroke-opacity=\"0.8\">", level_colour);
  double overall = 0;
  for (const SeriesPoint& point : series.points) overall += point.value / static_cast<double>(count);
  for (std::size_t k = 0; k <= changes.size(); ++k) {
    const std::size_t begin = k == 0 ? 0 : std::min(changes[k - 1].index, count);
    const std::size_t end = k < changes.size() ? std::min(changes[k].index, count) : count;
    if (end <= begin) continue;
    const double mean = k < changes.size() ? changes[k].before : k > 0 ? changes[k - 1].after : overall;
    const double y = scale.y_of(mean);
    out += fmt::format(
        "<line class=\"level\" x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{:.1f}\" y2=\"{:.1f}\"><title>level of runs {} to {}: "
        "mean {}</title></line>",
        scale.x_of(static_cast<double>(begin)), scale.x_of(static_cast<double>(end - 1)), y, y, begin + 1, end,
        figure(mean));
  }
  out += "</g>\n";
}

// The series: its line, and each point with its tooltip unless there are
// too many to draw.
void write_points(std::string& out, const ReportSeries& series, const PlotScale& scale) {
  const auto& points = series.points;
  std::string line;
  for (std::size_t index = 0; index < scale.count; ++index) {
    line += fmt::format("{}{:.1f},{:.1f}", index == 0 ? "" : " ", scale.x_of(static_cast<double>(index)),
                        scale.y_of(points[index].value));
  }
  out += fmt::format("<polyline class=\"series\" fill=\"none\" stroke=\"{}\" stroke-width=\"1.2\" points=\"{}\"/>\n",
                     series_colour, line);
  if (scale.count > 400) return;
  out += fmt::format("<g class=\"points\" fill=\"{}\">", series_colour);
  for (std::size_t index = 0; index < scale.count; ++index) {
    const SeriesPoint& point = points[index];
    out += fmt::format(
        "<circle class=\"point\" cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"2.5\"><title>run {}, commit {}, {}: {}</title>"
        "</circle>",
        scale.x_of(static_cast<double>(index)), scale.y_of(point.value), point.run_id, escape(point.commit),
        escape(point.recorded_at), figure(point.value));
  }
  out += "</g>\n";
}

// The change points: between the last point of the old level and the
// first of the new, labelled with the new level's commit and change.
void write_change_points(std::string& out, const ReportSeries& series, const PlotScale& scale) {
  out += "<g class=\"change-points\">";
  for (const ChangePoint& change : series.change_points) {
    if (change.index == 0 || change.index >= scale.count) continue;
    const double x = (scale.x_of(static_cast<double>(change.index - 1)) +
                      scale.x_of(static_cast<double>(change.index))) /
                     2;
    const char* colour = change.after > change.before ? rise_colour : drop_colour;
    const std::string short_commit = escape(std::string_view(change.commit).substr(0, 8));
    out += fmt::format(
        "<line class=\"change-point\" x1=\"{0:.1f}\" x2=\"{0:.1f}\" y1=\"{1}\" y2=\"{2}\" stroke=\"{3}\" "
        "stroke-width=\"1.5\" stroke-dasharray=\"5 3\"><title>new level from run {4}, commit {5}: {6} to {7} ({8}), "
        "p = {9:.3f}</title></line>",
        x, plot_top - 10, plot_height - plot_bottom, colour, change.index + 1, escape(change.commit),
        figure(change.before), figure(change.after), percent_change(change.relative_change), change.p_value);
    out += fmt::format(
        "<text class=\"change-label\" x=\"{:.1f}\" y=\"{}\" fill=\"{}\" text-anchor=\"middle\">{} {}</text>", x,
        plot_top - 14, colour, short_commit, percent_change(change.relative_change));
  }
  out += "</g>\n";
}

// One series' line plot: its points joined in recording order, each
// level's mean over the points it spans, and a dashed vertical line where
// each new level starts.
void write_plot(std::string& out, const ReportSeries& series, std::size_t number) {
  const PlotScale scale = plot_scale(series);
  out += fmt::format(
      "<svg class=\"series-plot\" id=\"plot-{0}\" data-points=\"{1}\" data-change-points=\"{2}\" "
      "xmlns=\"http://www.w3.org/2000/svg\" width=\"{3}\" height=\"{4}\" viewBox=\"0 0 {3} {4}\" "
      "font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"10\">\n",
      number, scale.count, series.change_points.size(), plot_width, plot_height);
  write_axes(out, scale);
  write_levels(out, series, scale);
  write_points(out, series, scale);
  write_change_points(out, series, scale);
  out += "</svg>\n";
}

void write_series(std::string& out, const ReportSeries& series, std::size_t number) {
  const std::string name = series.case_name.empty() ? escape(series.metric)
                                                    : escape(series.metric) + " of " + escape(series.case_name);
  out += fmt::format("<section class=\"series\">\n<h3>{}</h3>\n", name);
  if (series.points.empty()) {
    out += "<p class=\"note\">No figures are recorded.</p>\n</section>\n";
    return;
  }
  out += fmt::format("<p class=\"note\">{} point{}, {}.</p>\n", series.points.size(),
                     series.points.size() == 1 ? "" : "s",
                     series.change_points.empty()       ? std::string("no change point")
                     : series.change_points.size() == 1 ? std::string("1 change point")
                                                        : fmt::format("{} change points", series.change_points.size()));
  write_plot(out, series, number);
  if (!series.change_points.empty()) {
    out +=
        "<table class=\"change-points\">\n<tr><th>from run</th><th>commit</th><th>before</th><th>after</th>"
        "<th>change</th><th>p-value</th></tr>\n";
    for (const ChangePoint& change : series.change_points) {
      out += fmt::format(
          "<tr><td class=\"number\">{}</td><td>{}</td><td class=\"number\">{}</td><td class=\"number\">{}</td>"
          "<td class=\"number\">{}</td><td class=\"number\">{:.3f}</td></tr>\n",
          change.index + 1, commit_cell(change.commit), figure(change.before), figure(change.after),
          percent_change(change.relative_change), change.p_value);
    }
    out += "</table>\n";
  }
  out += "</section>\n";
}

}  // namespace

std::string render_report(const ReportData& data) {
  std::string out;
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  // Nothing may be fetched or run, whatever the page holds.
  out += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n";
  out += "<title>kivu-results report</title>\n<style>\n";
  out += style;
  out += "</style>\n</head>\n<body>\n<h1>Results</h1>\n";
  out += fmt::format("<p class=\"note\">{} run{}, {} flaky case{}, {} board{}, {} series.</p>\n", data.runs.size(),
                     data.runs.size() == 1 ? "" : "s", data.flaky.size(), data.flaky.size() == 1 ? "" : "s",
                     data.boards.size(), data.boards.size() == 1 ? "" : "s", data.series.size());
  write_runs(out, data.runs);
  write_flaky(out, data.flaky);
  write_boards(out, data.boards, data.alpha);
  out += "<h2>Trends</h2>\n";
  if (data.series.empty()) out += "<p class=\"note\">No series.</p>\n";
  out += fmt::format(
      "<p class=\"note\">Level means in teal; a dashed line marks the first run of a new level, red "
      "<span style=\"color: {}\">&#9632;</span> for a rise and blue <span style=\"color: {}\">&#9632;"
      "</span> for a drop.</p>\n",
      rise_colour, drop_colour);
  for (std::size_t number = 0; number < data.series.size(); ++number) write_series(out, data.series[number], number);
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace kivu_results
