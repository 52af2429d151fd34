#include "kivu_results/test_cases.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include <tinyxml2.h>

#include "kivu_base/number.hpp"
#include "kivu_host/settings.hpp"
#include "xml_text.hpp"

namespace kivu_results {

namespace {

using detail::append_escaped_code_point;
using detail::xml_allows;

// The character that the reference at the start of `rest` ("&#65;",
// "&#x1b;") names, and the reference's length; nothing when `rest` does not
// start with a whole reference. A number too large for any character is
// 0x110000.
std::optional<std::pair<char32_t, std::size_t>> character_reference(std::string_view rest) {
  if (!rest.starts_with("&#")) return std::nullopt;
  const bool hex = rest.size() > 2 && rest[2] == 'x';
  const std::size_t first = hex ? 3 : 2;
  const auto is_digit = [&](char d) {
    return (d >= '0' && d <= '9') || (hex && ((d >= 'a' && d <= 'f') || (d >= 'A' && d <= 'F')));
  };
  std::size_t end = first;
  while (end < rest.size() && is_digit(rest[end])) ++end;
  if (end == first || end >= rest.size() || rest[end] != ';') return std::nullopt;
  const auto value = kivu_base::parse_digits(rest.substr(first, end - first), hex ? 16 : 10, 0x10ffff);
  return std::pair{static_cast<char32_t>(value.value_or(0x110000)), end + 1};
}

// `xml` with each character reference to a character XML 1.0 forbids
// (&#0;, &#x1b;, ...) and each NUL byte written as \u{hex} text. Comments
// and CDATA sections hold no references.
std::string without_forbidden_references(std::string_view xml) {
  std::string out;
  out.reserve(xml.size());
  const auto copy_until = [&](std::size_t& i, std::string_view end) {
    const auto stop = xml.find(end, i);
    const std::size_t last = stop == std::string_view::npos ? xml.size() : stop + end.size();
    for (; i < last; ++i) {
      if (xml[i] == '\0') {
        out += "\\u{0}";
      } else {
        out += xml[i];
      }
    }
  };
  std::size_t i = 0;
  while (i < xml.size()) {
    const std::string_view rest = xml.substr(i);
    if (rest.starts_with("<![CDATA[")) {
      copy_until(i, "]]>");
    } else if (rest.starts_with("<!--")) {
      copy_until(i, "-->");
    } else if (rest.front() == '\0') {
      out += "\\u{0}";
      ++i;
    } else if (const auto reference = character_reference(rest); reference && !xml_allows(reference->first)) {
      if (reference->first > 0x10ffff) {
        out += "\xef\xbf\xbd";  // no character at all: U+FFFD, the replacement character
      } else {
        append_escaped_code_point(out, reference->first);
      }
      i += reference->second;
    } else {
      out += rest.front();
      ++i;
    }
  }
  return out;
}

std::string attribute(const tinyxml2::XMLElement* element, const char* name) {
  const char* value = element->Attribute(name);
  return value != nullptr ? value : "";
}

// Attributes GoogleTest itself puts on a <testcase>; older versions wrote a
// case's recorded properties as further attributes.
bool is_testcase_attribute(std::string_view name) {
  static constexpr std::array<std::string_view, 10> known = {
      "name", "value_param", "type_param", "file", "line", "status", "result", "time", "timestamp", "classname"};
  return std::ranges::find(known, name) != known.end();
}

void set_property(std::vector<Property>& properties, std::string name, std::string value) {
  const auto same = std::ranges::find(properties, name, &Property::name);
  if (same != properties.end()) {
    same->value = std::move(value);
  } else {
    properties.push_back({std::move(name), std::move(value)});
  }
}

void read_properties(const tinyxml2::XMLElement* testcase, CaseResult& result) {
  for (const auto* a = testcase->FirstAttribute(); a != nullptr; a = a->Next()) {
    if (!is_testcase_attribute(a->Name())) set_property(result.properties, a->Name(), a->Value());
  }
  for (const auto* properties = testcase->FirstChildElement("properties"); properties != nullptr;
       properties = properties->NextSiblingElement("properties")) {
    for (const auto* p = properties->FirstChildElement("property"); p != nullptr;
         p = p->NextSiblingElement("property")) {
      set_property(result.properties, attribute(p, "name"), attribute(p, "value"));
    }
  }
}

// What a case's <failure> and <error> elements say.
struct Failures {
  std::size_t count = 0;
  std::string first_kind;       // "failure" or "error"
  bool only_no_result = false;  // one <failure message="no result: ..."> without text: a merged report's missing case
};

// Reads every <failure> and <error>, with or without a message or text:
// the first message given, and every text one after another.
Failures read_failures(const tinyxml2::XMLElement* testcase, CaseResult& result) {
  Failures failures;
  for (const auto* child = testcase->FirstChildElement(); child != nullptr; child = child->NextSiblingElement()) {
    const std::string_view kind = child->Name();
    if (kind != "failure" && kind != "error") continue;
    if (failures.count++ == 0) failures.first_kind = kind;
    if (result.message.empty()) result.message = attribute(child, "message");
    std::string text;  // every text and CDATA section of it, in order
    for (const auto* node = child->FirstChild(); node != nullptr; node = node->NextSibling()) {
      if (const auto* part = node->ToText()) text += part->Value();
    }
    if (!text.empty()) {
      if (!result.text.empty() && !result.text.ends_with('\n')) result.text += '\n';
      result.text += text;
    }
  }
  failures.only_no_result = failures.count == 1 && failures.first_kind == "failure" &&
                            result.message.starts_with("no result:") && result.text.empty();
  return failures;
}

// The outcome of a <testcase> of a GoogleTest result (status "run" or
// "notrun"; result "completed", "skipped" or "suppressed"), of ctest's JUnit
// report (status "run", "fail", "notrun" or "disabled") or, without a
// status, of a merged report. Only a case that ran, completed and holds no
// <failure> or <error> passes.
void judge(const tinyxml2::XMLElement* testcase, const Failures& failures, Documents documents, CaseResult& result) {
  const char* status_attribute = testcase->Attribute("status");
  const std::string status = status_attribute != nullptr ? status_attribute : "run";
  const std::string outcome = attribute(testcase, "result");
  const auto* skipped = testcase->FirstChildElement("skipped");
  std::string why_failed;
  bool skip = false;
  if (status == "fail") {
    why_failed = "failed (status \"fail\")";
  } else if (status == "disabled" || (status == "notrun" && skipped != nullptr)) {
    skip = true;
  } else if (status != "run") {
    why_failed = "unknown status \"" + status + "\"";
  } else if (outcome == "skipped" || skipped != nullptr) {
    skip = true;
  } else if (!outcome.empty() && outcome != "completed") {
    why_failed = "unknown result \"" + outcome + "\"";
  }

  if (documents == Documents::ResultsAndReports && failures.only_no_result) {
    result.outcome = Outcome::Missing;
  } else if (failures.count > 0 || !why_failed.empty()) {
    result.outcome = Outcome::Failed;
    if (result.message.empty()) result.message = why_failed;
    if (result.message.empty()) result.message = failures.first_kind == "error" ? "error" : "failed";
  } else if (skip) {
    result.outcome = Outcome::Skipped;
    if (skipped != nullptr) result.message = attribute(skipped, "message");
    if (result.message.empty()) result.message = status == "disabled" ? "disabled" : "skipped";
  } else {
    result.outcome = Outcome::Passed;
  }
}

CaseResult read_case(const tinyxml2::XMLElement* testcase, std::string_view suite, std::string_view source,
                     Documents documents) {
  CaseResult result;
  result.suite = suite;
  result.classname = attribute(testcase, "classname");
  result.name = attribute(testcase, "name");
  result.time = attribute(testcase, "time");
  result.source = source;
  read_properties(testcase, result);
  const Failures failures = read_failures(testcase, result);
  judge(testcase, failures, documents, result);
  return result;
}

}  // namespace

std::expected<std::vector<CaseResult>, TestCasesError> read_test_cases(std::string_view xml, std::string_view source,
                                                                       Documents documents) {
  const std::string readable = without_forbidden_references(xml);
  tinyxml2::XMLDocument document;
  if (document.Parse(readable.data(), readable.size()) != tinyxml2::XML_SUCCESS) {
    return std::unexpected(TestCasesError{TestCasesError::Kind::Malformed, document.ErrorStr()});
  }
  const auto* root = document.RootElement();
  const std::string_view root_name = root != nullptr ? root->Name() : "";
  if (root_name != "testsuites" && root_name != "testsuite") {
    return std::unexpected(TestCasesError{TestCasesError::Kind::NotResult, std::string(root_name)});
  }
  std::vector<CaseResult> results;
  std::optional<TestCasesError> refused;
  const auto read_suite = [&](const tinyxml2::XMLElement* suite) {
    const std::string suite_name = attribute(suite, "name");
    for (const auto* testcase = suite->FirstChildElement("testcase"); testcase != nullptr && !refused;
         testcase = testcase->NextSiblingElement("testcase")) {
      const char* status = testcase->Attribute("status");
      if (status == nullptr && documents == Documents::Results) {
        refused = TestCasesError{TestCasesError::Kind::NoStatus, attribute(testcase, "name")};
        return;
      }
      // GoogleTest's disabled case: it did not run and is no result.
      if (status != nullptr && std::string_view(status) == "notrun" &&
          testcase->FirstChildElement("skipped") == nullptr)
        continue;
      results.push_back(read_case(testcase, suite_name, source, documents));
    }
  };
  if (root_name == "testsuite") {
    read_suite(root);
  } else {
    for (const auto* suite = root->FirstChildElement("testsuite"); suite != nullptr && !refused;
         suite = suite->NextSiblingElement("testsuite")) {
      read_suite(suite);
    }
  }
  if (refused) return std::unexpected(*refused);
  return results;
}

std::optional<double> seconds_of(std::string_view time) {
  const auto point = time.find('.');
  const std::string_view whole = time.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view() : time.substr(point + 1);
  // At most 18 fractional digits, so that the fraction fits the parser's
  // 64 bits; no result file gives more than a few.
  const auto whole_value = kivu_base::parse_digits(whole, 10);
  if (!whole_value || (point != std::string_view::npos && (fraction.empty() || fraction.size() > 18)))
    return std::nullopt;
  double seconds = static_cast<double>(*whole_value);
  if (!fraction.empty()) {
    const auto fraction_value = kivu_base::parse_digits(fraction, 10);
    if (!fraction_value) return std::nullopt;
    double scale = 1;
    for (std::size_t i = 0; i < fraction.size(); ++i) scale *= 10;
    seconds += static_cast<double>(*fraction_value) / scale;
  }
  return seconds;
}

}  // namespace kivu_results
