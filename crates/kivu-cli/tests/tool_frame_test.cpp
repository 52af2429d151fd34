// The frame around the tools' and runners' work, each case in a forked
// child with the real standard streams: what escapes, a standard output
// that fails, the clean-up of a temporary output on SIGTERM, and the one
// quoting of values in messages.
#include "kivu_cli/tool_frame.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kivu_base/debug_form.hpp"
#include "kivu_cli/command_line.hpp"
#include "kivu_output_file/output_file.hpp"
#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"
#include "output_file_detail.hpp"

namespace {

using kivu_testing::ChildResult;
using kivu_testing::ForkedOutput;

// Runs `work` as the tool "tool" with the arguments `args`, in a child.
ChildResult run_tool_in_child(const kivu_cli::ToolWork& work, ForkedOutput output = ForkedOutput::Captured,
                              std::vector<const char*> args = {"tool"}) {
  return kivu_testing::run_forked(
      [&] { return kivu_cli::run_tool("tool", static_cast<int>(args.size()), args.data(), work); }, output);
}

TEST(ToolFrame, HandsTheArgumentsOnAndKeepsTheStatusOfAWriteThatGotOut) {
  const auto end = run_tool_in_child(
      [](std::span<const std::string> args, std::ostream& out, std::ostream&) {
        for (const auto& arg : args) out << arg << '\n';
        return 3;
      },
      ForkedOutput::Captured, {"tool", "a", "-b"});
  ASSERT_TRUE(end.exited) << end.describe();
  EXPECT_EQ(end.exit_code, 3);
  EXPECT_EQ(end.out, "a\n-b\n");
  EXPECT_EQ(end.err, "");
}

TEST(ToolFrame, WhatEscapesTheWorkIsOneLineAndStatusOne) {
  const auto thrown = run_tool_in_child([](auto, std::ostream&, std::ostream&) -> int { throw std::bad_alloc(); });
  ASSERT_TRUE(thrown.exited) << thrown.describe();
  EXPECT_EQ(thrown.exit_code, 1);
  EXPECT_EQ(thrown.err, "tool: std::bad_alloc\n");
  const auto odd = run_tool_in_child([](auto, std::ostream&, std::ostream&) -> int { throw 7; });
  ASSERT_TRUE(odd.exited) << odd.describe();
  EXPECT_EQ(odd.exit_code, 1);
  EXPECT_EQ(odd.err, "tool: unknown exception\n");
}

TEST(ToolFrame, AStandardOutputThatFailsIsOneLineWithTheReasonAndStatusOne) {
  const auto writes = [](int status) {
    return [status](auto, std::ostream& out, std::ostream&) {
      out << "text\n";
      return status;
    };
  };
  const auto closed = run_tool_in_child(writes(0), ForkedOutput::Closed);
  ASSERT_TRUE(closed.exited) << closed.describe();
  EXPECT_EQ(closed.exit_code, 1);
  EXPECT_EQ(closed.err, "tool: cannot write to standard output: Bad file descriptor\n");
  // Any status but a failure's: the output was part of the work.
  const auto full = run_tool_in_child(writes(3), ForkedOutput::Full);
  ASSERT_TRUE(full.exited) << full.describe();
  EXPECT_EQ(full.exit_code, 1);
  EXPECT_EQ(full.err, "tool: cannot write to standard output: No space left on device\n");
  // A run that failed has said why already.
  const auto failed = run_tool_in_child(writes(1), ForkedOutput::Full);
  ASSERT_TRUE(failed.exited) << failed.describe();
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_EQ(failed.err, "");
  // Nothing written: nothing to fail.
  const auto quiet = run_tool_in_child([](auto, std::ostream&, std::ostream&) { return 0; }, ForkedOutput::Closed);
  ASSERT_TRUE(quiet.exited) << quiet.describe();
  EXPECT_EQ(quiet.exit_code, 0);
  EXPECT_EQ(quiet.err, "");
}

// A child of the test, killed and reaped when the test leaves early.
struct ChildGuard {
  explicit ChildGuard(pid_t started) : pid(started) {}
  pid_t pid;
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  ~ChildGuard() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      static_cast<void>(kivu_testing::wait_for_child(pid));
    }
  }
};

// A temporary file is left only where the new file is a named one (a
// filesystem without unnamed files); the write here makes one of those.
TEST(ToolFrame, ATermSignalDuringAWriteRemovesTheTemporaryAndEndsByTheSignal) {
  for (const bool framed : {true, false}) {
    kivu_testing::ScratchDirectory dir;
    const std::filesystem::path output = dir.file("out");
    int started[2];
    ASSERT_EQ(::pipe(started), 0);
    // The child writes `output` and, halfway, tells the parent and waits to
    // be ended.
    const auto write_and_wait = [&] {
      if (framed) kivu_cli::install_output_cleanup();
      static_cast<void>(kivu_output_file::detail::write_output_file(
          output,
          [&](std::ostream& stream) {
            stream << "partial" << std::flush;
            const char byte = 's';
            static_cast<void>(::write(started[1], &byte, 1));
            for (;;) ::pause();
            return std::expected<void, std::string>{};
          },
          kivu_output_file::OutputLink::Replace, kivu_output_file::detail::NewFile::Named));
      return 0;
    };
    ChildGuard child{::fork()};
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) ::_exit(write_and_wait());
    ::close(started[1]);
    char byte = 0;
    const auto got = ::read(started[0], &byte, 1);
    ::close(started[0]);
    ASSERT_EQ(got, 1) << "the child never started its write";
    ASSERT_EQ(kivu_testing::directory_entries(dir.path()).size(), 1u) << "the write in progress has its temporary";
    ::kill(child.pid, SIGTERM);
    const int status = kivu_testing::wait_for_child(std::exchange(child.pid, -1));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM) << "the signal still shows in the status";
    if (framed) {
      EXPECT_TRUE(kivu_testing::directory_entries(dir.path()).empty()) << "no temporary file is left";
    } else {
      EXPECT_EQ(kivu_testing::directory_entries(dir.path()).size(), 1u) << "without the frame the temporary stays";
    }
  }
}

TEST(Quoting, ControlBytesAndBytesOutsideUtf8AreEscapedAndUtf8IsKept) {
  using kivu_base::debug_quoted;
  EXPECT_EQ(debug_quoted("a\"b\\c\n\r\t"), R"("a\"b\\c\n\r\t")");
  EXPECT_EQ(debug_quoted(std::string("a\0\x01\x1f\x7f", 5)), R"("a\0\u{1}\u{1f}\u{7f}")");
  EXPECT_EQ(debug_quoted("\x80"), R"("\x80")");
  EXPECT_EQ(debug_quoted("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"");
  // Cut short, overlong, surrogate, past U+10FFFF, stray continuation: each
  // byte that is not part of a valid sequence is shown alone.
  EXPECT_EQ(debug_quoted("\xe2\x82"), R"("\xe2\x82")");
  EXPECT_EQ(debug_quoted("\xc0\xaf"), R"("\xc0\xaf")");
  EXPECT_EQ(debug_quoted("\xed\xa0\x80"), R"("\xed\xa0\x80")");
  EXPECT_EQ(debug_quoted("\xf4\x90\x80\x80"), R"("\xf4\x90\x80\x80")");
  EXPECT_EQ(debug_quoted("\xff\xc3\xa9"), "\"\\xff\xc3\xa9\"") << "a valid sequence after a bad byte is kept";
  // The edges of the ranges, from both sides.
  EXPECT_EQ(debug_quoted("\xc2\x80"), "\"\xc2\x80\"");
  EXPECT_EQ(debug_quoted("\xc1\xbf"), R"("\xc1\xbf")");
  EXPECT_EQ(debug_quoted("\xf4\x8f\xbf\xbf"), "\"\xf4\x8f\xbf\xbf\"");
  EXPECT_EQ(debug_quoted("\xed\x9f\xbf"), "\"\xed\x9f\xbf\"");
  EXPECT_EQ(debug_quoted("\xe0\xa0\x80"), "\"\xe0\xa0\x80\"");
  EXPECT_EQ(debug_quoted("\xe0\x9f\xbf"), R"("\xe0\x9f\xbf")");
}

TEST(Quoting, AWordOnTheCommandLineIsNamedInTheOneQuotedForm) {
  CLI::App app{"", "tool"};
  static_cast<void>(kivu_cli::prepare(app));
  const std::vector<std::string> args{"line\nbreak\x80"};
  const auto parsed = kivu_cli::parse(app, args);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), R"(unexpected argument "line\nbreak\x80")");
}

}  // namespace
