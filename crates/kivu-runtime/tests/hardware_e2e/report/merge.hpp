// hardware_e2e_merge: joins the suite's GoogleTest XML results, written one
// case or one shard at a time (--gtest_output=xml:FILE) on any number of
// hosts, into one JUnit report, and says whether the whole suite passed.
//
//   hardware_e2e_merge --expected LIST [-o REPORT] RESULT...
//
// LIST is what `hardware_e2e --gtest_list_tests` prints: the cases that
// must have a result. Each RESULT is a GoogleTest XML file, or a folder whose
// *.xml files are read in name order. The report (standard output without
// -o or with "-o -") has one <testcase> per case, the expected ones in the
// list's order: with the properties the case recorded (the suite records
// "host" and "board"), a <failure message="..."> with the failure's text for
// a failed case, <skipped> for a skipped one, and for a case without a
// result a <failure message="no result: ..."> without properties. A case
// reported twice (a requeued job) counts once: failed when any report of it
// failed. Lines on standard error name what was odd: a duplicate, a case
// not in the list, a file that could not be read.
//
// Exit status: 0 every expected case passed or was skipped; 1 a case failed
// or has no result, a result file could not be read, or the report could not
// be written; 2 bad arguments or an unreadable list.
#pragma once

#include <expected>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivu_e2e::report {

inline constexpr int exit_passed = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;

struct Property {
  std::string name;
  std::string value;
  bool operator==(const Property&) const = default;
};

enum class Outcome { Passed, Failed, Skipped, Missing };

// One case's result.
struct CaseResult {
  std::string suite;  // "hardware_e2e"
  std::string name;   // the case, without the suite
  Outcome outcome = Outcome::Missing;
  std::string time;  // seconds, as the result gave it
  std::vector<Property> properties;
  std::string message;  // the first failure's message, or the skip's
  std::string text;     // every failure's text, one after another
  std::string source;   // the file it was read from

  [[nodiscard]] std::string full_name() const { return suite + "." + name; }
};

// The full names ("suite.case") of a --gtest_list_tests listing, in order.
// Comments after a name ("  # GetParam() = ...") are dropped.
[[nodiscard]] std::vector<std::string> parse_case_list(std::string_view listing);

// The cases of one GoogleTest XML document that ran (status "run"; a case
// filtered out or disabled has none), or why the document cannot be read.
[[nodiscard]] std::expected<std::vector<CaseResult>, std::string> read_results(std::string_view xml,
                                                                               std::string_view source);

// The merged results: the expected cases in list order (Missing where no
// result came), then the results of cases not in the list, in the order
// read; `notes` holds one line for each duplicate and each such case.
struct Merged {
  std::vector<CaseResult> cases;
  std::vector<std::string> notes;

  [[nodiscard]] std::size_t count(Outcome outcome) const;
};

[[nodiscard]] Merged merge(const std::vector<std::string>& expected, std::vector<CaseResult> results);

// The JUnit report of `merged`, a whole XML document.
[[nodiscard]] std::string junit_report(const Merged& merged);

// Runs the command line `args` (without the program name); the report goes
// to `out` when it is standard output, the summary and notes to `err`.
[[nodiscard]] int run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace kivu_e2e::report
