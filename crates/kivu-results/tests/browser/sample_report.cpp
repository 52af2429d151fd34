// Writes the report page of a fixed store for report_in_browser.sh: runs,
// flaky cases, four boards' health (board 2 suspect, tile 714 first; tile
// 12 failing on two boards, the software's) and three series (two steps, a slow creep with noise, and a
// flat line), with texts that would be markup if they were not escaped.
//
//   kivu_results_sample_report PAGE.html EXPECTED.json
//
// EXPECTED.json tells the browser check what the page must show: each
// series' points and change points, and the texts that must appear
// literally.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../series_fixtures.hpp"
#include "kivu_results/board_health.hpp"
#include "kivu_results/change_points.hpp"
#include "kivu_results/report_page.hpp"

namespace {

using namespace kivu_results;

const std::vector<std::string> hostile_texts = {
    "\"><script>document.title='injected'</script>",
    "<img src=\"http://127.0.0.1:9/x.png\" onerror=\"document.title='injected'\">",
    "hardware_e2e.gemm_profile<b>bold</b>",
};

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

ReportSeries make_series(const std::string& metric, const std::vector<double>& values) {
  ReportSeries series;
  series.metric = metric;
  series.case_name = "hardware_e2e.gemm_profile";
  std::vector<std::string> commits;
  for (std::size_t i = 0; i < values.size(); ++i) {
    char commit[41];
    std::snprintf(commit, sizeof commit, "%08zx%032x", 0x5eed0000 + i, 0);
    commits.emplace_back(commit);
    series.points.push_back(SeriesPoint{static_cast<std::int64_t>(i + 1), commit, "2026-12-09T19:23:40Z", values[i]});
  }
  series.change_points = find_change_points(values, commits);
  return series;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kivu_results_sample_report PAGE.html EXPECTED.json\n");
    return 2;
  }
  ReportData data;
  for (std::int64_t id = 12; id >= 1; --id) {
    RunSummary run;
    run.id = id;
    run.commit = id == 12 ? hostile_texts[0] : "5eed" + std::to_string(1000 + id) + "a1b2c3d4e5f6a7b8c9d0e1f2a3b4c5d6";
    run.labels = {{"board", id % 2 == 0 ? "sim-a" : "sim-b"}, {"runtime", "2.4." + std::to_string(id)}};
    if (id == 11) run.labels["note"] = hostile_texts[1];
    run.recorded_at = "2026-12-" + std::to_string(10 + id) + "T08:00:00Z";
    run.passed = id == 9 ? 18 : 20;
    run.failed = id == 9 ? 1 : 0;
    run.missing = id == 9 ? 1 : 0;
    run.profiles = 1;
    data.runs.push_back(run);
  }
  data.flaky.push_back(FlakyCase{hostile_texts[2], "5eed1009a1b2c3d4", 3, 2, 3, {"host-1:0", "host-2:1"}});
  data.flaky.push_back(FlakyCase{"hardware_e2e.host_route", "5eed1004a1b2c3d4", 4, 1, 2, {"host-1:0"}});

  // 40 runs of the 20 cases over four boards, as the soak records them.
  BoardCounts counts;
  counts.boards = {
      {"lab-host:0", 40, 200, 1}, {"lab-host:1", 40, 200, 1}, {"lab-host:2", 40, 200, 9}, {"lab-host:3", 40, 200, 0}};
  counts.tiles = {{"lab-host:0", "12", 1}, {"lab-host:1", "12", 1}, {"lab-host:2", "714", 7}, {"lab-host:2", "3", 2}};
  data.boards = assess_boards(counts);

  using kivu_results_testing::noisy_series;
  auto steps = noisy_series(21, 120, 2.0e6, 0.004, 40, 0.05);
  for (std::size_t i = 85; i < steps.size(); ++i) steps[i] *= 0.97;
  data.series.push_back(make_series("total_cycles", steps));
  std::vector<double> creep = noisy_series(22, 90, 4.0e5, 0.01);
  for (std::size_t i = 0; i < creep.size(); ++i) creep[i] *= 1 + 0.02 * static_cast<double>(i / 15);
  data.series.push_back(make_series("exchange_cycles", creep));
  data.series.push_back(make_series("sync_cycles", std::vector<double>(30, 51200.0)));

  std::ofstream(argv[1]) << render_report(data);
  std::ofstream expected(argv[2]);
  expected << "{\"series\": [";
  for (std::size_t i = 0; i < data.series.size(); ++i) {
    expected << (i == 0 ? "" : ", ") << "{\"metric\": " << json_string(data.series[i].metric)
             << ", \"points\": " << data.series[i].points.size()
             << ", \"change_points\": " << data.series[i].change_points.size() << "}";
  }
  expected << "], \"boards\": [";
  for (std::size_t i = 0; i < data.boards.size(); ++i) {
    const BoardHealth& board = data.boards[i];
    expected << (i == 0 ? "" : ", ") << "{\"board\": " << json_string(board.board)
             << ", \"suspect\": " << (board.suspect ? "true" : "false") << ", \"first_tile\": "
             << (board.tiles.empty() ? std::string("null") : std::to_string(board.tiles.front().tile)) << "}";
  }
  expected << "], \"software_tiles\": [12], \"texts\": [";
  for (std::size_t i = 0; i < hostile_texts.size(); ++i)
    expected << (i == 0 ? "" : ", ") << json_string(hostile_texts[i]);
  expected << "]}\n";
  return expected ? 0 : 1;
}
