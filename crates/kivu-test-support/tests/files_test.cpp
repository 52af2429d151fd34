#include "kivu_testing/files.hpp"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivu_testing/child_process.hpp"

namespace {

using kivu_testing::directory_entries;
using kivu_testing::read_file;

TEST(ReadFile, ReturnsEveryByteAsWrittenAndNothingForAMissingFile) {
  const kivu_testing::ScratchDirectory dir;
  const std::string bytes("a\r\nb\0c\xff\n", 8);
  std::ofstream(dir.file("bytes"), std::ios::binary) << bytes;
  EXPECT_EQ(read_file(dir.file("bytes")), bytes);
  EXPECT_EQ(read_file(dir.file("missing")), "");
  EXPECT_EQ(read_file(dir.path()), "") << "a directory has no content to read";
}

TEST(DirectoryEntries, NamesEveryKindOfEntrySortedAndFailsForAMissingDirectory) {
  const kivu_testing::ScratchDirectory dir;
  EXPECT_TRUE(directory_entries(dir.path()).empty());
  std::ofstream(dir.file("b"));
  std::filesystem::create_directory(dir.file("a"));
  std::filesystem::create_symlink("missing", dir.file(".link"));
  EXPECT_EQ(directory_entries(dir.path()), (std::vector<std::string>{".link", "a", "b"}));
  EXPECT_THROW((void)directory_entries(dir.file("missing")), std::filesystem::filesystem_error);
}

}  // namespace
