// Test support: reading back a JUnit report that a tool wrote (kivu-results
// merge), so that a test can check each case's outcome, properties and
// failure as a CI server's reader would see them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kivu_testing {

// One <testcase> element of a report.
struct JunitCase {
  std::map<std::string, std::string> properties;  // its <property> name and value pairs
  std::optional<std::string> failure;             // its <failure>'s message attribute
  std::string failure_text;                       // the <failure>'s text
};

// The <testcase> elements of the first <testsuite> of `xml`, by name. Fails
// the running test (without ending it) when `xml` is not well-formed XML or
// a case's classname is not `classname`; what could be read is returned.
[[nodiscard]] std::map<std::string, JunitCase> junit_cases(std::string_view xml,
                                                           std::string_view classname = "hardware_e2e");

}  // namespace kivu_testing
