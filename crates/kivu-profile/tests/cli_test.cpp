#include "cli.hpp"
#include "profile_fixtures.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

using kivu_package::ProfileStepKind;
using kivu_profile::Command;
using kivu_profile::parse_arguments;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome run(std::vector<std::string> args) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = kivu_profile::run(args, out, err);
  return {code, out.str(), err.str()};
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Runs the built executable through the shell; returns its exit code and
// its standard error (standard output goes to /dev/null).
Outcome run_executable(const std::string& arguments) {
  const std::string command = std::string("'") + KIVU_PROFILE_EXECUTABLE + "' " + arguments + " 2>&1 >/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  Outcome outcome;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.err.append(buffer, n);
  const int status = ::pclose(pipe);
  outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

}  // namespace

// =============================================================================
// Arguments

TEST(ParseArguments, AcceptsEachSubcommandWithItsOptions) {
  using A = Command::Action;
  using Args = std::vector<std::string>;
  EXPECT_EQ(parse_arguments(Args{"summary", "p.capnp"}), (Command{A::Summary, "p.capnp", {}, {}}));
  EXPECT_EQ(parse_arguments(Args{"trace", "p.capnp", "-o", "t.json"}), (Command{A::Trace, "p.capnp", "t.json", {}}));
  EXPECT_EQ(parse_arguments(Args{"trace", "--output=t.json", "p.capnp"}), (Command{A::Trace, "p.capnp", "t.json", {}}));
  EXPECT_EQ(parse_arguments(Args{"heatmap", "p.capnp", "-o", "h.svg", "--kind", "compute"}),
            (Command{A::Heatmap, "p.capnp", "h.svg", ProfileStepKind::Compute}));
  EXPECT_EQ(parse_arguments(Args{"heatmap", "--kind=idle", "-o", "h.svg", "--", "-p.capnp"}),
            (Command{A::Heatmap, "-p.capnp", "h.svg", ProfileStepKind::Idle}));
  EXPECT_EQ(parse_arguments(Args{"--help"})->action, A::Help);
  EXPECT_EQ(parse_arguments(Args{"trace", "p.capnp", "-h"})->action, A::Help);
}

TEST(ParseArguments, RejectsBadCommandLinesWithAReason) {
  using Args = std::vector<std::string>;
  const std::pair<Args, std::string> bad[] = {
      {{}, "missing subcommand"},
      {{"show", "p"}, "unknown subcommand 'show'"},
      {{"summary"}, "missing profile FILE"},
      {{"summary", "a", "b"}, "unexpected argument 'b'"},
      {{"summary", "a", "-o", "x"}, "summary writes no file"},
      {{"trace", "p.capnp"}, "missing -o OUT"},
      {{"trace", "p.capnp", "-o"}, "-o needs a value"},
      {{"trace", "p.capnp", "-o", "a", "-o", "b"}, "more than one output"},
      {{"trace", "p.capnp", "-o", "a", "--kind", "idle"}, "--kind belongs to heatmap"},
      {{"heatmap", "p.capnp", "-o", "a", "--kind", "busy"}, "unknown step kind 'busy' (exchange, compute, synchronization or idle)"},
      {{"heatmap", "p.capnp", "-o", "a", "--colour"}, "unknown option '--colour'"},
  };
  for (const auto& [args, reason] : bad) {
    const auto parsed = parse_arguments(args);
    ASSERT_FALSE(parsed.has_value()) << reason;
    EXPECT_EQ(parsed.error(), reason);
  }
}

// =============================================================================
// Running

TEST(Run, PrintsTheSummaryOfAProfileFile) {
  fixtures::ScratchDirectory dir;
  const auto path = dir.write_profile(fixtures::gemm_like_profile());
  const auto outcome = run({"summary", path.string()});
  EXPECT_EQ(outcome.code, 0);
  EXPECT_THAT(outcome.out, StartsWith("profile:  " + path.string() + "\nclock:    1000000000 Hz"));
  EXPECT_THAT(outcome.out, HasSubstr("samples:  5888\n"));
  EXPECT_EQ(outcome.err, "");
}

TEST(Run, WritesTheTraceAndHeatmapFilesAndNothingElse) {
  fixtures::ScratchDirectory dir;
  const auto path = dir.write_profile(fixtures::gemm_like_profile(100));
  write_file(dir / "trace.json", "old");
  const auto traced = run({"trace", path.string(), "-o", (dir / "trace.json").string()});
  EXPECT_EQ(traced.code, 0) << traced.err;
  EXPECT_THAT(traced.out, HasSubstr("(400 events on 100 tile tracks"));
  const auto trace = nlohmann::json::parse(read_file(dir / "trace.json"));
  EXPECT_EQ(trace.at("traceEvents").size(), 1u + 2 * 100 + 400);

  const auto drawn = run({"heatmap", path.string(), "-o", (dir / "heatmap.svg").string(), "--kind", "compute"});
  EXPECT_EQ(drawn.code, 0) << drawn.err;
  EXPECT_THAT(read_file(dir / "heatmap.svg"), HasSubstr("profile.capnp: compute share per tile"));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"heatmap.svg", "profile.capnp", "trace.json"}));
}

TEST(Run, FailsWithTheSystemErrorForAFileThatCannotBeRead) {
  fixtures::ScratchDirectory dir;
  const auto missing = run({"summary", (dir / "missing.capnp").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "kivu-profile: cannot read " + (dir / "missing.capnp").string() + ": No such file or directory\n");
  const auto directory = run({"summary", dir.path().string()});
  EXPECT_EQ(directory.code, 1);
  EXPECT_THAT(directory.err, HasSubstr("Is a directory"));
}

TEST(Run, FailsWithThePackageErrorForAFileThatCannotBeDecoded) {
  fixtures::ScratchDirectory dir;
  const auto path = dir.write_profile(fixtures::gemm_like_profile(3));
  auto bytes = read_file(path);

  write_file(dir / "cut.capnp", bytes.substr(0, bytes.size() / 2));
  const auto cut = run({"summary", (dir / "cut.capnp").string()});
  EXPECT_EQ(cut.code, 1);
  EXPECT_THAT(cut.err, StartsWith("kivu-profile: cannot decode " + (dir / "cut.capnp").string() + ": Capnp("));

  // The root pointer's offset (in words, after the pointer) leads to the
  // root's data section, whose first 32 bits hold the schema version.
  ASSERT_GE(bytes.size(), 24u);
  std::uint32_t segment_count = 0;
  std::memcpy(&segment_count, bytes.data(), 4);
  const std::size_t segment_start = ((segment_count + 2) / 2) * 8;
  std::int32_t pointer = 0;
  std::memcpy(&pointer, bytes.data() + segment_start, 4);
  const std::size_t version_at = segment_start + 8 + static_cast<std::size_t>(pointer >> 2) * 8;
  bytes[version_at] = 4;
  write_file(dir / "v4.capnp", bytes);
  const auto v4 = run({"trace", (dir / "v4.capnp").string(), "-o", (dir / "t.json").string()});
  EXPECT_EQ(v4.code, 1);
  EXPECT_EQ(v4.err, "kivu-profile: cannot decode " + (dir / "v4.capnp").string() +
                        ": Invalid(\"unsupported profile schema version 4\")\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "t.json"));
}

TEST(Run, LeavesTheOldOutputInPlaceWhenWritingFails) {
  fixtures::ScratchDirectory dir;
  auto report = fixtures::gemm_like_profile(2);
  report.clock_hz = 0;
  const auto path = dir.write_profile(report);
  write_file(dir / "trace.json", "old");
  const auto outcome = run({"trace", path.string(), "-o", (dir / "trace.json").string()});
  EXPECT_EQ(outcome.code, 1);
  EXPECT_THAT(outcome.err, HasSubstr("cannot write " + (dir / "trace.json").string() + ": the profile's clock is 0 Hz"));
  EXPECT_EQ(read_file(dir / "trace.json"), "old");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"profile.capnp", "trace.json"})) << "no temporary file is left";
}

TEST(Run, RefusesToWriteOverTheProfileItself) {
  fixtures::ScratchDirectory dir;
  const auto path = dir.write_profile(fixtures::gemm_like_profile(2));
  const auto before = read_file(path);
  const auto outcome = run({"heatmap", path.string(), "-o", (dir.path() / "." / "profile.capnp").string()});
  EXPECT_EQ(outcome.code, 2);
  EXPECT_THAT(outcome.err, HasSubstr("is the profile itself"));
  EXPECT_EQ(read_file(path), before);
}

TEST(Run, FailsWhenTheOutputDirectoryDoesNotExist) {
  fixtures::ScratchDirectory dir;
  const auto path = dir.write_profile(fixtures::gemm_like_profile(2));
  const auto outcome = run({"heatmap", path.string(), "-o", (dir / "no" / "h.svg").string()});
  EXPECT_EQ(outcome.code, 1);
  EXPECT_EQ(outcome.err,
            "kivu-profile: cannot write " + (dir / "no" / "h.svg").string() + ": No such file or directory\n");
}

TEST(Run, PrintsTheUsageForBadArgumentsAndForHelp) {
  const auto bad = run({"heatmap", "p.capnp"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(bad.err, "kivu-profile: missing -o OUT\n\n" + std::string(kivu_profile::usage()));
  EXPECT_EQ(bad.out, "");
  const auto help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out, kivu_profile::usage());
  EXPECT_EQ(help.err, "");
}

// =============================================================================
// The executable

TEST(Executable, ExitsWithTwoAndTheUsageForBadArguments) {
  const auto outcome = run_executable("");
  EXPECT_EQ(outcome.code, 2);
  EXPECT_THAT(outcome.err, StartsWith("kivu-profile: missing subcommand\n\nusage: kivu-profile summary FILE\n"));
  EXPECT_EQ(run_executable("--help").code, 0);
}

TEST(Executable, ExitsWithOneForAProfileThatCannotBeRead) {
  fixtures::ScratchDirectory dir;
  write_file(dir / "empty.capnp", "");
  const auto outcome = run_executable("summary '" + (dir / "empty.capnp").string() + "'");
  EXPECT_EQ(outcome.code, 1);
  EXPECT_THAT(outcome.err, StartsWith("kivu-profile: cannot decode " + (dir / "empty.capnp").string() + ": Capnp("));
}
