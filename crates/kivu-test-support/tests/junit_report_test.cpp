#include "kivu_testing/junit_report.hpp"

#include <string>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace {

using kivu_testing::junit_cases;

TEST(JunitCases, ReadsEachCasesPropertiesAndFailureByName) {
  const auto cases = junit_cases(R"(<?xml version="1.0"?><testsuites><testsuite name="hardware_e2e">
      <testcase name="passed" classname="hardware_e2e">
        <properties><property name="host" value="h"/><property name="board" value="2"/></properties>
      </testcase>
      <testcase name="failed" classname="hardware_e2e">
        <failure message="a &amp; b"><![CDATA[first
second]]></failure>
      </testcase>
      <testcase name="bare" classname="hardware_e2e"><failure/></testcase>
    </testsuite></testsuites>)");
  ASSERT_EQ(cases.size(), 3u);
  EXPECT_EQ(cases.at("passed").properties, (std::map<std::string, std::string>{{"board", "2"}, {"host", "h"}}));
  EXPECT_FALSE(cases.at("passed").failure);
  EXPECT_EQ(cases.at("failed").failure, "a & b");
  EXPECT_EQ(cases.at("failed").failure_text, "first\nsecond");
  EXPECT_TRUE(cases.at("failed").properties.empty());
  // A failure without a message or text is still a failure.
  EXPECT_EQ(cases.at("bare").failure, "");
  EXPECT_EQ(cases.at("bare").failure_text, "");
}

TEST(JunitCases, OnlyTheFirstSuitesCasesCount) {
  const auto cases = junit_cases(R"(<testsuites><testsuite><testcase name="a" classname="x"/></testsuite>
      <testsuite><testcase name="b" classname="x"/></testsuite></testsuites>)",
                                 "x");
  ASSERT_EQ(cases.size(), 1u);
  EXPECT_TRUE(cases.contains("a"));
}

// The faults a test must not pass over: a report that is not XML, a case
// of another class.
TEST(JunitCases, AReportThatIsNotXmlOrACaseOfAnotherClassFailsTheTest) {
  EXPECT_NONFATAL_FAILURE((void)junit_cases("<testsuites><testsuite><testcase name=\"a\"></testsuites>"),
                          "XML_SUCCESS");
  EXPECT_NONFATAL_FAILURE(
      (void)junit_cases(R"(<testsuites><testsuite><testcase name="a" classname="other"/></testsuite></testsuites>)"),
      "case a");
  EXPECT_NONFATAL_FAILURE((void)junit_cases(R"(<testsuites><testsuite><testcase name="a"/></testsuite></testsuites>)"),
                          "case a");
  // An empty suite is well-formed: no cases, no failure.
  EXPECT_TRUE(junit_cases("<testsuites><testsuite/></testsuites>").empty());
}

}  // namespace
