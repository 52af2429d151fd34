// hardware_e2e_merge: results written one case at a time by suites on the
// stand-ins come back as one JUnit report, with where each case ran, its
// failure, the cases that never reported, and an exit status that says so.
#include "merge.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "support.hpp"

namespace kivu_e2e::testing {
namespace {

using kivu_e2e::report::Outcome;
using ::testing::HasSubstr;

const std::string listing =
    "hardware_e2e.\n"
    "  all_tile_permutation_works\n"
    "  direct_multicast_works\n"
    "  remote_tile_h2d_and_d2h_work\n"
    "  local_h2d_and_d2h_round_trip_works\n";

struct Merge {
  int status = -1;
  std::string output;
};

// Runs the merge executable on `args`; its output goes to a file.
Merge run_merge(const Sandbox& sandbox, std::vector<std::string> args) {
  args.insert(args.begin(), MERGE_TOOL);
  const fs::path output = sandbox.root() / "merge-output.txt";
  const int status = wait_status_of(spawn(args, {"PATH=/usr/bin:/bin"}, sandbox.root(), output));
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(output)};
}

// The <testcase> elements of a report, by name.
struct ReportCase {
  std::map<std::string, std::string> properties;
  std::optional<std::string> failure;  // its message attribute
  std::string failure_text;
};
std::map<std::string, ReportCase> report_cases(const std::string& xml) {
  tinyxml2::XMLDocument document;
  EXPECT_EQ(document.Parse(xml.c_str(), xml.size()), tinyxml2::XML_SUCCESS) << xml;
  std::map<std::string, ReportCase> cases;
  const auto* suite = document.RootElement() ? document.RootElement()->FirstChildElement("testsuite") : nullptr;
  for (const auto* testcase = suite ? suite->FirstChildElement("testcase") : nullptr; testcase != nullptr;
       testcase = testcase->NextSiblingElement("testcase")) {
    ReportCase& entry = cases[testcase->Attribute("name")];
    EXPECT_STREQ(testcase->Attribute("classname"), "hardware_e2e");
    if (const auto* properties = testcase->FirstChildElement("properties")) {
      for (const auto* p = properties->FirstChildElement("property"); p; p = p->NextSiblingElement("property")) {
        entry.properties[p->Attribute("name")] = p->Attribute("value");
      }
    }
    if (const auto* failure = testcase->FirstChildElement("failure")) {
      entry.failure = failure->Attribute("message");
      entry.failure_text = failure->GetText() ? failure->GetText() : "";
    }
  }
  return cases;
}

std::string this_host() {
  std::array<char, 256> host{};
  gethostname(host.data(), host.size() - 1);
  return host.data();
}

std::string gtest_xml(std::string_view cases) {
  return "<?xml version=\"1.0\"?><testsuites><testsuite name=\"hardware_e2e\">" + std::string(cases) +
         "</testsuite></testsuites>";
}

TEST(Merge, JoinsCaseResultsWithHostBoardFailureAndWhatIsMissing) {
  Sandbox sandbox;
  sandbox.control("* KIVU_BOARD=2 exit 7\n* * exit 0\n");
  const fs::path results = sandbox.root() / "results";
  fs::create_directories(results);
  // Three of the four listed cases, each in a suite process of its own on
  // board 1 or 2; the runners on board 2 fail.
  const std::vector<std::pair<std::string, std::string>> runs = {
      {"all_tile_permutation_works", "1"}, {"direct_multicast_works", "2"}, {"remote_tile_h2d_and_d2h_work", "1"}};
  for (const auto& [name, board] : runs) {
    auto env = sandbox.environment();
    env.push_back("KIVU_SIM_BOARDS=4");
    env.push_back("KIVU_TEST_BOARD=" + board);
    const pid_t suite = spawn({suite_on_stand_ins(), "--gtest_filter=hardware_e2e." + name,
                               "--gtest_output=xml:" + (results / (name + ".xml")).string()},
                              env, sandbox.work(), sandbox.root() / (name + ".txt"));
    wait_status_of(suite);
  }
  write_file(sandbox.root() / "cases.txt", listing);

  const fs::path report = sandbox.root() / "report.xml";
  const Merge merged = run_merge(
      sandbox, {"--expected", (sandbox.root() / "cases.txt").string(), "-o", report.string(), results.string()});
  EXPECT_EQ(merged.status, 1) << merged.output;
  EXPECT_THAT(merged.output, HasSubstr("4 cases, 2 passed, 1 failed, 0 skipped, 1 without a result"));
  EXPECT_THAT(merged.output, HasSubstr("FAILED hardware_e2e.direct_multicast_works host=" + this_host() + " board=2"));
  EXPECT_THAT(merged.output, HasSubstr("NO RESULT hardware_e2e.local_h2d_and_d2h_round_trip_works"));

  const auto cases = report_cases(read_file(report));
  ASSERT_EQ(cases.size(), 4u) << read_file(report);
  const auto& passed = cases.at("all_tile_permutation_works");
  EXPECT_FALSE(passed.failure.has_value());
  EXPECT_EQ(passed.properties.at("host"), this_host());
  EXPECT_EQ(passed.properties.at("board"), "1");
  const auto& failed = cases.at("direct_multicast_works");
  EXPECT_EQ(failed.properties.at("board"), "2");
  ASSERT_TRUE(failed.failure.has_value());
  EXPECT_THAT(*failed.failure, HasSubstr("failed with exit status: 7"));
  EXPECT_THAT(failed.failure_text, HasSubstr("failed with exit status: 7"));
  const auto& missing = cases.at("local_h2d_and_d2h_round_trip_works");
  ASSERT_TRUE(missing.failure.has_value());
  EXPECT_THAT(*missing.failure, HasSubstr("no result"));
  EXPECT_TRUE(missing.properties.empty());

  // Every case reported and passed: exit 0, and the report on standard output.
  sandbox.control("* * exit 0\n");
  for (const auto& name : {"direct_multicast_works", "local_h2d_and_d2h_round_trip_works"}) {
    wait_status_of(spawn({suite_on_stand_ins(), std::string("--gtest_filter=hardware_e2e.") + name,
                          "--gtest_output=xml:" + (results / (std::string(name) + ".xml")).string()},
                         sandbox.environment(), sandbox.work(), sandbox.root() / "again.txt"));
  }
  const Merge whole = run_merge(sandbox, {"--expected", (sandbox.root() / "cases.txt").string(), results.string()});
  EXPECT_EQ(whole.status, 0) << whole.output;
  EXPECT_THAT(whole.output, HasSubstr("<testsuites name=\"hardware_e2e\" tests=\"4\" failures=\"0\""));
}

TEST(Merge, AFailureOutweighsAPassOfTheSameCaseAndStrangersAreKept) {
  auto first = kivu_e2e::report::read_results(
      gtest_xml(R"(<testcase name="a" status="run" result="completed" time="0.1"/>
                   <testcase name="b" status="run" result="completed" time="0.2"/>
                   <testcase name="c" status="notrun" result="suppressed" time="0"/>)"),
      "first.xml");
  auto second = kivu_e2e::report::read_results(
      gtest_xml(R"(<testcase name="a" status="run" result="completed" time="0.3">
                     <properties><property name="board" value="3"/></properties>
                     <failure message="bad &amp; &quot;worse&quot;&#x0A;line two" type=""><![CDATA[the text]]></failure>
                   </testcase>
                   <testcase name="z" status="run" result="completed" time="0"/>)"),
      "second.xml");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 2u);  // the case that did not run is no result
  std::vector<kivu_e2e::report::CaseResult> all = *second;
  all.insert(all.begin(), first->begin(), first->end());
  const auto merged = kivu_e2e::report::merge({"hardware_e2e.a", "hardware_e2e.b", "hardware_e2e.c"}, all);
  ASSERT_EQ(merged.cases.size(), 4u);
  EXPECT_EQ(merged.cases[0].outcome, Outcome::Failed);
  EXPECT_EQ(merged.cases[0].message, "bad & \"worse\"\nline two");
  EXPECT_EQ(merged.cases[0].properties, (std::vector<kivu_e2e::report::Property>{{"board", "3"}}));
  EXPECT_EQ(merged.cases[1].outcome, Outcome::Passed);
  EXPECT_EQ(merged.cases[2].outcome, Outcome::Missing);
  EXPECT_EQ(merged.cases[3].full_name(), "hardware_e2e.z");
  ASSERT_EQ(merged.notes.size(), 2u);
  EXPECT_THAT(merged.notes[0], HasSubstr("reported more than once: hardware_e2e.a"));
  EXPECT_THAT(merged.notes[1], HasSubstr("not in the list of cases: hardware_e2e.z"));

  // The message survives the report's own escaping.
  const auto cases = report_cases(kivu_e2e::report::junit_report(merged));
  EXPECT_THAT(cases.at("a").failure.value_or(""), HasSubstr("bad & \"worse\""));
  EXPECT_EQ(cases.at("a").failure_text, "the text");
}

TEST(Merge, AnUnreadableResultFailsTheMergeButTheRestIsReported) {
  Sandbox sandbox;
  write_file(sandbox.root() / "cases.txt", "hardware_e2e.\n  a\n  b  # comment\n");
  write_file(sandbox.root() / "a.xml", gtest_xml(R"(<testcase name="a" status="run" time="0"/>)"));
  write_file(sandbox.root() / "b.xml", "<testsuites><testsuite name=\"hardware_e2e\"><testcase name=\"b\"");
  const Merge merged = run_merge(sandbox, {"--expected", (sandbox.root() / "cases.txt").string(),
                                           (sandbox.root() / "a.xml").string(), (sandbox.root() / "b.xml").string(),
                                           (sandbox.root() / "absent.xml").string()});
  EXPECT_EQ(merged.status, 1);
  EXPECT_THAT(merged.output, HasSubstr((sandbox.root() / "b.xml").string() + ": "));
  EXPECT_THAT(merged.output, HasSubstr((sandbox.root() / "absent.xml").string() + ": cannot be read"));
  EXPECT_THAT(merged.output, HasSubstr("2 cases, 1 passed, 0 failed, 0 skipped, 1 without a result"));

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"a.xml"}, {"--expected"}, {"--expected", "cases.txt"}, {"--expected", "cases.txt", "--all", "a.xml"}}) {
    EXPECT_EQ(run_merge(sandbox, args).status, 2) << args.back();
  }
  write_file(sandbox.root() / "empty.txt", "");
  EXPECT_EQ(run_merge(sandbox, {"--expected", "empty.txt", "a.xml"}).status, 2);
  EXPECT_EQ(run_merge(sandbox, {"--expected", "no-such-list.txt", "a.xml"}).status, 2);
}

}  // namespace
}  // namespace kivu_e2e::testing
