#include "merge.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <utility>

#include <tinyxml2.h>

#include "kivu_output_file/output_file.hpp"

namespace kivu_e2e::report {

namespace {

namespace fs = std::filesystem;

// The code point that the UTF-8 sequence at the start of `text` encodes,
// and its length; nothing when the bytes are not well-formed UTF-8
// (overlong forms, surrogates and values above U+10FFFF are not).
std::optional<std::pair<char32_t, std::size_t>> next_code_point(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return std::pair{char32_t{lead}, std::size_t{1}};
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if ((lead & 0xe0) == 0xc0) {
    length = 2, value = lead & 0x1f, least = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, value = lead & 0x0f, least = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(i) & 0x3f);
  }
  if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return std::nullopt;
  return std::pair{value, length};
}

// XML 1.0's Char production.
bool xml_allows(char32_t c) {
  return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) || (c >= 0xe000 && c <= 0xfffd) ||
         (c >= 0x10000 && c <= 0x10ffff);
}

void append_hex(std::string& out, std::uint32_t value, int min_digits) {
  static constexpr char hex[] = "0123456789abcdef";
  int digits = 1;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  for (int d = std::max(digits, min_digits) - 1; d >= 0; --d) out += hex[(value >> (4 * d)) & 0xf];
}

void append_escaped_code_point(std::string& out, char32_t c) {
  out += "\\u{";
  append_hex(out, c, 1);
  out += '}';
}

enum class Target { xml, terminal };

std::string escaped(std::string_view text, Target target) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto next = next_code_point(text);
    if (!next) {
      out += "\\x";
      append_hex(out, static_cast<unsigned char>(text.front()), 2);
      text.remove_prefix(1);
      continue;
    }
    const auto [c, length] = *next;
    if (target == Target::terminal && c == '\n') {
      out += "\\n";
    } else if (target == Target::terminal && c == '\r') {
      out += "\\r";
    } else if (!xml_allows(c) || (target == Target::terminal && (c == 0x7f || (c >= 0x80 && c <= 0x9f)))) {
      append_escaped_code_point(out, c);
    } else {
      out += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  return out;
}

// `xml` with each character reference to a character XML 1.0 forbids
// (&#0;, &#x1b;, ...) and each NUL byte written as \u{hex} text. A parser
// would refuse such a reference or, as tinyxml2 does with &#0;, end the text
// there. Comments and CDATA sections hold no references.
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
      continue;
    }
    if (rest.starts_with("<!--")) {
      copy_until(i, "-->");
      continue;
    }
    if (rest.front() == '\0') {
      out += "\\u{0}";
      ++i;
      continue;
    }
    if (rest.starts_with("&#")) {
      const bool hex = rest.size() > 2 && rest[2] == 'x';
      std::size_t at = hex ? 3 : 2;
      std::uint64_t value = 0;
      std::size_t digits = 0;
      for (; at < rest.size(); ++at, ++digits) {
        const char d = rest[at];
        int v = -1;
        if (d >= '0' && d <= '9') v = d - '0';
        if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
        if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
        if (v < 0) break;
        value = std::min<std::uint64_t>(value * (hex ? 16 : 10) + static_cast<std::uint64_t>(v), 0x110000);
      }
      if (digits > 0 && at < rest.size() && rest[at] == ';' && !xml_allows(static_cast<char32_t>(value))) {
        if (value > 0x10ffff) {
          out += "\xef\xbf\xbd";  // no character at all: U+FFFD, the replacement character
        } else {
          append_escaped_code_point(out, static_cast<char32_t>(value));
        }
        i += at + 1;
        continue;
      }
    }
    out += rest.front();
    ++i;
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

// A <testcase> of a GoogleTest result (status "run" or "notrun"; result
// "completed", "skipped" or "suppressed") or of ctest's JUnit report (status
// "run", "fail", "notrun" or "disabled"). Only a case that ran, completed
// and holds no <failure> or <error> passes; an unknown status or result
// fails, so that nothing unclear counts as a pass.
CaseResult read_case(const tinyxml2::XMLElement* testcase, std::string_view suite, std::string_view source) {
  CaseResult result;
  result.suite = suite;
  result.name = attribute(testcase, "name");
  result.time = attribute(testcase, "time");
  result.source = source;
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

  // Every <failure> and <error>, with or without a message or text: the
  // first message given, and every text one after another.
  bool failed = false;
  std::string first_kind;
  for (const auto* child = testcase->FirstChildElement(); child != nullptr; child = child->NextSiblingElement()) {
    const std::string_view kind = child->Name();
    if (kind != "failure" && kind != "error") continue;
    if (!failed) first_kind = kind;
    failed = true;
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

  const std::string status = attribute(testcase, "status");
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

  if (failed || !why_failed.empty()) {
    result.outcome = Outcome::Failed;
    if (result.message.empty()) result.message = why_failed;
    if (result.message.empty()) result.message = first_kind == "error" ? "error" : "failed";
  } else if (skip) {
    result.outcome = Outcome::Skipped;
    if (skipped != nullptr) result.message = attribute(skipped, "message");
    if (result.message.empty()) result.message = status == "disabled" ? "disabled" : "skipped";
  } else {
    result.outcome = Outcome::Passed;
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

std::string xml_text(std::string_view text) { return escaped(text, Target::xml); }

std::string terminal_text(std::string_view text) { return escaped(text, Target::terminal); }

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
  const std::string readable = without_forbidden_references(xml);
  tinyxml2::XMLDocument document;
  if (document.Parse(readable.data(), readable.size()) != tinyxml2::XML_SUCCESS) {
    return std::unexpected(std::string(document.ErrorStr()));
  }
  const auto* root = document.RootElement();
  if (root == nullptr ||
      (std::string_view(root->Name()) != "testsuites" && std::string_view(root->Name()) != "testsuite")) {
    return std::unexpected(std::string("not a GoogleTest XML result (no <testsuites>)"));
  }
  std::vector<CaseResult> results;
  std::string refused;
  const auto read_suite = [&](const tinyxml2::XMLElement* suite) {
    const std::string suite_name = attribute(suite, "name");
    for (const auto* testcase = suite->FirstChildElement("testcase"); testcase != nullptr;
         testcase = testcase->NextSiblingElement("testcase")) {
      const char* status = testcase->Attribute("status");
      if (status == nullptr) {
        refused = "not a GoogleTest result: <testcase name=\"" + attribute(testcase, "name") +
                  "\"> has no status (a merged report is not a result)";
        return;
      }
      // GoogleTest's disabled case: it did not run and is no result.
      if (std::string_view(status) == "notrun" && testcase->FirstChildElement("skipped") == nullptr) continue;
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
  if (!refused.empty()) return std::unexpected(refused);
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

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  std::optional<std::string> expected_file;
  std::string output = "-";
  std::vector<std::string> inputs;
  const auto bad = [&](const std::string& reason) {
    err << "hardware_e2e_merge: " << terminal_text(reason) << "\n\n" << usage();
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

  // Every line on standard error is one line, its control characters shown
  // escaped.
  const auto say = [&](std::string_view line) { err << "hardware_e2e_merge: " << terminal_text(line) << '\n'; };

  std::ifstream listing_stream(*expected_file, std::ios::binary);
  std::stringstream listing;
  listing << listing_stream.rdbuf();
  if (!listing_stream) {
    say("cannot read the list of cases " + *expected_file);
    return exit_usage;
  }
  const auto expected = parse_case_list(listing.str());
  if (expected.empty()) {
    say(*expected_file + " names no case");
    return exit_usage;
  }

  bool unreadable = false;
  std::vector<CaseResult> results;
  const auto files = result_files(inputs);
  if (!files) {
    say(files.error());
    unreadable = true;
  }
  for (const auto& file : files.value_or(std::vector<fs::path>{})) {
    // A folder of results may hold the report of an earlier merge into it.
    std::error_code same_error;
    if (output != "-" && fs::equivalent(file, output, same_error)) {
      say(file.string() + ": passed over: it is the report this merge writes (-o)");
      continue;
    }
    std::ifstream stream(file, std::ios::binary);
    std::stringstream bytes;
    bytes << stream.rdbuf();
    auto read = stream ? read_results(bytes.str(), file.string()) : std::unexpected(std::string("cannot be read"));
    if (!read) {
      say(file.string() + ": " + read.error());
      unreadable = true;
      continue;
    }
    std::ranges::move(*read, std::back_inserter(results));
  }

  const Merged merged = merge(expected, std::move(results));
  for (const auto& note : merged.notes) say(note);
  const std::string report = junit_report(merged);
  const auto written = kivu_output_file::write_command_text(output, report, out);
  if (!written) {
    say("cannot write " + output + ": " + kivu_output_file::output_failure_reason(written.error()));
    return exit_failed;
  }
  const std::size_t failed = merged.count(Outcome::Failed);
  const std::size_t missing = merged.count(Outcome::Missing);
  say(std::to_string(merged.cases.size()) + " cases, " + std::to_string(merged.count(Outcome::Passed)) + " passed, " +
      std::to_string(failed) + " failed, " + std::to_string(merged.count(Outcome::Skipped)) + " skipped, " +
      std::to_string(missing) + " without a result");
  for (const auto& result : merged.cases) {
    std::string line;
    switch (result.outcome) {
      case Outcome::Passed: continue;
      case Outcome::Failed: line = "FAILED "; break;
      case Outcome::Missing: line = "NO RESULT "; break;
      case Outcome::Skipped: line = "SKIPPED "; break;
    }
    line += result.full_name();
    for (const auto& property : result.properties) line += " " + property.name + "=" + property.value;
    if (result.outcome == Outcome::Skipped) line += ": " + result.message;
    err << "  " << terminal_text(line) << '\n';
  }
  if (unreadable) say("a result file could not be read or is not a result (above): the merge fails");
  return failed + missing == 0 && !unreadable ? exit_passed : exit_failed;
}

}  // namespace kivu_e2e::report
