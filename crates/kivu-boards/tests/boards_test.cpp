#include "cli.hpp"
#include "host_boards.hpp"

#include "kivu_testing/child_process.hpp"
#include "kivu_version.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

using kivu_testing::ScratchDirectory;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome run(std::vector<std::string> args, std::optional<std::string_view> sim_boards = std::nullopt) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = kivu_boards::run(args, sim_boards, out, err);
  return {code, out.str(), err.str()};
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

// =============================================================================
// The listing

TEST(Listing, ShowsEachBoardWithItsTilesSramAndLock) {
  const auto one = run({});
  ASSERT_EQ(one.code, 0) << one.err;
  EXPECT_EQ(one.out,
            "board  kind        tiles  SRAM per tile  lock\n"
            "0      simulated    1472        624 KiB  @kivu-board-0\n");
  const auto four = run({}, "4");
  ASSERT_EQ(four.code, 0) << four.err;
  EXPECT_THAT(four.out, HasSubstr("\n3      simulated    1472        624 KiB  @kivu-board-3\n"));
  EXPECT_EQ(std::count(four.out.begin(), four.out.end(), '\n'), 5);
}

// =============================================================================
// The resource file

TEST(ResourceFile, GivesEveryBoardOneSlotUnderItsId) {
  const auto written = run({"resource-spec"}, "3");
  ASSERT_EQ(written.code, 0) << written.err;
  const auto expected = nlohmann::json::parse(R"({"version": {"major": 1, "minor": 0},
      "local": [{"boards": [{"id": "0", "slots": 1}, {"id": "1", "slots": 1}, {"id": "2", "slots": 1}]}]})");
  EXPECT_EQ(nlohmann::json::parse(written.out), expected);
  EXPECT_EQ(run({"resource-spec", "-o", "-"}, "3").out, written.out);
}

TEST(ResourceFile, IsWrittenToTheFileGivenAndFollowsALinkToIt) {
  ScratchDirectory dir;
  const auto file = dir.file("boards.json");
  const auto done = run({"resource-spec", "-o", file}, "2");
  ASSERT_EQ(done.code, 0) << done.err;
  EXPECT_TRUE(done.out.empty());
  EXPECT_EQ(nlohmann::json::parse(read_file(file))["local"][0]["boards"].size(), 2u);

  std::filesystem::create_symlink("boards.json", dir.file("link.json"));
  ASSERT_EQ(run({"resource-spec", "--output=" + dir.file("link.json")}, "5").code, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.json")));
  EXPECT_EQ(nlohmann::json::parse(read_file(file))["local"][0]["boards"].size(), 5u);
}

TEST(ResourceFile, FailsWithTheSystemsReasonWhenTheFileCannotBeWritten) {
  ScratchDirectory dir;
  const auto missing = dir.file("missing/boards.json");
  const auto failed = run({"resource-spec", "-o", missing});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.err, "kivu-boards: cannot write " + missing + ": No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

// =============================================================================
// The Slurm configuration lines

TEST(SlurmGres, PrintsTheNodesGresAndItsGresConfLine) {
  const auto four = run({"slurm-gres"}, "4");
  ASSERT_EQ(four.code, 0) << four.err;
  EXPECT_EQ(four.out,
            "Gres=kivu:4\n"
            "Name=kivu Count=4 Flags=CountOnly\n");
  const auto one = run({"slurm-gres"});
  EXPECT_EQ(one.out,
            "Gres=kivu:1\n"
            "Name=kivu Count=1 Flags=CountOnly\n");

  ScratchDirectory dir;
  const auto file = dir.file("gres.txt");
  ASSERT_EQ(run({"slurm-gres", "-o", file}, "64").code, 0);
  EXPECT_EQ(read_file(file), "Gres=kivu:64\nName=kivu Count=64 Flags=CountOnly\n");
  const auto bad = run({"slurm-gres"}, "0");
  EXPECT_EQ(bad.code, 2);
  EXPECT_TRUE(bad.out.empty());
}

// =============================================================================
// Bad input

TEST(BadInput, PrintsTheUsageForBadArgumentsAndExitsWithTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"list"},
                                                                {"-o", "x.json"},
                                                                {"resource-spec", "-o"},
                                                                {"resource-spec", "-o", ""},
                                                                {"resource-spec", "-o", "a", "-o", "b"},
                                                                {"resource-spec", "--all"},
                                                                {"resource-spec", "extra"},
                                                                {"slurm-gres", "resource-spec"},
                                                                {"slurm-gres", "-o"}}) {
    const auto outcome = run(args);
    EXPECT_EQ(outcome.code, 2) << args[0];
    EXPECT_THAT(outcome.err, HasSubstr("\n\nusage: kivu-boards\n")) << args[0];
    EXPECT_TRUE(outcome.out.empty());
  }
  const auto help = run({"resource-spec", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_THAT(help.out, StartsWith("usage: kivu-boards\n"));
}

TEST(BadInput, NamesABadBoardCountAndItsValueOnOneLine) {
  for (const char* bad : {"0", "65", "four", "-1"}) {
    const auto outcome = run({"resource-spec"}, bad);
    EXPECT_EQ(outcome.code, 2) << bad;
    EXPECT_EQ(outcome.err, std::string("kivu-boards: invalid KIVU_SIM_BOARDS value \"") + bad +
                               "\": expected an unsigned decimal number from 1 to 64\n");
    EXPECT_TRUE(outcome.out.empty());
  }
  EXPECT_EQ(run({}, "64").code, 0);
}

// =============================================================================
// The executable

TEST(Executable, ReadsItsBoardCountFromTheEnvironmentTakingEmptyAsUnset) {
  const auto empty = kivu_testing::run_child(
      {.program = KIVU_BOARDS_EXECUTABLE, .environment = {{"KIVU_SIM_BOARDS", ""}}});
  ASSERT_TRUE(empty.exited && empty.exit_code == 0) << empty.describe();
  EXPECT_EQ(std::count(empty.out.begin(), empty.out.end(), '\n'), 2) << empty.out;

  const auto bad = kivu_testing::run_child(
      {.program = KIVU_BOARDS_EXECUTABLE, .environment = {{"KIVU_SIM_BOARDS", "65"}}});
  EXPECT_TRUE(bad.exited && bad.exit_code == 2) << bad.describe();
  EXPECT_EQ(bad.error_lines().size(), 1u) << bad.describe();
}

TEST(Executable, PrintsTheWorkspaceVersionWhateverTheBoardCount) {
  // The version needs no boards: a bad KIVU_SIM_BOARDS does not stop it.
  const auto version = kivu_testing::run_child(
      {.program = KIVU_BOARDS_EXECUTABLE, .arguments = {"--version"}, .environment = {{"KIVU_SIM_BOARDS", "65"}}});
  ASSERT_TRUE(version.exited && version.exit_code == 0) << version.describe();
  EXPECT_EQ(version.out, "kivu-boards " + std::string(kivu::workspace_version) + "\n");
  EXPECT_THAT(version.out, testing::MatchesRegex("kivu-boards [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  EXPECT_EQ(version.err, "");
  EXPECT_EQ(run({"resource-spec", "--version"}).out, version.out);
}
