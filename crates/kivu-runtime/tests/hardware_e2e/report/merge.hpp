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
// not in the list, a file that could not be read or is not a GoogleTest
// result.
//
// Only a clear pass counts as one: a case with a <failure> (with or without
// text) or an <error>, a failing status (ctest's status="fail"), or a status
// or result the merge does not know has failed; a <skipped> or ctest's
// "disabled" is a skip, listed with its reason. Every <testcase> of a
// GoogleTest result carries a status, so a file with a <testcase> without
// one (a merged report such as this tool's own) is refused; the report this
// run writes (-o), found in a folder of results, is passed over with a line.
//
// The report is well-formed XML 1.0 whatever the results held: a character
// XML cannot hold shows as \u{hex} (a reference to one, &#0; included, as
// well), a byte that is not UTF-8 as \xhh; the rest of the text is kept.
// The summary on standard error shows control characters the same way.
//
// Exit status: 0 every expected case passed or was skipped; 1 a case failed
// or has no result, a result file could not be read or was refused, or the
// report could not be written; 2 bad arguments or an unreadable list.
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

// The cases of one GoogleTest XML document (or ctest JUnit report) that ran
// or were skipped; GoogleTest's disabled cases (status "notrun" without a
// <skipped>) are left out, as are filtered ones, which it does not write.
// An error when the document cannot be read or is not such a result.
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

// `text` as XML 1.0 can hold it: characters it forbids become \u{hex},
// bytes that are not UTF-8 \xhh (two hex digits); the rest stays as it is.
[[nodiscard]] std::string xml_text(std::string_view text);

// `text` as one line on a terminal: as xml_text, and also newline, carriage
// return, DEL and the C1 controls (U+0080 to U+009F) escaped (\n, \r,
// \u{hex}).
[[nodiscard]] std::string terminal_text(std::string_view text);

// Runs the command line `args` (without the program name); the report goes
// to `out` when it is standard output, the summary and notes to `err`.
[[nodiscard]] int run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace kivu_e2e::report
