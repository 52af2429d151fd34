#include "kivu_testing/files.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "kivu_testing/child_process.hpp"

namespace {

using kivu_testing::read_file;

TEST(ReadFile, ReturnsEveryByteAsWrittenAndNothingForAMissingFile) {
  const kivu_testing::ScratchDirectory dir;
  const std::string bytes("a\r\nb\0c\xff\n", 8);
  std::ofstream(dir.file("bytes"), std::ios::binary) << bytes;
  EXPECT_EQ(read_file(dir.file("bytes")), bytes);
  EXPECT_EQ(read_file(dir.file("missing")), "");
  EXPECT_EQ(read_file(dir.path()), "") << "a directory has no content to read";
}

}  // namespace
