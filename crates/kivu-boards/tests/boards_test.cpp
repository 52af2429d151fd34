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
#include "kivu_testing/lock_holder.hpp"

namespace {

using kivu_testing::hold_lock_in_child;
using kivu_testing::read_file;
using kivu_testing::ScratchDirectory;
using kivu_testing::stop_lock_holder;
using testing::HasSubstr;

using Outcome = kivu_testing::CapturedOutput;

Outcome run(std::vector<std::string> args, std::optional<std::string_view> sim_boards = std::nullopt,
            std::string_view lock_prefix = kivu_host::board_lock_prefix) {
  return kivu_testing::capture_output(
      [&](std::ostream& out, std::ostream& err) { return kivu_boards::run(args, sim_boards, out, err, lock_prefix); });
}

// A lock-name prefix of this test process: no one else binds its names.
std::string unbound_prefix() { return "kivu-boards-test-" + std::to_string(::getpid()); }

// =============================================================================
// The listing

TEST(Listing, ReadsTheLocksAndShowsBoardsNoProcessHoldsAsFree) {
  // The command reads the locks; names no process binds show free (the
  // table's and the JSON's layout are checked in tests/golden, list-*).
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
  const pid_t holder = hold_lock_in_child(kivu_host::board_lock_name(1, prefix));
  const std::string pid = std::to_string(holder);
  const std::string command = program_invocation_short_name;

  const auto held = run({}, "3", prefix);
  const auto json = run({"--json"}, "3", prefix);
  stop_lock_holder(holder);
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
  const pid_t holder = hold_lock_in_child(name);
  const auto seen = kivu_testing::run_unprivileged([&] {
    const auto states = kivu_host::board_lock_states(std::vector<std::string>{name});
    if (!states) return "unreadable: " + states.error();
    return std::string((*states)[0].held ? "held" : "free") + " by " + std::to_string((*states)[0].holders.size());
  });
  stop_lock_holder(holder);
  ASSERT_TRUE(seen) << seen.error();
  EXPECT_EQ(*seen, "held by 0");
}

// =============================================================================
// The resource file

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

// The Slurm lines, the usage errors, a bad KIVU_SIM_BOARDS, --help and
// --version are checked byte for byte against tests/golden.

}  // namespace
