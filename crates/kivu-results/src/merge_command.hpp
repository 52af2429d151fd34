// `kivu-results merge --expected LIST [-o REPORT] RESULT...`: the suite's
// per-case GoogleTest XML results joined into one JUnit report
// (kivu_results/merge.hpp), and whether the whole suite passed.
//
// LIST is what `hardware_e2e --gtest_list_tests` prints: the cases that must
// have a result. Each RESULT is a GoogleTest XML file, or a folder whose
// *.xml files are read in name order. The report goes to standard output
// without -o or with "-o -". Lines on standard error name what was odd: a
// duplicate, a case not in the list, a file that could not be read or is not
// a GoogleTest result; the report this run writes (-o), found in a folder of
// results, is passed over with a line. A summary follows, with each failed,
// missing or skipped case and the properties it recorded; control
// characters are shown escaped.
//
// Exit status: 0 every expected case passed or was skipped; 1 a case failed
// or has no result, a file (the list or a result) could not be read or was
// refused, the list names no case, or the report could not be written;
// 2 bad arguments.
#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace kivu_results {

// Runs merge's command line `args` (the words after "merge").
[[nodiscard]] int merge_command(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace kivu_results
