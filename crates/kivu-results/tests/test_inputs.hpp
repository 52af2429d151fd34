// Result files and profiles that the store's and the tool's tests record.
#pragma once

#include <string>
#include <vector>

#include "kivu_package.hpp"

namespace kivu_results::testing {

// One case of a GoogleTest XML result.
struct TestCase {
  std::string name;     // the case, without the suite
  std::string verdict;  // "passed", "failed", "skipped" or "missing" (merged report's no result)
  std::string board = "0";
  std::string host = "lab-1";
};

// A GoogleTest XML document (suite hardware_e2e) with `cases`.
inline std::string gtest_xml(const std::vector<TestCase>& cases) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"" + std::to_string(cases.size()) +
                    "\" name=\"AllTests\">\n  <testsuite name=\"hardware_e2e\">\n";
  for (const auto& c : cases) {
    xml += "    <testcase name=\"" + c.name + "\" status=\"run\" result=\"" +
           std::string(c.verdict == "skipped" ? "skipped" : "completed") +
           "\" time=\"0.5\" classname=\"hardware_e2e\">\n";
    if (c.verdict != "missing") {
      xml += "      <properties><property name=\"host\" value=\"" + c.host + "\"/><property name=\"board\" value=\"" +
             c.board + "\"/></properties>\n";
    }
    if (c.verdict == "failed")
      xml += "      <failure message=\"expected 1, got 2\"><![CDATA[frame.cpp:10\nexpected 1, got 2]]></failure>\n";
    if (c.verdict == "skipped") xml += "      <skipped message=\"no board\"/>\n";
    if (c.verdict == "missing")
      xml +=
          "      <failure message=\"no result: the case did not report (not run, or ended before writing its "
          "result)\"/>\n";
    xml += "    </testcase>\n";
  }
  xml += "  </testsuite>\n</testsuites>\n";
  return xml;
}

// A profile of `tiles` tiles: tile t computes `compute + t` cycles, then
// exchanges `exchange` cycles, then idles 5.
inline kivu_package::ProfileReport profile(std::uint32_t tiles, std::uint32_t compute, std::uint32_t exchange) {
  kivu_package::ProfileReport report;
  report.clock_hz = 1'330'000'000;
  for (std::uint32_t t = 0; t < tiles; ++t) {
    kivu_package::TileProfile tile{.physical_tile = t, .samples = {}};
    std::uint32_t at = 0;
    for (const auto& [kind, cycles] : {std::pair{kivu_package::ProfileStepKind::Compute, compute + t},
                                       std::pair{kivu_package::ProfileStepKind::Exchange, exchange},
                                       std::pair{kivu_package::ProfileStepKind::Idle, std::uint32_t{5}}}) {
      kivu_package::CycleSample sample;
      sample.step.kind = kind;
      sample.step.operation = "gemm";
      sample.start_cycle = at;
      sample.end_cycle = at + cycles;
      at += cycles;
      tile.samples.push_back(sample);
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

}  // namespace kivu_results::testing
