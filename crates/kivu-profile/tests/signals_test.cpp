// SIGBUS from a profile cut short while kivu-profile walks its mapping: one
// line and exit status 1, in a child process that installs the tools'
// frame's handlers and reads the profile as the tool does.
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "cli.hpp"
#include "kivu_cli/tool_frame.hpp"
#include "kivu_testing/child_process.hpp"
#include "profile_fixtures.hpp"
#include "profile_stats.hpp"

namespace {

using kivu_testing::ChildResult;

// Runs `body` in a child, after installing the handlers kivu-profile's frame
// installs.
ChildResult run_in_child(const std::function<int()>& body) {
  return kivu_testing::run_forked([&] {
    kivu_cli::install_signal_handlers("kivu-profile");
    return body();
  });
}

TEST(BusError, AProfileCutShortWhileItIsWalkedEndsWithOneLineAndStatusOne) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(64));
  const ChildResult end = run_in_child([&] {
    const auto file = kivu_profile::open_profile(path);
    if (!file) return 3;
    // Cut short in place, as a program rewriting the file would: the mapped
    // pages past the new end are gone.
    if (::truncate(path.c_str(), 0) != 0) return 4;
    static_cast<void>(file->visit(
        [](const kivu_package::ProfileView& profile) { static_cast<void>(kivu_profile::compute_stats(profile)); }));
    return 5;
  });
  ASSERT_TRUE(end.exited) << end.describe();
  EXPECT_EQ(end.exit_code, 1) << end.err;
  EXPECT_EQ(end.err, "kivu-profile: cannot read " + path.string() + ": the file changed while it was read\n");
}

TEST(BusError, ASigbusSentByAnotherProcessKeepsItsDefaultAction) {
  const ChildResult end = run_in_child([] {
    ::kill(::getpid(), SIGBUS);
    return 0;
  });
  ASSERT_FALSE(end.exited) << end.describe();
  EXPECT_EQ(end.signal, SIGBUS);
  EXPECT_EQ(end.err, "");
}

}  // namespace
