// kivu-results merge: GoogleTest XML results, written one case or shard at
// a time, come back as one JUnit report in which only a clear pass counts as
// one, that stays well-formed XML whatever the results held, and with an
// exit status that says whether every case passed. (The suite's own results,
// merged, are checked by the suite's self-tests, self_tests/merge_test.cpp.)
#include "kivu_results/merge.hpp"

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"
#include "kivu_testing/junit_report.hpp"

namespace {

namespace fs = std::filesystem;

using kivu_results::CaseResult;
using kivu_results::junit_report;
using kivu_results::merge;
using kivu_results::Outcome;
using kivu_results::Property;
using kivu_results::read_results;
using kivu_results::terminal_text;
using kivu_results::xml_text;
using kivu_testing::junit_cases;
using kivu_testing::read_file;
using ::testing::HasSubstr;

// A scratch folder that the tool runs in.
class Scratch {
public:
  [[nodiscard]] fs::path root() const { return directory_.path(); }

private:
  kivu_testing::ScratchDirectory directory_;
};

void write_file(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

struct Merge {
  int status = -1;
  std::string output;  // standard output, then standard error
};

// Runs `kivu-results merge` with `args` in the scratch folder.
Merge run_merge(const Scratch& sandbox, const std::vector<std::string>& args) {
  kivu_testing::ChildCommand command{
      RESULTS_TOOL, {"merge"}, {}, std::vector<std::string>{"PATH=/usr/bin:/bin"}, sandbox.root().string()};
  command.arguments.insert(command.arguments.end(), args.begin(), args.end());
  const auto ran = kivu_testing::run_child(command);
  return {ran.exited ? ran.exit_code : -1, ran.out + ran.err};
}

std::string gtest_xml(std::string_view cases) {
  return "<?xml version=\"1.0\"?><testsuites><testsuite name=\"hardware_e2e\">" + std::string(cases) +
         "</testsuite></testsuites>";
}

TEST(Merge, AFailureOutweighsAPassOfTheSameCaseAndStrangersAreKept) {
  auto first = read_results(gtest_xml(R"(<testcase name="a" status="run" result="completed" time="0.1"/>
                   <testcase name="b" status="run" result="completed" time="0.2"/>
                   <testcase name="c" status="notrun" result="suppressed" time="0"/>)"),
                            "first.xml");
  auto second = read_results(gtest_xml(R"(<testcase name="a" status="run" result="completed" time="0.3">
                     <properties><property name="board" value="3"/></properties>
                     <failure message="bad &amp; &quot;worse&quot;&#x0A;line two" type=""><![CDATA[the text]]></failure>
                   </testcase>
                   <testcase name="z" status="run" result="completed" time="0"/>)"),
                             "second.xml");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 2u);  // the case that did not run is no result
  std::vector<CaseResult> all = *second;
  all.insert(all.begin(), first->begin(), first->end());
  const auto merged = merge({"hardware_e2e.a", "hardware_e2e.b", "hardware_e2e.c"}, all);
  ASSERT_EQ(merged.cases.size(), 4u);
  EXPECT_EQ(merged.cases[0].outcome, Outcome::Failed);
  EXPECT_EQ(merged.cases[0].message, "bad & \"worse\"\nline two");
  EXPECT_EQ(merged.cases[0].properties, (std::vector<Property>{{"board", "3"}}));
  EXPECT_EQ(merged.cases[1].outcome, Outcome::Passed);
  EXPECT_EQ(merged.cases[2].outcome, Outcome::Missing);
  EXPECT_EQ(merged.cases[3].full_name(), "hardware_e2e.z");
  ASSERT_EQ(merged.notes.size(), 2u);
  EXPECT_THAT(merged.notes[0], HasSubstr("reported more than once: hardware_e2e.a"));
  EXPECT_THAT(merged.notes[1], HasSubstr("not in the list of cases: hardware_e2e.z"));

  // The message survives the report's own escaping.
  const auto cases = junit_cases(junit_report(merged));
  EXPECT_THAT(cases.at("a").failure.value_or(""), HasSubstr("bad & \"worse\""));
  EXPECT_EQ(cases.at("a").failure_text, "the text");
}

TEST(Merge, AnUnreadableResultFailsTheMergeButTheRestIsReported) {
  const Scratch sandbox;
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
  // A list that cannot be read, or names no case, is a file that failed the
  // work, not a bad command line.
  write_file(sandbox.root() / "empty.txt", "");
  const Merge empty = run_merge(sandbox, {"--expected", "empty.txt", "a.xml"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_THAT(empty.output, HasSubstr("kivu-results merge: empty.txt names no case"));
  const Merge absent = run_merge(sandbox, {"--expected", "no-such-list.txt", "a.xml"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_THAT(absent.output, HasSubstr("kivu-results merge: cannot read the list of cases no-such-list.txt"));
  write_file(sandbox.root() / "one.txt", "hardware_e2e.\n  a\n");
  EXPECT_EQ(run_merge(sandbox, {"--expected", "one.txt", "a.xml"}).status, 0);
}

// The outcome and message of each case of `cases` (<testcase> elements).
std::map<std::string, std::pair<Outcome, std::string>> outcomes(std::string_view cases) {
  const auto read = read_results(gtest_xml(cases), "r.xml");
  EXPECT_TRUE(read) << read.error();
  std::map<std::string, std::pair<Outcome, std::string>> found;
  for (const auto& result : read.value_or(std::vector<CaseResult>{})) {
    found[result.name] = {result.outcome, result.message};
  }
  return found;
}

TEST(Merge, OnlyAClearPassCountsAsOne) {
  const auto found = outcomes(R"(
      <testcase name="passes" status="run" result="completed"/>
      <testcase name="bare_failure" status="run" result="completed"><failure/></testcase>
      <testcase name="error" status="run" result="completed"><error message="Segmentation fault"/></testcase>
      <testcase name="ctest_fail" classname="x" status="fail"><failure message=""/><system-out>bad</system-out></testcase>
      <testcase name="ctest_fail_alone" status="fail"/>
      <testcase name="unknown_status" status="interrupted"/>
      <testcase name="unknown_result" status="run" result="crashed"/>
      <testcase name="skipped" status="run" result="skipped"><skipped message="no board"/></testcase>
      <testcase name="skipped_then_failed" status="run" result="skipped"><failure message="late"/></testcase>
      <testcase name="ctest_skip" status="notrun"><skipped message="SKIP_RETURN_CODE=77"/></testcase>
      <testcase name="ctest_disabled" status="disabled"/>
      <testcase name="gtest_disabled" status="notrun" result="suppressed"/>)");
  using Expected = std::pair<Outcome, std::string>;
  EXPECT_EQ(found.at("passes"), (Expected{Outcome::Passed, ""}));
  EXPECT_EQ(found.at("bare_failure"), (Expected{Outcome::Failed, "failed"}));
  EXPECT_EQ(found.at("error"), (Expected{Outcome::Failed, "Segmentation fault"}));
  EXPECT_EQ(found.at("ctest_fail"), (Expected{Outcome::Failed, "failed (status \"fail\")"}));
  EXPECT_EQ(found.at("ctest_fail_alone").first, Outcome::Failed);
  EXPECT_EQ(found.at("unknown_status"), (Expected{Outcome::Failed, "unknown status \"interrupted\""}));
  EXPECT_EQ(found.at("unknown_result"), (Expected{Outcome::Failed, "unknown result \"crashed\""}));
  EXPECT_EQ(found.at("skipped"), (Expected{Outcome::Skipped, "no board"}));
  EXPECT_EQ(found.at("skipped_then_failed"), (Expected{Outcome::Failed, "late"}));
  EXPECT_EQ(found.at("ctest_skip"), (Expected{Outcome::Skipped, "SKIP_RETURN_CODE=77"}));
  EXPECT_EQ(found.at("ctest_disabled"), (Expected{Outcome::Skipped, "disabled"}));
  EXPECT_FALSE(found.contains("gtest_disabled"));  // no result, as a case that did not run

  // Through the tool: a failure without text fails the merge, an error
  // reaches the report; a skip is listed with its reason.
  const Scratch sandbox;
  write_file(sandbox.root() / "cases.txt", "hardware_e2e.\n  a\n  b\n  c\n");
  write_file(sandbox.root() / "r.xml",
             gtest_xml(R"(<testcase name="a" status="run" result="completed"><failure/></testcase>
      <testcase name="b" status="run" result="completed"><error message="Segmentation fault">core</error></testcase>
      <testcase name="c" status="run" result="skipped"><skipped message="no board here"/></testcase>)"));
  const fs::path report = sandbox.root() / "report.xml";
  const Merge merged = run_merge(sandbox, {"--expected", "cases.txt", "-o", report.string(), "r.xml"});
  EXPECT_EQ(merged.status, 1) << merged.output;
  EXPECT_THAT(merged.output, HasSubstr("3 cases, 0 passed, 2 failed, 1 skipped, 0 without a result"));
  EXPECT_THAT(merged.output, HasSubstr("  FAILED hardware_e2e.a\n  FAILED hardware_e2e.b\n"));
  EXPECT_THAT(merged.output, HasSubstr("  SKIPPED hardware_e2e.c: no board here\n"));
  const auto cases = junit_cases(read_file(report));
  EXPECT_EQ(cases.at("a").failure, "failed");
  EXPECT_EQ(cases.at("b").failure, "Segmentation fault");
  EXPECT_EQ(cases.at("b").failure_text, "core");
}

TEST(Merge, AnUnreadableResultFailsTheMergeEvenWhenEveryCaseHasAResult) {
  const Scratch sandbox;
  write_file(sandbox.root() / "cases.txt", "hardware_e2e.\n  a\n");
  write_file(sandbox.root() / "a.xml", gtest_xml(R"(<testcase name="a" status="run" result="completed"/>)"));
  EXPECT_EQ(run_merge(sandbox, {"--expected", "cases.txt", "a.xml"}).status, 0);
  write_file(sandbox.root() / "broken.xml", "<testsuites><testsuite name=\"hardware_e2e\"><testcase name=\"b\"");
  for (const std::string other : {"broken.xml", "absent.xml"}) {
    const Merge merged = run_merge(sandbox, {"--expected", "cases.txt", "a.xml", other});
    EXPECT_EQ(merged.status, 1) << merged.output;
    EXPECT_THAT(merged.output, HasSubstr("1 cases, 1 passed, 0 failed, 0 skipped, 0 without a result"));
    EXPECT_THAT(merged.output, HasSubstr(other + ": "));
    EXPECT_THAT(merged.output,
                HasSubstr("a result file could not be read or is not a result (above): the merge fails"));
  }
}

TEST(Merge, AnEarlierReportIsNoResultAndItsOwnReportIsPassedOver) {
  const Scratch sandbox;
  const fs::path results = sandbox.root() / "results";
  fs::create_directories(results);
  write_file(sandbox.root() / "cases.txt", "hardware_e2e.\n  a\n  b\n");
  write_file(results / "a.xml", gtest_xml(R"(<testcase name="a" status="run" result="completed"/>)"));
  write_file(results / "b.xml", gtest_xml(R"(<testcase name="b" status="run" result="completed"/>)"));
  const std::vector<std::string> merge_into_results = {"--expected", "cases.txt", "-o", "results/report.xml",
                                                       "results"};
  EXPECT_EQ(run_merge(sandbox, merge_into_results).status, 0);
  // Run again: the report in the folder is this run's own and is passed over.
  const Merge again = run_merge(sandbox, merge_into_results);
  EXPECT_EQ(again.status, 0) << again.output;
  EXPECT_THAT(again.output, HasSubstr("results/report.xml: passed over: it is the report this merge writes (-o)"));

  // Kept under another name while b's result is gone, the earlier report
  // stands in for nothing: b has no result, and the file is refused.
  fs::rename(results / "report.xml", results / "earlier.xml");
  fs::remove(results / "b.xml");
  const Merge merged = run_merge(sandbox, merge_into_results);
  EXPECT_EQ(merged.status, 1) << merged.output;
  EXPECT_THAT(merged.output, HasSubstr("results/earlier.xml: not a GoogleTest result"));
  EXPECT_THAT(merged.output, HasSubstr("2 cases, 1 passed, 0 failed, 0 skipped, 1 without a result"));
  EXPECT_THAT(merged.output, HasSubstr("NO RESULT hardware_e2e.b"));
}

// Why `xml` is not a well-formed XML 1.0 document for a standard parser
// (Python's expat) and where it holds a byte XML forbids; "" when it is.
std::string xml_problems(const Scratch& sandbox, const std::string& xml) {
  std::string problems;
  for (const char c : xml) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') problems += "control byte " + std::to_string(byte) + "; ";
  }
  const fs::path file = sandbox.root() / "checked.xml";
  write_file(file, xml);
  const auto parsed = kivu_testing::run_child(
      {"/usr/bin/python3",
       {"-c", "import sys, xml.etree.ElementTree as tree; tree.parse(sys.argv[1])", file.string()}});
  if (!parsed.exited || parsed.exit_code != 0) problems += "expat: " + parsed.err;
  return problems;
}

TEST(Merge, TheReportIsWellFormedXmlWhateverTheResultsHold) {
  if (!fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no /usr/bin/python3 to parse the report with expat";
  const Scratch sandbox;
  write_file(sandbox.root() / "cases.txt", "hardware_e2e.\n  a\n");
  // References to characters XML forbids, raw control bytes, bytes that are
  // not UTF-8 and a NUL, in a message, a text, a property and a case's name.
  write_file(sandbox.root() / "r.xml",
             gtest_xml("<testcase name=\"a\" status=\"run\" result=\"completed\">"
                       "<properties><property name=\"board\" value=\"1&#1;\x02\"/></properties>"
                       "<failure message=\"got &#27;[31mred&#x1B;[0m &#0;after \xff\xfe end\">"
                       "before &#0; after\x01 &#xfffe; kept \xc3\xa9\xe2\x82 <![CDATA[&#0; as written]]>"
                       "</failure></testcase>"
                       "<testcase name=\"z&#27;[2J\" status=\"run\" result=\"completed\"><failure message=\"m\"/>"
                       "</testcase>"));
  const fs::path report = sandbox.root() / "report.xml";
  const Merge merged = run_merge(sandbox, {"--expected", "cases.txt", "-o", report.string(), "r.xml"});
  EXPECT_EQ(merged.status, 1) << merged.output;
  const std::string xml = read_file(report);
  EXPECT_EQ(xml_problems(sandbox, xml), "") << xml;

  const auto cases = junit_cases(xml);
  ASSERT_TRUE(cases.contains("a")) << xml;
  EXPECT_EQ(cases.at("a").failure, "got \\u{1b}[31mred\\u{1b}[0m \\u{0}after \\xff\\xfe end");
  EXPECT_EQ(cases.at("a").failure_text, "before \\u{0} after\\u{1} \\u{fffe} kept \xc3\xa9\\xe2\\x82 &#0; as written");
  EXPECT_EQ(cases.at("a").properties.at("board"), "1\\u{1}\\u{2}");
  EXPECT_TRUE(cases.contains("z\\u{1b}[2J")) << xml;

  // The summary on standard error shows the name's escape escaped.
  EXPECT_EQ(merged.output.find('\x1b'), std::string::npos) << merged.output;
  EXPECT_THAT(merged.output, HasSubstr("FAILED hardware_e2e.z\\u{1b}[2J\n"));
  EXPECT_THAT(merged.output, HasSubstr("FAILED hardware_e2e.a board=1\\u{1}\\u{2}\n"));
}

TEST(Merge, EscapesEveryCharacterXmlForbidsAndNoOther) {
  // Each side of each of XML 1.0's limits, in UTF-8.
  EXPECT_EQ(xml_text("\x08|\t|\n|\x0b|\r|\x1f|\x20"), "\\u{8}|\t|\n|\\u{b}|\r|\\u{1f}| ");
  EXPECT_EQ(xml_text("\x7f|\xc2\x9b|\xc2\xa0"), "\x7f|\xc2\x9b|\xc2\xa0");        // allowed in XML
  EXPECT_EQ(xml_text("\xed\x9f\xbf|\xee\x80\x80"), "\xed\x9f\xbf|\xee\x80\x80");  // U+D7FF, U+E000
  EXPECT_EQ(xml_text("\xef\xbf\xbd|\xef\xbf\xbe|\xef\xbf\xbf"), "\xef\xbf\xbd|\\u{fffe}|\\u{ffff}");
  EXPECT_EQ(xml_text("\xf0\x90\x80\x80|\xf4\x8f\xbf\xbf"), "\xf0\x90\x80\x80|\xf4\x8f\xbf\xbf");
  // Not UTF-8: a surrogate, an overlong form, beyond U+10FFFF, a stray
  // continuation byte, a sequence cut short at the end.
  EXPECT_EQ(xml_text("\xed\xa0\x80|\xc0\xaf|\xf4\x90\x80\x80|\x80|\xe2\x82"),
            "\\xed\\xa0\\x80|\\xc0\\xaf|\\xf4\\x90\\x80\\x80|\\x80|\\xe2\\x82");
  EXPECT_EQ(std::string(xml_text(std::string("a\0b", 3))), "a\\u{0}b");
  // On a terminal, also the line breaks, DEL and the C1 controls.
  EXPECT_EQ(terminal_text("a\tb\nc\rd\x7f|\xc2\x9b|\xc2\xa0|\x1b"), "a\tb\\nc\\rd\\u{7f}|\\u{9b}|\xc2\xa0|\\u{1b}");

  // A reference to a character XML forbids reads as that character's
  // escape, up to the limits; one to no character at all as U+FFFD.
  const auto read = read_results(
      gtest_xml(
          R"(<testcase name="a" status="run"><failure message="&#8;&#9;&#31;&#32;&#xD7FF;&#xd800;&#xFFFE;&#x10FFFF;&#x110000;&#0000000000000000000000;"/></testcase>)"),
      "r.xml");
  ASSERT_TRUE(read && read->size() == 1u);
  EXPECT_EQ(read->front().message, "\\u{8}\t\\u{1f} \xed\x9f\xbf\\u{d800}\\u{fffe}\xf4\x8f\xbf\xbf\xef\xbf\xbd\\u{0}");
}

}  // namespace
