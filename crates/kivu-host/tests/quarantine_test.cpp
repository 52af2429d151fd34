// The quarantine file: its place, its text read back, and what is refused.
#include "kivu_host/quarantine.hpp"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

namespace {

using kivu_host::Quarantine;
using kivu_host::QuarantineError;

TEST(QuarantineFilePath, TheVariableThenXdgStateHomeThenHome) {
  EXPECT_EQ(kivu_host::quarantine_file_path("/q.json", "/state", "/home/a"), "/q.json");
  EXPECT_EQ(kivu_host::quarantine_file_path(std::nullopt, "/state", "/home/a"), "/state/kivu/quarantine.json");
  // A relative XDG_STATE_HOME is ignored, as the base-directory rules say.
  EXPECT_EQ(kivu_host::quarantine_file_path("", "state", "/home/a"), "/home/a/.local/state/kivu/quarantine.json");
  EXPECT_EQ(kivu_host::quarantine_file_path(std::nullopt, std::nullopt, std::nullopt), "quarantine.json");
}

TEST(Quarantine, ItsTextReadsBackAndOnlyThisHostsBoardsCount) {
  Quarantine quarantine;
  quarantine.boards = {{"lab-1", 2, "failed 20 of 800", "2026-01-01T00:00:00Z", ""},
                       {"lab-1", 9, "gone", "2026-01-01T00:00:00Z", ""},
                       {"lab-2", 1, "other host", "2026-01-01T00:00:00Z", ""}};
  quarantine.released = {{"lab-1", 3, "old", "2025-01-01T00:00:00Z", "2025-02-01T00:00:00Z"}};
  const auto read = kivu_host::parse_quarantine(kivu_host::quarantine_text(quarantine), "q.json");
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(*read, quarantine);
  std::vector<std::string> warnings;
  EXPECT_EQ(kivu_host::quarantined_boards(*read, "lab-1", 4, warnings), (std::set<std::uint32_t>{2}));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("board 9"), std::string::npos);
  EXPECT_NE(kivu_host::find_quarantined(*read, "lab-1", 2), nullptr);
  EXPECT_EQ(kivu_host::find_quarantined(*read, "lab-1", 3), nullptr);  // released
}

TEST(Quarantine, CorruptTextIsAnErrorNeverAnEmptyQuarantine) {
  for (const char* text : {"", "garbage", "[]", R"({"boards": []})", R"({"version": 2, "boards": []})",
                           R"({"version": 1, "boards": {}})", R"({"version": 1, "boards": [{"board": "2"}]})",
                           R"({"version": 1, "boards": [{"board": 2, "host": "h", "reason": "r"}]})",
                           R"({"version": 1, "boards": [{"board": -1, "host": "h", "reason": "r", "date": "d"}]})",
                           R"({"version": 1, "released": [{"board": 1, "host": "h", "reason": "r", "date": "d"}]})"}) {
    const auto read = kivu_host::parse_quarantine(text, "q.json");
    ASSERT_FALSE(read) << text;
    EXPECT_EQ(read.error().kind, QuarantineError::Kind::corrupt) << text;
    EXPECT_NE(read.error().message.find("\"q.json\""), std::string::npos);
  }
  EXPECT_TRUE(kivu_host::parse_quarantine(R"({"version": 1})", "q.json"));
}

TEST(Quarantine, AMissingFileIsEmptyAnUnreadableOneAnError) {
  char folder[] = "/tmp/kivu-quarantine-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string base(folder);
  const auto missing = kivu_host::read_quarantine(base + "/none.json");
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->boards.empty());
  // A folder where the file should be cannot be read as one.
  const auto unreadable = kivu_host::read_quarantine(base);
  ASSERT_FALSE(unreadable);
  EXPECT_EQ(unreadable.error().kind, QuarantineError::Kind::unreadable);
  ::rmdir(folder);
}

}  // namespace
