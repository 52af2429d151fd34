#include "kivu_testing/junit_report.hpp"

#include <gtest/gtest.h>
#include <tinyxml2.h>

namespace kivu_testing {
namespace {

// An attribute's value, "" when the element has none.
std::string attribute(const tinyxml2::XMLElement& element, const char* name) {
  const char* value = element.Attribute(name);
  return value ? value : "";
}

}  // namespace

std::map<std::string, JunitCase> junit_cases(std::string_view xml, std::string_view classname) {
  tinyxml2::XMLDocument document;
  EXPECT_EQ(document.Parse(xml.data(), xml.size()), tinyxml2::XML_SUCCESS) << xml;
  std::map<std::string, JunitCase> cases;
  const auto* suite = document.RootElement() ? document.RootElement()->FirstChildElement("testsuite") : nullptr;
  for (const auto* testcase = suite ? suite->FirstChildElement("testcase") : nullptr; testcase != nullptr;
       testcase = testcase->NextSiblingElement("testcase")) {
    JunitCase& entry = cases[attribute(*testcase, "name")];
    EXPECT_EQ(attribute(*testcase, "classname"), classname) << "case " << attribute(*testcase, "name");
    if (const auto* properties = testcase->FirstChildElement("properties")) {
      for (const auto* p = properties->FirstChildElement("property"); p; p = p->NextSiblingElement("property")) {
        entry.properties[attribute(*p, "name")] = attribute(*p, "value");
      }
    }
    if (const auto* failure = testcase->FirstChildElement("failure")) {
      entry.failure = attribute(*failure, "message");
      entry.failure_text = failure->GetText() ? failure->GetText() : "";
    }
  }
  return cases;
}

}  // namespace kivu_testing
