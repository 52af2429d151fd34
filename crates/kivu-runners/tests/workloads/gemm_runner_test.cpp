// kivu-gemm-e2e as the suite runs it: a child process configured by
// environment variables, judged by its exit status and the file it writes.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "kivu_package.hpp"
#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"

namespace {

using kivu_testing::read_file;
using kivu_testing::run_child;
using kivu_testing::ScratchDirectory;

const std::string runner = KIVU_GEMM_RUNNER;

TEST(GemmRunner, PassesTheSuitesScenarioAndLeavesACompleteProfile) {
  const ScratchDirectory dir;
  const auto result = run_child(runner, {{"KIVU_GEMM_DIMENSION", "128"},
                                         {"KIVU_PROFILE_OUTPUT", dir.file("profile.capnp")},
                                         {"KIVU_GEMM_SRAM_CHECK_BLOCK", "1,1"}});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("kivu-gemm-e2e: passed"), std::string::npos);
  const auto profile = kivu_package::ProfileReport::read(std::ifstream(dir.file("profile.capnp"), std::ios::binary));
  ASSERT_TRUE(profile) << profile.error();
  EXPECT_EQ(profile->tiles.size(), 1472u);
  // Nothing else is left beside it (no temporary file).
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(GemmRunner, PassesWithHostWriteJitter) {
  const auto result = run_child(runner, {{"KIVU_GEMM_DIMENSION", "128"},
                                         {"KIVU_GEMM_SRAM_CHECK_BLOCK", "3,2"},
                                         {"KIVU_HOST_WRITE_JITTER_MAX_US", "200"},
                                         {"KIVU_HOST_WRITE_JITTER_SEED", "17"}});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("host-write jitter up to 200 us, seed 17"), std::string::npos) << result.out;
}

TEST(GemmRunner, FailsWithStatusOneUnderFaultInjection) {
  const auto result = run_child(runner, {{"KIVU_GEMM_DIMENSION", "128"}, {"KIVU_SIM_FAULT", "1"}});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("differs from the host reference"), std::string::npos) << result.err;
}

TEST(GemmRunner, RejectsABadDimensionWithStatusTwoAndOneLineBeforeDoingAnything) {
  const ScratchDirectory dir;
  const auto result = run_child(runner, {{"KIVU_GEMM_DIMENSION", "130x"}, {"KIVU_PROFILE_OUTPUT", dir.file("p")}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err,
            "kivu-gemm-e2e: invalid KIVU_GEMM_DIMENSION value \"130x\": expected a matrix dimension from 1 to 1216\n");
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("p")));
}

TEST(GemmRunner, RejectsAProfileOutputThatCannotBeWrittenBeforeMultiplying) {
  const ScratchDirectory dir;
  const std::string output = dir.file("missing/profile.capnp");
  const auto result = run_child(runner, {{"KIVU_PROFILE_OUTPUT", output}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err, "kivu-gemm-e2e: invalid KIVU_PROFILE_OUTPUT value \"" + output +
                            "\": expected a file path that can be written (No such file or directory)\n");
  EXPECT_EQ(result.out, "");
}

TEST(GemmRunner, WritesTheProfileIntoADeviceInPlaceAndReportsAFullOne) {
  const auto full = run_child(runner, {{"KIVU_GEMM_DIMENSION", "32"}, {"KIVU_PROFILE_OUTPUT", "/dev/full"}});
  EXPECT_EQ(full.exit_code, 1) << full.describe();
  EXPECT_NE(
      full.err.find("write cycle profile to /dev/full: Io(Os { code: 28, message: \"No space left on device\" })"),
      std::string::npos)
      << full.err;
  EXPECT_EQ(std::filesystem::status("/dev/full").type(), std::filesystem::file_type::character);

  const auto null = run_child(runner, {{"KIVU_GEMM_DIMENSION", "32"}, {"KIVU_PROFILE_OUTPUT", "/dev/null"}});
  EXPECT_EQ(null.exit_code, 0) << null.describe();
  EXPECT_EQ(std::filesystem::status("/dev/null").type(), std::filesystem::file_type::character);
}

TEST(GemmRunner, RunsOnTheLastBoardOfTheLargestHost) {
  const auto result = run_child(runner,
                                {{"KIVU_GEMM_DIMENSION", "32"}, {"KIVU_SIM_BOARDS", "64"}, {"KIVU_BOARD", "63"}});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
}

TEST(GemmRunner, RejectsACheckBlockOutsideTheGridWithStatusTwo) {
  const auto result = run_child(runner, {{"KIVU_GEMM_DIMENSION", "64"}, {"KIVU_GEMM_SRAM_CHECK_BLOCK", "2,0"}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err,
            "kivu-gemm-e2e: invalid KIVU_GEMM_SRAM_CHECK_BLOCK value \"2,0\": expected a block \"row,column\" of the "
            "2 x 2 block grid, both numbers below 2\n");
}

TEST(GemmRunner, ReplacesAPlantedSymbolicLinkAndLeavesItsTargetAlone) {
  const ScratchDirectory dir;
  const std::string target = dir.file("precious");
  const std::string link = dir.file("profile.capnp");
  std::ofstream(target) << "keep me";
  std::filesystem::create_symlink(target, link);

  const auto result = run_child(runner, {{"KIVU_PROFILE_OUTPUT", link}});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_file(target), "keep me");
  EXPECT_TRUE(kivu_package::ProfileReport::read(std::ifstream(link, std::ios::binary)));
}

TEST(GemmRunner, RejectsAProfileOutputInProcOrSysBeforeMultiplying) {
  for (const std::string output : {"/proc/x", "/sys/x"}) {
    const auto result = run_child(runner, {{"KIVU_PROFILE_OUTPUT", output}});
    EXPECT_EQ(result.exit_code, 2) << result.describe();
    EXPECT_EQ(result.err, "kivu-gemm-e2e: invalid KIVU_PROFILE_OUTPUT value \"" + output +
                              "\": expected a file path that can be written (refusing to write into a kernel file "
                              "system such as /proc or /sys)\n");
    EXPECT_EQ(result.out, "");
  }
}

// KIVU_PROFILE_OUTPUT=/dev/stdout: a link through /proc to the runner's
// standard output, written through and left a link. Standard output then
// holds the profile alone; the runner's own lines go to standard error.
TEST(GemmRunner, WritesTheProfileThroughALinkToItsStandardOutputAndKeepsTheLink) {
  const ScratchDirectory dir;
  const std::string link = dir.file("stdout");
  std::filesystem::create_symlink("/proc/self/fd/1", link);
  // Standard output a pipe, as in `kivu-gemm-e2e | tail -1`.
  const auto result = run_child({.program = "/bin/bash",
                                 .arguments = {"-c", "set -o pipefail; \"$0\" | cat", runner},
                                 .environment = {{"KIVU_GEMM_DIMENSION", "32"}, {"KIVU_PROFILE_OUTPUT", link}}});
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  const auto profile = kivu_package::ProfileReport::read(std::istringstream(result.out));
  EXPECT_TRUE(profile) << result.describe();
  EXPECT_EQ(result.out.find("kivu-gemm-e2e:"), std::string::npos);
  EXPECT_NE(result.err.find("kivu-gemm-e2e: passed\n"), std::string::npos) << result.err;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// Standard output redirected to a file: the file is written through, never
// replaced, so it keeps what stood in it before an append ("runner >> file").
TEST(GemmRunner, WritesAProfileOnStandardOutputIntoTheRedirectedFileItself) {
  const ScratchDirectory dir;
  const std::string file = dir.file("captured");
  std::ofstream(file) << "kept\n";
  const auto inode = [&] {
    struct stat status {};
    return ::stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
  };
  const auto before = inode();
  const auto result = run_child(
      {.program = "/bin/bash",
       .arguments = {"-c", "\"$0\" >>\"$1\"", runner, file},
       .environment = {{"KIVU_GEMM_DIMENSION", "32"}, {"KIVU_PROFILE_OUTPUT", "/dev/stdout"}}});
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(inode(), before);
  const std::string captured = read_file(file);
  ASSERT_TRUE(captured.starts_with("kept\n")) << captured.substr(0, 40);
  EXPECT_TRUE(kivu_package::ProfileReport::read(std::istringstream(captured.substr(5)))) << result.describe();
  EXPECT_EQ(captured.find("kivu-gemm-e2e:"), std::string::npos);
  EXPECT_NE(result.err.find("kivu-gemm-e2e: passed\n"), std::string::npos) << result.err;
}

// Another user's link in a sticky world-writable folder, as a folder of the
// profile's path, is not followed: bad input before the board runs, and
// nothing lands where the link points.
TEST(GemmRunner, RefusesAProfilePathThroughAnotherUsersLinkInAStickyFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const ScratchDirectory dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms{0711});
  const std::string shared = dir.file("shared");
  const std::string root_only = dir.file("root-only");
  std::filesystem::create_directory(shared);
  std::filesystem::create_directory(root_only);
  std::filesystem::permissions(shared, std::filesystem::perms{01777});
  std::filesystem::permissions(root_only, std::filesystem::perms{0700});
  const auto planted = kivu_testing::run_unprivileged([&]() -> std::string {
    return ::symlink(root_only.c_str(), (shared + "/dl").c_str()) == 0 ? "planted" : "not planted";
  });
  if (!planted) GTEST_SKIP() << planted.error();
  ASSERT_EQ(*planted, "planted");
  const std::string output = shared + "/dl/p.capnp";
  const auto result = run_child(runner, {{"KIVU_GEMM_DIMENSION", "32"}, {"KIVU_PROFILE_OUTPUT", output}});
  EXPECT_EQ(result.exit_code, 2) << result.describe();
  EXPECT_EQ(result.err, "kivu-gemm-e2e: invalid KIVU_PROFILE_OUTPUT value \"" + output +
                            "\": expected a file path that can be written (refusing to follow a symbolic link that "
                            "another user owns in a sticky world-writable directory)\n");
  EXPECT_TRUE(std::filesystem::is_empty(root_only));
}

}  // namespace
