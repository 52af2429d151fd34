#include "merge.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>

#include <tinyxml2.h>

#include "kivu_output_file/output_file.hpp"

namespace kivu_e2e::report {

namespace {

namespace fs = std::filesystem;

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

CaseResult read_case(const tinyxml2::XMLElement* testcase, std::string_view suite, std::string_view source) {
  CaseResult result;
  result.suite = suite;
  result.name = attribute(testcase, "name");
  result.time = attribute(testcase, "time");
  result.source = source;
  result.outcome = attribute(testcase, "result") == "skipped" ? Outcome::Skipped : Outcome::Passed;
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
  for (const auto* failure = testcase->FirstChildElement("failure"); failure != nullptr;
       failure = failure->NextSiblingElement("failure")) {
    if (result.outcome != Outcome::Failed) result.message = attribute(failure, "message");
    result.outcome = Outcome::Failed;
    if (const char* text = failure->GetText()) {
      if (!result.text.empty() && !result.text.ends_with('\n')) result.text += '\n';
      result.text += text;
    }
  }
  if (result.outcome == Outcome::Skipped) {
    if (const auto* skipped = testcase->FirstChildElement("skipped")) result.message = attribute(skipped, "message");
  }
  return result;
}

int rank(Outcome outcome) {
  switch (outcome) {
    case Outcome::Missing: return 0;
    case Outcome::Skipped: return 1;
    case Outcome::Passed: return 2;
    case Outcome::Failed: return 3;
  }
  return 0;
}

// The result files named on the command line: files as given, folders'
// *.xml files in name order.
std::expected<std::vector<fs::path>, std::string> result_files(std::span<const std::string> inputs) {
  std::vector<fs::path> files;
  for (const auto& input : inputs) {
    std::error_code error;
    if (!fs::is_directory(input, error)) {
      files.emplace_back(input);
      continue;
    }
    std::vector<fs::path> found;
    for (fs::directory_iterator it(input, error), end; !error && it != end; it.increment(error)) {
      if (it->path().extension() == ".xml") found.push_back(it->path());
    }
    if (error) return std::unexpected("cannot read the folder " + input + ": " + error.message());
    std::ranges::sort(found);
    files.insert(files.end(), found.begin(), found.end());
  }
  return files;
}

std::string_view usage() {
  return "usage: hardware_e2e_merge --expected LIST [-o REPORT] RESULT...\n"
         "  LIST    what `hardware_e2e --gtest_list_tests` prints: the cases that must\n"
         "          have a result\n"
         "  RESULT  a GoogleTest XML file (--gtest_output=xml:FILE), or a folder of them\n"
         "  -o      where the JUnit report goes (\"-\" or no -o: standard output)\n"
         "Exit status: 0 every case passed, 1 a case failed or has no result (or a file\n"
         "could not be read or written), 2 bad arguments.\n";
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
  tinyxml2::XMLDocument document;
  if (document.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) {
    return std::unexpected(std::string(document.ErrorStr()));
  }
  const auto* root = document.RootElement();
  if (root == nullptr ||
      (std::string_view(root->Name()) != "testsuites" && std::string_view(root->Name()) != "testsuite")) {
    return std::unexpected(std::string("not a GoogleTest XML result (no <testsuites>)"));
  }
  std::vector<CaseResult> results;
  const auto read_suite = [&](const tinyxml2::XMLElement* suite) {
    const std::string suite_name = attribute(suite, "name");
    for (const auto* testcase = suite->FirstChildElement("testcase"); testcase != nullptr;
         testcase = testcase->NextSiblingElement("testcase")) {
      // Only cases that ran: "notrun" is a disabled case.
      if (const char* status = testcase->Attribute("status"); status != nullptr && std::string_view(status) != "run")
        continue;
      results.push_back(read_case(testcase, suite_name, source));
    }
  };
  if (std::string_view(root->Name()) == "testsuite") {
    read_suite(root);
  } else {
    for (const auto* suite = root->FirstChildElement("testsuite"); suite != nullptr;
         suite = suite->NextSiblingElement("testsuite")) {
      read_suite(suite);
    }
  }
  return results;
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
  for (const auto& result : merged.cases) total += std::strtod(result.time.c_str(), nullptr);
  std::ostringstream time;
  time << total;

  tinyxml2::XMLDocument document;
  document.InsertEndChild(document.NewDeclaration());
  auto* suites = document.NewElement("testsuites");
  document.InsertEndChild(suites);
  const std::string suite_name = merged.cases.empty() ? std::string("hardware_e2e") : merged.cases.front().suite;
  for (auto* element : {suites, suites->InsertNewChildElement("testsuite")}) {
    element->SetAttribute("name", suite_name.c_str());
    element->SetAttribute("tests", static_cast<std::uint64_t>(merged.cases.size()));
    element->SetAttribute("failures", static_cast<std::uint64_t>(failures));
    element->SetAttribute("errors", 0);
    element->SetAttribute("skipped", static_cast<std::uint64_t>(merged.count(Outcome::Skipped)));
    element->SetAttribute("time", time.str().c_str());
  }
  auto* suite = suites->FirstChildElement("testsuite");
  for (const auto& result : merged.cases) {
    auto* testcase = suite->InsertNewChildElement("testcase");
    testcase->SetAttribute("name", result.name.c_str());
    testcase->SetAttribute("classname", result.suite.c_str());
    testcase->SetAttribute("time", result.time.empty() ? "0" : result.time.c_str());
    if (!result.properties.empty()) {
      auto* properties = testcase->InsertNewChildElement("properties");
      for (const auto& property : result.properties) {
        auto* element = properties->InsertNewChildElement("property");
        element->SetAttribute("name", property.name.c_str());
        element->SetAttribute("value", property.value.c_str());
      }
    }
    switch (result.outcome) {
      case Outcome::Passed: break;
      case Outcome::Failed: {
        auto* failure = testcase->InsertNewChildElement("failure");
        failure->SetAttribute("message", result.message.c_str());
        if (!result.text.empty()) failure->SetText(result.text.c_str());
        break;
      }
      case Outcome::Skipped:
        testcase->InsertNewChildElement("skipped")->SetAttribute("message", result.message.c_str());
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

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  std::optional<std::string> expected_file;
  std::string output = "-";
  std::vector<std::string> inputs;
  const auto bad = [&](const std::string& reason) {
    err << "hardware_e2e_merge: " << reason << "\n\n" << usage();
    return exit_usage;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      out << usage();
      return exit_passed;
    }
    if (arg == "--expected" || arg == "-o" || arg == "--output") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return bad(arg + " needs a value");
      if (arg == "--expected") {
        expected_file = args[++i];
      } else {
        output = args[++i];
      }
      continue;
    }
    if (arg.starts_with("-") && arg != "-") return bad("unknown option '" + arg + "'");
    inputs.push_back(arg);
  }
  if (!expected_file) return bad("--expected is needed: the cases that must have a result");
  if (inputs.empty()) return bad("no result files");

  std::ifstream listing_stream(*expected_file, std::ios::binary);
  std::stringstream listing;
  listing << listing_stream.rdbuf();
  if (!listing_stream) {
    err << "hardware_e2e_merge: cannot read the list of cases " << *expected_file << '\n';
    return exit_usage;
  }
  const auto expected = parse_case_list(listing.str());
  if (expected.empty()) {
    err << "hardware_e2e_merge: " << *expected_file << " names no case\n";
    return exit_usage;
  }

  bool unreadable = false;
  std::vector<CaseResult> results;
  const auto files = result_files(inputs);
  if (!files) {
    err << "hardware_e2e_merge: " << files.error() << '\n';
    unreadable = true;
  }
  for (const auto& file : files.value_or(std::vector<fs::path>{})) {
    std::ifstream stream(file, std::ios::binary);
    std::stringstream bytes;
    bytes << stream.rdbuf();
    auto read = stream ? read_results(bytes.str(), file.string()) : std::unexpected(std::string("cannot be read"));
    if (!read) {
      err << "hardware_e2e_merge: " << file.string() << ": " << read.error() << '\n';
      unreadable = true;
      continue;
    }
    std::ranges::move(*read, std::back_inserter(results));
  }

  const Merged merged = merge(expected, std::move(results));
  for (const auto& note : merged.notes) err << "hardware_e2e_merge: " << note << '\n';
  const std::string report = junit_report(merged);
  const auto written = kivu_output_file::write_command_text(output, report, out);
  if (!written) {
    err << "hardware_e2e_merge: cannot write " << output << ": "
        << kivu_output_file::output_failure_reason(written.error()) << '\n';
    return exit_failed;
  }
  const std::size_t failed = merged.count(Outcome::Failed);
  const std::size_t missing = merged.count(Outcome::Missing);
  err << "hardware_e2e_merge: " << merged.cases.size() << " cases, " << merged.count(Outcome::Passed) << " passed, "
      << failed << " failed, " << merged.count(Outcome::Skipped) << " skipped, " << missing << " without a result\n";
  for (const auto& result : merged.cases) {
    if (result.outcome == Outcome::Failed || result.outcome == Outcome::Missing) {
      std::string where;
      for (const auto& property : result.properties) where += " " + property.name + "=" + property.value;
      err << "  " << (result.outcome == Outcome::Failed ? "FAILED " : "NO RESULT ") << result.full_name() << where
          << '\n';
    }
  }
  return failed + missing == 0 && !unreadable ? exit_passed : exit_failed;
}

}  // namespace kivu_e2e::report
