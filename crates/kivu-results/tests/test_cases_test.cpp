// The one test-case reader that `merge` and `record` share: the same case
// reads the same for both, a merged report only for `record`, and a case's
// time through the workspace's number parser.
#include "kivu_results/test_cases.hpp"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivu_results/inputs.hpp"
#include "kivu_results/merge.hpp"

namespace {

using kivu_results::Documents;
using kivu_results::Outcome;
using kivu_results::read_test_cases;
using kivu_results::seconds_of;
using kivu_results::TestCasesError;
using kivu_results::Verdict;

std::string suite_of(std::string_view cases) {
  return "<testsuites><testsuite name=\"hardware_e2e\">" + std::string(cases) + "</testsuite></testsuites>";
}

// What `merge` writes for a case without a result, a pass and a failure.
const std::string merged_report = suite_of(R"xml(
  <testcase name="gone" classname="hardware_e2e" time="0"><failure message="no result: the case did not report (not run, or ended before writing its result)"/></testcase>
  <testcase name="ok" classname="hardware_e2e" time="0.25"><properties><property name="board" value="2"/></properties></testcase>
  <testcase name="bad" classname="hardware_e2e" time="1"><failure message="no result: printed by the case">its text</failure></testcase>)xml");

TEST(TestCases, AMergedReportIsReadForRecordingAndRefusedForMerging) {
  const auto refused = read_test_cases(merged_report, "report.xml", Documents::Results);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, TestCasesError::Kind::NoStatus);
  EXPECT_EQ(refused.error().detail, "gone");

  const auto read = read_test_cases(merged_report, "report.xml", Documents::ResultsAndReports);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 3u);
  EXPECT_EQ((*read)[0].outcome, Outcome::Missing);
  EXPECT_EQ((*read)[1].outcome, Outcome::Passed);
  EXPECT_EQ((*read)[1].properties, (std::vector<kivu_results::Property>{{"board", "2"}}));
  // A failure with text is a failure, whatever its message says.
  EXPECT_EQ((*read)[2].outcome, Outcome::Failed);
  EXPECT_EQ((*read)[2].source, "report.xml");
}

TEST(TestCases, RecordKeepsWhatMergeJudgesFailedAsFailed) {
  // An <error>, ctest's status="fail", an unknown status, and a skip of
  // ctest's: each recorded with the verdict merge gives it.
  const auto cases = kivu_results::read_result_xml(suite_of(R"xml(
      <testcase name="crashed" status="run" result="completed"><error message="Segmentation fault"/></testcase>
      <testcase name="ctest_fail" status="fail"/>
      <testcase name="odd" status="interrupted"/>
      <testcase name="ctest_skip" status="notrun"><skipped message="SKIP_RETURN_CODE=77"/></testcase>
      <testcase name="disabled" status="notrun" result="suppressed"/>
      <testcase name="early" status="run" result="completed"><failure message="no result: said by the case"/></testcase>)xml"),
                                                   "r.xml");
  ASSERT_TRUE(cases) << cases.error().message;
  ASSERT_EQ(cases->size(), 5u);  // the disabled case did not run
  EXPECT_EQ((*cases)[0].verdict, Verdict::Failed);
  EXPECT_EQ((*cases)[0].failure, "Segmentation fault");
  EXPECT_EQ((*cases)[1].verdict, Verdict::Failed);
  EXPECT_EQ((*cases)[1].failure, "failed (status \"fail\")");
  EXPECT_EQ((*cases)[2].verdict, Verdict::Failed);
  EXPECT_EQ((*cases)[3].verdict, Verdict::Skipped);
  // The merged report's mark of a case without a result, recorded as such.
  EXPECT_EQ((*cases)[4].verdict, Verdict::Missing);
  // Merging, the same case is a failure: no result stands in for one.
  const auto merged = kivu_results::read_results(
      suite_of(
          R"xml(<testcase name="early" status="run"><failure message="no result: said by the case"/></testcase>)xml"),
      "r.xml");
  ASSERT_TRUE(merged && merged->size() == 1u);
  EXPECT_EQ(merged->front().outcome, Outcome::Failed);
}

TEST(TestCases, RecordReadsAForbiddenReferenceAsItsEscapeAsMergeDoes) {
  const auto cases = kivu_results::read_result_xml(
      suite_of(
          R"xml(<testcase name="a" status="run"><failure message="before &#0; after">x&#27;y</failure></testcase>)xml"),
      "r.xml");
  ASSERT_TRUE(cases) << cases.error().message;
  ASSERT_EQ(cases->size(), 1u);
  EXPECT_EQ(cases->front().failure, "before \\u{0} after\nx\\u{1b}y");
}

TEST(TestCases, ASuiteWithoutANameTakesTheClassname) {
  const auto cases = kivu_results::read_result_xml(
      R"xml(<testsuites><testsuite><testcase name="a" classname="hardware_e2e" status="run"/></testsuite></testsuites>)xml",
      "r.xml");
  ASSERT_TRUE(cases);
  ASSERT_EQ(cases->size(), 1u);
  EXPECT_EQ(cases->front().case_name, "hardware_e2e.a");
}

TEST(TestCases, SecondsAreDigitsWithAnOptionalFraction) {
  EXPECT_EQ(seconds_of("12"), 12.0);
  EXPECT_EQ(seconds_of("0.5"), 0.5);
  EXPECT_EQ(seconds_of("0.125"), 0.125);
  EXPECT_DOUBLE_EQ(*seconds_of("1.000000000000000001"), 1.0);    // 18 fractional digits: the most
  EXPECT_EQ(seconds_of("1.0000000000000000001"), std::nullopt);  // 19
  for (const char* bad : {"", ".5", "5.", "-1", "+1", " 1", "1e3", "0x1", "1.2.3", "inf", "nan"}) {
    EXPECT_EQ(seconds_of(bad), std::nullopt) << bad;
  }
}

}  // namespace
