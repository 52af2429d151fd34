// The merge behind `kivu-results merge`: the suite's GoogleTest XML results,
// written one case or one shard at a time (--gtest_output=xml:FILE) on any
// number of hosts, joined into one JUnit report.
//
// The report has one <testcase> per case, the expected ones in the list's
// order: with the properties the case recorded (the suite records "host" and
// "board"), a <failure message="..."> with the failure's text for a failed
// case, <skipped> for a skipped one, and for a case without a result a
// <failure message="no result: ..."> without properties. A case reported
// twice (a requeued job) counts once: failed when any report of it failed.
// What counts as a pass is test_cases.hpp's: only a clear one. Every
// <testcase> of a GoogleTest result carries a status, so a file with a
// <testcase> without one (a merged report such as this one) is refused.
//
// The report is well-formed XML 1.0 whatever the results held: a character
// XML cannot hold shows as \u{hex} (a reference to one, &#0; included, as
// well), a byte that is not UTF-8 as \xhh; the rest of the text is kept.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "kivu_results/test_cases.hpp"

namespace kivu_results {

// The full names ("suite.case") of a --gtest_list_tests listing, in order.
// Comments after a name ("  # GetParam() = ...") are dropped.
[[nodiscard]] std::vector<std::string> parse_case_list(std::string_view listing);

// The cases of one GoogleTest XML result (or ctest JUnit report) that ran or
// were skipped; an error, one line without the file's name, when the
// document cannot be read or is not such a result (a merged report
// included).
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

}  // namespace kivu_results
