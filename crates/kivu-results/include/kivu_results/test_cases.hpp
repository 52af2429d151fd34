// The one reader of test-case results in XML: GoogleTest's
// --gtest_output=xml files (one case, one shard or a whole run), ctest's
// --output-junit reports and the merged report `kivu-results merge` writes.
// `merge` and `record` both read through it, so they agree on what a case's
// verdict is.
//
// Only a clear pass counts as one: a case with a <failure> (with or without
// text) or an <error>, a failing status (ctest's status="fail"), or a status
// or result the reader does not know has failed; a <skipped> or ctest's
// "disabled" is a skip. GoogleTest's disabled cases (status "notrun" without
// a <skipped>) did not run and are left out.
//
// A character reference to a character XML 1.0 forbids (&#0;, &#x1b;, ...)
// and a NUL byte read as that character's escape, \u{hex}: a parser would
// refuse such a reference or, as tinyxml2 does with &#0;, end the text there.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivu_results {

struct Property {
  std::string name;
  std::string value;
  bool operator==(const Property&) const = default;
};

enum class Outcome { Passed, Failed, Skipped, Missing };

// One case's result.
struct CaseResult {
  std::string suite;      // the <testsuite>'s name ("hardware_e2e")
  std::string classname;  // the <testcase>'s classname: JUnit writers other than GoogleTest name the suite there
  std::string name;       // the case, without the suite
  Outcome outcome = Outcome::Missing;
  std::string time;  // seconds, as the result gave it
  std::vector<Property> properties;
  std::string message;  // the first failure's message, or the skip's
  std::string text;     // every failure's text, one after another
  std::string source;   // the file it was read from

  [[nodiscard]] std::string full_name() const { return suite + "." + name; }
};

// Which documents a reader takes.
enum class Documents {
  // Results only: every <testcase> carries a status, as GoogleTest and ctest
  // write them. One without (a merged report) refuses the document.
  Results,
  // Results and merged reports: a <testcase> without a status is judged by
  // its children alone, and one whose only failure is the merged report's
  // "no result: ..." without text is Missing.
  ResultsAndReports,
};

// Why a document was not read.
struct TestCasesError {
  enum class Kind {
    Malformed,  // it does not parse: truncated or broken; `detail` is the parser's text
    NotResult,  // its root is not <testsuites> or <testsuite>; `detail` is the root's name
    NoStatus,   // Documents::Results: a <testcase> without a status; `detail` is its name
  };
  Kind kind = Kind::Malformed;
  std::string detail;
};

// The cases of one XML document, in document order; `source` is recorded in
// each.
[[nodiscard]] std::expected<std::vector<CaseResult>, TestCasesError> read_test_cases(std::string_view xml,
                                                                                     std::string_view source,
                                                                                     Documents documents);

// A case's time ("0.123", "12"): whole and fractional digits, read with the
// workspace's number parser; nothing for any other text.
[[nodiscard]] std::optional<double> seconds_of(std::string_view time);

}  // namespace kivu_results
