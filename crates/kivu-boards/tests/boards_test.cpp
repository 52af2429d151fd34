#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "host_boards.hpp"
#include "kivu_testing/captured_output.hpp"
#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"
#include "kivu_version.hpp"

namespace {

using kivu_testing::read_file;
using kivu_testing::ScratchDirectory;
using testing::HasSubstr;
using testing::StartsWith;

using Outcome = kivu_testing::CapturedOutput;

Outcome run(std::vector<std::string> args, std::optional<std::string_view> sim_boards = std::nullopt,
            std::string_view lock_prefix = kivu_host::board_lock_prefix) {
  return kivu_testing::capture_output(
      [&](std::ostream& out, std::ostream& err) { return kivu_boards::run(args, sim_boards, out, err, lock_prefix); });
}

// A lock-name prefix of this test process: no one else binds its names.
std::string unbound_prefix() { return "kivu-boards-test-" + std::to_string(::getpid()); }

// Starts a child that takes the lock `name` and then waits to be killed;
// returns once the lock is taken.
pid_t hold_in_child(const std::string& name) {
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::close(ready[0]);
    const auto lock = kivu_host::BoardLock::try_take(name);
    const char bound = lock ? 'y' : 'n';
    (void)!::write(ready[1], &bound, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char bound = 'n';
  const auto got = ::read(ready[0], &bound, 1);
  ::close(ready[0]);
  if (got != 1 || bound != 'y') {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    throw std::runtime_error("the child could not bind @" + name);
  }
  return child;
}

// =============================================================================
// The listing

TEST(Listing, ShowsEachBoardWithItsTilesSramLockAndState) {
  // The real lock names, free: the table's layout as users see it.
  EXPECT_EQ(kivu_boards::board_table(kivu_boards::simulated_boards(2)),
            "board  kind        tiles  SRAM per tile  lock           state\n"
            "0      simulated    1472        624 KiB  @kivu-board-0  free\n"
            "1      simulated    1472        624 KiB  @kivu-board-1  free\n");
  EXPECT_EQ(nlohmann::json::parse(kivu_boards::board_json(kivu_boards::simulated_boards(1)).dump()),
            nlohmann::json::parse(R"([{"id": 0, "kind": "simulated", "tiles": 1472, "sram_per_tile": 638976,
                                       "lock": "@kivu-board-0", "state": "free", "holder_pid": null}])"));

  // The command reads the locks; names no process binds show free.
  const std::string prefix = unbound_prefix();
  const auto four = run({}, "4", prefix);
  ASSERT_EQ(four.code, 0) << four.err;
  EXPECT_EQ(four.out, kivu_boards::board_table(kivu_boards::simulated_boards(4, prefix)));
  EXPECT_THAT(four.out, HasSubstr("\n3      simulated    1472        624 KiB  @" + prefix + "-3  free\n"));
  const auto json = run({"--json"}, "4", prefix);
  ASSERT_EQ(json.code, 0) << json.err;
  EXPECT_EQ(nlohmann::json::parse(json.out),
            nlohmann::json::parse(kivu_boards::board_json(kivu_boards::simulated_boards(4, prefix)).dump()));
}

TEST(Listing, NamesEveryProcessThatHoldsABoardAndTheBoardIsFreeOnceItLetsGo) {
  const std::string prefix = unbound_prefix();
  const pid_t holder = hold_in_child(kivu_host::board_lock_name(1, prefix));
  const std::string pid = std::to_string(holder);
  const std::string command = program_invocation_short_name;

  const auto held = run({}, "3", prefix);
  const auto json = run({"--json"}, "3", prefix);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_EQ(held.code, 0) << held.err;
  EXPECT_THAT(held.out, HasSubstr("\n0      simulated    1472        624 KiB  @" + prefix + "-0  free\n"));
  EXPECT_THAT(held.out, HasSubstr("-1  held by pid " + pid + " (" + command + ")\n"));
  ASSERT_EQ(json.code, 0) << json.err;
  const auto boards = nlohmann::json::parse(json.out);
  EXPECT_EQ(boards[1]["state"], "held");
  EXPECT_EQ(boards[1]["holder_pid"], holder);
  EXPECT_EQ(boards[2]["state"], "free");
  EXPECT_TRUE(boards[2]["holder_pid"].is_null());

  const auto after = run({"--json"}, "3", prefix);
  EXPECT_EQ(nlohmann::json::parse(after.out)[1]["state"], "free") << after.out;
}

TEST(Listing, ShowsSeveralHoldersAHolderItCannotSeeAndAnUnknownState) {
  auto board = kivu_boards::simulated_boards(1)[0];
  board.state = kivu_boards::LockState::Held;
  EXPECT_EQ(kivu_boards::state_text(board), "held (holder not visible)");
  EXPECT_TRUE(kivu_boards::board_json({board})[0]["holder_pid"].is_null());
  board.holders = {{41, "hardware_e2e"}, {42, "kivu-gemm-e2e"}};
  EXPECT_EQ(kivu_boards::state_text(board), "held by pids 41 (hardware_e2e), 42 (kivu-gemm-e2e)");
  EXPECT_EQ(kivu_boards::board_json({board})[0]["holder_pid"], 41);
  board.state = kivu_boards::LockState::Unknown;
  board.holders.clear();
  EXPECT_EQ(kivu_boards::state_text(board), "unknown");
  EXPECT_EQ(kivu_boards::board_json({board})[0]["state"], "unknown");
}

TEST(Listing, AHolderOfAnotherUserShowsAsHeldNotFree) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to look at the lock as another user";
  const std::string name = kivu_host::board_lock_name(0, unbound_prefix());
  const pid_t holder = hold_in_child(name);
  const auto seen = kivu_testing::run_unprivileged([&] {
    const auto states = kivu_host::board_lock_states(std::vector<std::string>{name});
    if (!states) return "unreadable: " + states.error();
    return std::string((*states)[0].held ? "held" : "free") + " by " + std::to_string((*states)[0].holders.size());
  });
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(seen) << seen.error();
  EXPECT_EQ(*seen, "held by 0");
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
                                                                {"slurm-gres", "-o"},
                                                                {"slurm-gres", "--json"},
                                                                {"resource-spec", "--json"},
                                                                {"--json", "-o", "x.json"}}) {
    const auto outcome = run(args);
    EXPECT_EQ(outcome.code, 2) << args[0];
    // One line saying what is wrong, one short usage line.
    EXPECT_THAT(outcome.err, StartsWith("kivu-boards: ")) << args[0];
    EXPECT_THAT(outcome.err, HasSubstr("\nusage: kivu-boards ")) << args[0];
    EXPECT_EQ(std::ranges::count(outcome.err, '\n'), 2) << outcome.err;
    EXPECT_TRUE(outcome.out.empty());
  }
  const auto help = run({"resource-spec", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out, kivu_boards::usage());
  EXPECT_EQ(help.err, "");
}

TEST(BadInput, NamesTheFaultThenTheSubcommandsUsage) {
  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"--bogus"},
       "kivu-boards: unknown option '--bogus'\n"
       "usage: kivu-boards [--json] | resource-spec|slurm-gres [-o FILE] | --help | --version\n"},
      {{"resource-spec", "-o", "a", "--output=b"},
       "kivu-boards: more than one output\nusage: kivu-boards resource-spec [-o FILE]\n"},
      {{"slurm-gres", "--output="}, "kivu-boards: empty output path\nusage: kivu-boards slurm-gres [-o FILE]\n"},
      {{"slurm-gres", "--output"}, "kivu-boards: --output needs a value\nusage: kivu-boards slurm-gres [-o FILE]\n"},
      {{"resource-spec", "--", "-o", "x"},
       "kivu-boards: unexpected argument '-o'\nusage: kivu-boards resource-spec [-o FILE]\n"},
      {{"--json", "--json=no"},
       "kivu-boards: --json takes no value\n"
       "usage: kivu-boards [--json] | resource-spec|slurm-gres [-o FILE] | --help | --version\n"},
  };
  for (const auto& [args, message] : bad) {
    const auto outcome = run(args, "1", unbound_prefix());
    EXPECT_EQ(outcome.code, 2) << message;
    EXPECT_EQ(outcome.err, message);
  }
  // Options may come before the subcommand; "--" ends them.
  EXPECT_EQ(kivu_boards::parse_arguments(std::vector<std::string>{"-o", "x", "slurm-gres", "--"}),
            (kivu_boards::Command{.action = kivu_boards::Command::Action::SlurmGres, .output = "x"}));
}

TEST(BadInput, NamesABadBoardCountAndItsValueOnOneLine) {
  for (const char* bad : {"0", "65", "four", "-1"}) {
    const auto outcome = run({"resource-spec"}, bad);
    EXPECT_EQ(outcome.code, 2) << bad;
    EXPECT_EQ(outcome.err, std::string("kivu-boards: invalid KIVU_SIM_BOARDS value \"") + bad +
                               "\": expected an unsigned decimal number from 1 to 64\n");
    EXPECT_TRUE(outcome.out.empty());
  }
  EXPECT_EQ(run({"--json"}, "64", unbound_prefix()).code, 0);
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

TEST(Executable, ListsTheRealLocksAsJsonWithFixedKeys) {
  const auto listed = kivu_testing::run_child(
      {.program = KIVU_BOARDS_EXECUTABLE, .arguments = {"--json"}, .environment = {{"KIVU_SIM_BOARDS", "2"}}});
  ASSERT_TRUE(listed.exited && listed.exit_code == 0) << listed.describe();
  const auto boards = nlohmann::ordered_json::parse(listed.out);
  ASSERT_EQ(boards.size(), 2u);
  for (std::size_t id = 0; id < boards.size(); ++id) {
    std::vector<std::string> keys;
    for (const auto& item : boards[id].items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "kind", "tiles", "sram_per_tile", "lock", "state", "holder_pid"}));
    EXPECT_EQ(boards[id]["lock"], "@kivu-board-" + std::to_string(id));
    // Another suite on this host may hold a board right now.
    EXPECT_THAT(boards[id]["state"].get<std::string>(), testing::AnyOf("free", "held")) << listed.out;
  }
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

TEST(Executable, PrintsTheHelpOnStandardOutputAndAShortUsageOnError) {
  const auto help = kivu_testing::run_child({.program = KIVU_BOARDS_EXECUTABLE, .arguments = {"--help"}});
  ASSERT_TRUE(help.exited && help.exit_code == 0) << help.describe();
  EXPECT_EQ(help.out, kivu_boards::usage());
  EXPECT_EQ(help.err, "");
  const auto bad = kivu_testing::run_child({.program = KIVU_BOARDS_EXECUTABLE, .arguments = {"--bogus"}});
  EXPECT_TRUE(bad.exited && bad.exit_code == 2) << bad.describe();
  EXPECT_EQ(bad.error_lines().size(), 2u) << bad.describe();
  EXPECT_EQ(bad.out, "");
}

}  // namespace
