#include "kivu_results/merge.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <utility>

#include <tinyxml2.h>

namespace kivu_results {

namespace {

int rank(Outcome outcome) {
  switch (outcome) {
    case Outcome::Missing: return 0;
    case Outcome::Skipped: return 1;
    case Outcome::Passed: return 2;
    case Outcome::Failed: return 3;
  }
  return 0;
}

}  // namespace

std::vector<std::string> parse_case_list(std::string_view listing) {
  std::vector<std::string> names;
  std::string suite;
  while (!listing.empty()) {
    const auto end = listing.find('\n');
    std::string_view line = listing.substr(0, end);
    listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
    if (const auto comment = line.find('#'); comment != std::string_view::npos) line = line.substr(0, comment);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.front() != ' ') {
      suite = line;  // "hardware_e2e."
      continue;
    }
    const auto first = line.find_first_not_of(' ');
    names.push_back(suite + std::string(line.substr(first)));
  }
  return names;
}

std::expected<std::vector<CaseResult>, std::string> read_results(std::string_view xml, std::string_view source) {
  auto read = read_test_cases(xml, source, Documents::Results);
  if (read) return std::move(*read);
  switch (read.error().kind) {
    case TestCasesError::Kind::Malformed: return std::unexpected(read.error().detail);
    case TestCasesError::Kind::NotResult:
      return std::unexpected(std::string("not a GoogleTest XML result (no <testsuites>)"));
    case TestCasesError::Kind::NoStatus: break;
  }
  return std::unexpected("not a GoogleTest result: <testcase name=\"" + read.error().detail +
                         "\"> has no status (a merged report is not a result)");
}

std::size_t Merged::count(Outcome outcome) const {
  return static_cast<std::size_t>(std::ranges::count(cases, outcome, &CaseResult::outcome));
}

Merged merge(const std::vector<std::string>& expected, std::vector<CaseResult> results) {
  Merged merged;
  std::map<std::string, std::size_t> index;
  for (const auto& name : expected) {
    if (index.contains(name)) continue;
    index.emplace(name, merged.cases.size());
    CaseResult missing;
    const auto dot = name.find('.');
    missing.suite = name.substr(0, dot == std::string::npos ? 0 : dot);
    missing.name = dot == std::string::npos ? name : name.substr(dot + 1);
    merged.cases.push_back(std::move(missing));
  }
  std::map<std::string, int> reports;
  for (auto& result : results) {
    const std::string name = result.full_name();
    const int seen = ++reports[name];
    auto found = index.find(name);
    if (found == index.end()) {
      merged.notes.push_back("not in the list of cases: " + name + " (" + result.source + ")");
      found = index.emplace(name, merged.cases.size()).first;
      merged.cases.push_back(std::move(result));
      continue;
    }
    CaseResult& kept = merged.cases[found->second];
    if (seen > 1) {
      merged.notes.push_back("reported more than once: " + name + " (" + kept.source + ", " + result.source +
                             "); a failure counts");
    }
    // A failure outweighs a pass, a pass a skip; the first of equals stays.
    if (rank(result.outcome) > rank(kept.outcome)) kept = std::move(result);
  }
  return merged;
}

std::string junit_report(const Merged& merged) {
  const std::size_t failures = merged.count(Outcome::Failed) + merged.count(Outcome::Missing);
  double total = 0;
  for (const auto& result : merged.cases) total += seconds_of(result.time).value_or(0);
  std::ostringstream time;
  time << total;

  tinyxml2::XMLDocument document;
  document.InsertEndChild(document.NewDeclaration());
  auto* suites = document.NewElement("testsuites");
  document.InsertEndChild(suites);
  const std::string suite_name = merged.cases.empty() ? std::string("hardware_e2e") : merged.cases.front().suite;
  for (auto* element : {suites, suites->InsertNewChildElement("testsuite")}) {
    element->SetAttribute("name", xml_text(suite_name).c_str());
    element->SetAttribute("tests", static_cast<std::uint64_t>(merged.cases.size()));
    element->SetAttribute("failures", static_cast<std::uint64_t>(failures));
    element->SetAttribute("errors", 0);
    element->SetAttribute("skipped", static_cast<std::uint64_t>(merged.count(Outcome::Skipped)));
    element->SetAttribute("time", time.str().c_str());
  }
  auto* suite = suites->FirstChildElement("testsuite");
  for (const auto& result : merged.cases) {
    auto* testcase = suite->InsertNewChildElement("testcase");
    testcase->SetAttribute("name", xml_text(result.name).c_str());
    testcase->SetAttribute("classname", xml_text(result.suite).c_str());
    testcase->SetAttribute("time", result.time.empty() ? "0" : xml_text(result.time).c_str());
    if (!result.properties.empty()) {
      auto* properties = testcase->InsertNewChildElement("properties");
      for (const auto& property : result.properties) {
        auto* element = properties->InsertNewChildElement("property");
        element->SetAttribute("name", xml_text(property.name).c_str());
        element->SetAttribute("value", xml_text(property.value).c_str());
      }
    }
    switch (result.outcome) {
      case Outcome::Passed: break;
      case Outcome::Failed: {
        auto* failure = testcase->InsertNewChildElement("failure");
        failure->SetAttribute("message", xml_text(result.message).c_str());
        if (!result.text.empty()) failure->SetText(xml_text(result.text).c_str());
        break;
      }
      case Outcome::Skipped:
        testcase->InsertNewChildElement("skipped")->SetAttribute("message", xml_text(result.message).c_str());
        break;
      case Outcome::Missing:
        testcase->InsertNewChildElement("failure")->SetAttribute(
            "message", "no result: the case did not report (not run, or ended before writing its result)");
        break;
    }
  }
  tinyxml2::XMLPrinter printer;
  document.Print(&printer);
  return std::string(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
}

}  // namespace kivu_results
