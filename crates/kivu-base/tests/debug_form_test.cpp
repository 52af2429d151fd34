// The debug form of texts and the two forms of operating-system errors, as
// error messages across the workspace show them.
#include "kivu_base/debug_form.hpp"

#include <cerrno>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "kivu_base/os_error.hpp"

namespace {

using kivu_base::debug_quoted;

TEST(DebugForm, EscapesQuotesBackslashesAndTheNamedControls) {
  EXPECT_EQ(debug_quoted(""), "\"\"");
  EXPECT_EQ(debug_quoted("plain text"), "\"plain text\"");
  EXPECT_EQ(debug_quoted("a \"b\""), R"("a \"b\"")");
  EXPECT_EQ(debug_quoted("C:\\dir"), R"("C:\\dir")");
  EXPECT_EQ(debug_quoted("1\n2\r3\t4"), R"("1\n2\r3\t4")");
  EXPECT_EQ(debug_quoted(std::string("a\0b", 3)), R"("a\0b")");
}

TEST(DebugForm, ShowsOtherControlBytesInLowerCaseHexWithoutLeadingZeros) {
  EXPECT_EQ(debug_quoted("\x01"), R"("\u{1}")");
  EXPECT_EQ(debug_quoted("\x1b[0m"), R"("\u{1b}[0m")");
  EXPECT_EQ(debug_quoted("\x1f"), R"("\u{1f}")");
  EXPECT_EQ(debug_quoted("\x7f"), R"("\u{7f}")");
  // The bytes right beside the escaped ranges are kept.
  EXPECT_EQ(debug_quoted(" ~"), "\" ~\"");
}

TEST(DebugForm, KeepsUtf8AndShowsEveryOtherByteOfTheUpperHalfInHex) {
  // A character is kept as it is; a byte that is no part of one can be read
  // off, and the message stays valid UTF-8.
  EXPECT_EQ(debug_quoted("h\xc3\xa9llo"), "\"h\xc3\xa9llo\"");
  EXPECT_EQ(debug_quoted("\x80\xff"), R"("\x80\xff")");
  EXPECT_EQ(debug_quoted("\xc3"), R"("\xc3")");
}

TEST(DebugForm, AppendsAndWritesTheSameForm) {
  std::string line = "value ";
  kivu_base::append_debug_quoted(line, "a\nb");
  EXPECT_EQ(line, R"(value "a\nb")");
  std::ostringstream out;
  kivu_base::write_debug_quoted(out, "a\nb");
  EXPECT_EQ(out.str(), R"("a\nb")");
}

TEST(OsError, ShowsTheSystemsDescriptionWithTheNumberInBothForms) {
  EXPECT_EQ(kivu_base::os_error_display(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(kivu_base::os_error_debug(ENOENT), R"(Os { code: 2, message: "No such file or directory" })");
  // A description of the caller's is quoted as any text is.
  EXPECT_EQ(kivu_base::os_error_debug(5, "bad \"disk\""), R"(Os { code: 5, message: "bad \"disk\"" })");
}

}  // namespace
