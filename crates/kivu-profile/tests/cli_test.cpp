#include "cli.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "kivu_testing/captured_output.hpp"
#include "kivu_testing/child_process.hpp"
#include "kivu_testing/files.hpp"
#include "kivu_version.hpp"
#include "profile_fixtures.hpp"

namespace {

using kivu_package::ProfileStepKind;
using kivu_profile::Command;
using kivu_profile::parse_arguments;
using kivu_testing::read_file;
using testing::HasSubstr;
using testing::StartsWith;

using Outcome = kivu_testing::CapturedOutput;

Outcome run(std::vector<std::string> args) {
  return kivu_testing::capture_output(
      [&](std::ostream& out, std::ostream& err) { return kivu_profile::run(args, out, err); });
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Runs the built executable with `arguments`; returns its exit code (-1 when
// a signal ended it) and what it printed.
Outcome run_executable(const std::vector<std::string>& arguments) {
  const auto child = kivu_testing::run_child({.program = KIVU_PROFILE_EXECUTABLE, .arguments = arguments});
  return {child.exited ? child.exit_code : -1, child.out, child.err};
}

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
  Command diff{A::Diff, "new.capnp", {}, {}, "base.capnp"};
  EXPECT_EQ(parse_arguments(Args{"diff", "base.capnp", "new.capnp"}), diff);
  diff.json = true;
  diff.threshold = kivu_profile::Threshold{2'500'000};
  diff.top = 0;
  EXPECT_EQ(parse_arguments(Args{"diff", "--json", "base.capnp", "--threshold", "2.5", "new.capnp", "--top=0"}), diff);
  // The largest threshold is accepted, as are its six decimals of zero.
  for (const char* largest : {"1000000000", "1000000000.000000"}) {
    EXPECT_EQ(parse_arguments(Args{"diff", "a", "b", "--threshold", largest})->threshold,
              (kivu_profile::Threshold{1'000'000'000'000'000}))
        << largest;
  }
  EXPECT_EQ(parse_arguments(Args{"heatmap", "new.capnp", "--baseline", "base.capnp", "-o", "h.svg"}),
            (Command{A::Heatmap, "new.capnp", "h.svg", {}, "base.capnp"}));
  EXPECT_TRUE(parse_arguments(Args{"summary", "p.capnp", "--json"})->json);
  EXPECT_EQ(parse_arguments(Args{"--help"})->action, A::Help);
  EXPECT_EQ(parse_arguments(Args{"trace", "p.capnp", "-h"})->action, A::Help);
  EXPECT_EQ(parse_arguments(Args{"--version"})->action, A::Version);
  EXPECT_EQ(parse_arguments(Args{"summary", "p.capnp", "--version"})->action, A::Version);
  // "-" is standard input as a profile, standard output as -o's value.
  EXPECT_EQ(parse_arguments(Args{"trace", "-", "-o", "-"}), (Command{A::Trace, "-", "-", {}}));
  EXPECT_EQ(parse_arguments(Args{"heatmap", "new.capnp", "--baseline", "-", "-o", "h.svg"}),
            (Command{A::Heatmap, "new.capnp", "h.svg", {}, "-"}));
  EXPECT_EQ(parse_arguments(Args{"diff", "-", "new.capnp"}), (Command{A::Diff, "new.capnp", {}, {}, "-"}));
}

TEST(ParseArguments, TakesEverythingAfterTheMarkAsAProfile) {
  using A = Command::Action;
  using Args = std::vector<std::string>;
  EXPECT_EQ(parse_arguments(Args{"summary", "--", "-x"}), (Command{A::Summary, "-x", {}, {}}));
  Command diff{A::Diff, "--top", {}, {}, "-a"};
  diff.json = true;
  EXPECT_EQ(parse_arguments(Args{"diff", "--json", "--", "-a", "--top"}), diff);
  EXPECT_EQ(parse_arguments(Args{"summary", "--", "--help"}), (Command{A::Summary, "--help", {}, {}}));
  // Options may come before the subcommand.
  EXPECT_EQ(parse_arguments(Args{"-o", "t.json", "trace", "p.capnp"}), (Command{A::Trace, "p.capnp", "t.json", {}}));
}

TEST(ParseArguments, RejectsBadCommandLinesWithAReason) {
  using Args = std::vector<std::string>;
  const std::pair<Args, std::string> bad[] = {
      {{}, "missing subcommand"},
      {{"show", "p"}, "unknown subcommand \"show\""},
      {{"summary"}, "missing profile FILE"},
      {{"summary", "a", "b"}, "unexpected argument \"b\""},
      {{"summary", "a", "-o", "x"}, "summary writes no file"},
      {{"trace", "p.capnp"}, "missing -o OUT"},
      {{"trace", "p.capnp", "-o"}, "-o needs a value"},
      {{"trace", "p.capnp", "-o", "a", "-o", "b"}, "more than one output"},
      {{"trace", "p.capnp", "-o", "a", "--kind", "idle"}, "--kind belongs to heatmap"},
      {{"heatmap", "p.capnp", "-o", "a", "--kind", "busy"},
       "unknown step kind \"busy\" (exchange, compute, synchronization or idle)"},
      {{"heatmap", "p.capnp", "-o", "a", "--colour"}, "unknown option \"--colour\""},
      {{"diff"}, "missing profiles BASE and NEW"},
      {{"diff", "base.capnp"}, "missing the NEW profile"},
      {{"diff", "a", "b", "c"}, "unexpected argument \"c\""},
      {{"diff", "a", "b", "--threshold", "-1"},
       "bad --threshold \"-1\" (a percentage from 0 to 1000000000, at most 6 decimals)"},
      {{"diff", "a", "b", "--threshold", "five"},
       "bad --threshold \"five\" (a percentage from 0 to 1000000000, at most 6 decimals)"},
      {{"diff", "a", "b", "--threshold", "9999999999"},
       "bad --threshold \"9999999999\" (a percentage from 0 to 1000000000, at most 6 decimals)"},
      {{"diff", "a", "b", "--threshold", "1000000000.000001"},
       "bad --threshold \"1000000000.000001\" (a percentage from 0 to 1000000000, at most 6 decimals)"},
      {{"diff", "a", "b", "--threshold", "5", "--threshold=5"}, "more than one --threshold"},
      {{"diff", "a", "b", "--top", "1", "--top", "2"}, "more than one --top"},
      {{"heatmap", "p.capnp", "-o", "a", "--kind", "idle", "--kind=compute"}, "more than one --kind"},
      {{"diff", "a", "b", "--threshold"}, "--threshold needs a value"},
      {{"diff", "a", "b", "--top", "-3"}, "bad --top \"-3\" (a count of 0 or more)"},
      {{"diff", "a", "b", "--top", "+3"}, "bad --top \"+3\" (a count of 0 or more)"},
      {{"diff", "a", "b", "-o", "x"}, "diff writes no file"},
      {{"diff", "a", "b", "--baseline", "c"}, "--baseline belongs to heatmap"},
      {{"summary", "a", "--baseline", "c"}, "--baseline belongs to heatmap"},
      {{"trace", "a", "-o", "t", "--baseline", "c"}, "--baseline belongs to heatmap"},
      {{"summary", "a", "--threshold", "5"}, "--threshold belongs to diff"},
      {{"heatmap", "a", "-o", "h", "--json"}, "--json belongs to summary and diff"},
      {{"diff", "-", "-"}, "only one profile can come from standard input (-)"},
      {{"heatmap", "-", "--baseline", "-", "-o", "h"}, "only one profile can come from standard input (-)"},
      // Repeats, empty values and the end of the options.
      {{"trace", "p.capnp", "-o", "a", "--output=b"}, "more than one output"},
      {{"heatmap", "p.capnp", "-o", "h", "--baseline", "a", "--baseline=b"}, "more than one --baseline"},
      {{"trace", "p.capnp", "--output="}, "empty output path"},
      {{"trace", "p.capnp", "--output=", "q.capnp"}, "empty output path"},
      {{"heatmap", "p.capnp", "-o", "h", "--baseline="}, "empty baseline path"},
      {{"summary", ""}, "empty profile path"},
      {{"summary", "-x"}, "unknown option \"-x\""},
      {{"summary", "p.capnp", "--top=3"}, "--top belongs to diff"},
      {{"trace", "p.capnp", "--", "-o", "t.json"}, "unexpected argument \"-o\""},
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
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile());
  const auto outcome = run({"summary", path.string()});
  EXPECT_EQ(outcome.code, 0);
  EXPECT_THAT(outcome.out, StartsWith("profile:  " + path.string() + "\nclock:    1000000000 Hz"));
  EXPECT_THAT(outcome.out, HasSubstr("samples:  5888\n"));
  EXPECT_EQ(outcome.err, "");
}

TEST(Run, WritesTheTraceAndHeatmapFilesAndNothingElse) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(100));
  write_file(dir / "trace.json", "old");
  const auto traced = run({"trace", path.string(), "-o", (dir / "trace.json").string()});
  EXPECT_EQ(traced.code, 0) << traced.err;
  EXPECT_EQ(traced.out + traced.err, "") << "silent on success";
  const auto trace = nlohmann::json::parse(read_file(dir / "trace.json"));
  EXPECT_EQ(trace.at("traceEvents").size(), 1u + 2 * 100 + 400);

  const auto drawn = run({"heatmap", path.string(), "-o", (dir / "heatmap.svg").string(), "--kind", "compute"});
  EXPECT_EQ(drawn.code, 0) << drawn.err;
  EXPECT_EQ(drawn.out + drawn.err, "") << "silent on success";
  EXPECT_THAT(read_file(dir / "heatmap.svg"), HasSubstr("profile.capnp: compute share per tile"));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"heatmap.svg", "profile.capnp", "trace.json"}));
}

TEST(Run, FailsWithTheSystemErrorForAFileThatCannotBeRead) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto missing = run({"summary", (dir / "missing.capnp").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err,
            "kivu-profile: cannot read " + (dir / "missing.capnp").string() + ": No such file or directory\n");
  const auto directory = run({"summary", dir.path().string()});
  EXPECT_EQ(directory.code, 1);
  EXPECT_THAT(directory.err, HasSubstr("Is a directory"));
}

TEST(Run, FailsWithThePackageErrorForAFileThatCannotBeDecoded) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(3));
  auto bytes = read_file(path);

  write_file(dir / "cut.capnp", bytes.substr(0, bytes.size() / 2));
  const auto cut = run({"summary", (dir / "cut.capnp").string()});
  EXPECT_EQ(cut.code, 1);
  EXPECT_THAT(cut.err, StartsWith("kivu-profile: cannot decode " + (dir / "cut.capnp").string() +
                                  ": the file is cut short: it ends before the data its message points to (Capnp("));

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
                        ": the profile's schema version is 4; this tool reads versions 1 to 3"
                        " (Invalid(\"unsupported profile schema version 4\"))\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "t.json"));
}

TEST(Run, LeavesTheOldOutputInPlaceWhenWritingFails) {
  kivu_profile::testing::ScratchDirectory dir;
  auto report = kivu_profile::testing::gemm_like_profile(2);
  report.clock_hz = 0;
  const auto path = dir.write_profile(report);
  write_file(dir / "trace.json", "old");
  const auto outcome = run({"trace", path.string(), "-o", (dir / "trace.json").string()});
  EXPECT_EQ(outcome.code, 1);
  EXPECT_THAT(outcome.err,
              HasSubstr("cannot write " + (dir / "trace.json").string() + ": the profile's clock is 0 Hz"));
  EXPECT_EQ(read_file(dir / "trace.json"), "old");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"profile.capnp", "trace.json"})) << "no temporary file is left";
}

TEST(Run, RefusesToWriteOverTheProfileItself) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(2));
  const auto before = read_file(path);
  const auto outcome = run({"heatmap", path.string(), "-o", (dir.path() / "." / "profile.capnp").string()});
  EXPECT_EQ(outcome.code, 2);
  EXPECT_THAT(outcome.err, HasSubstr("is the profile itself"));
  EXPECT_EQ(read_file(path), before);
}

TEST(Run, FailsWhenTheOutputDirectoryDoesNotExist) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(2));
  const auto outcome = run({"heatmap", path.string(), "-o", (dir / "no" / "h.svg").string()});
  EXPECT_EQ(outcome.code, 1);
  EXPECT_EQ(outcome.err,
            "kivu-profile: cannot write " + (dir / "no" / "h.svg").string() + ": No such file or directory\n");
}

TEST(Run, WritesToStandardOutputForADash) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(2));
  const auto outcome = run({"heatmap", path.string(), "-o", "-"});
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_THAT(outcome.out, StartsWith("<?xml"));
  EXPECT_THAT(outcome.out, testing::EndsWith("</svg>\n"));
  EXPECT_EQ(outcome.err, "");
  EXPECT_FALSE(std::filesystem::exists("-"));
}

TEST(Run, FollowsALinkGivenAsTheOutputAndReplacesItsTarget) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(2));
  write_file(dir / "real.svg", "old");
  std::filesystem::create_symlink("real.svg", dir / "link.svg");
  const auto outcome = run({"heatmap", path.string(), "-o", (dir / "link.svg").string()});
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.svg"));
  EXPECT_THAT(read_file(dir / "real.svg"), StartsWith("<?xml"));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link.svg", "profile.capnp", "real.svg"}));
}

TEST(Run, GivesTheSystemsReasonWhenTheOutputDeviceIsFull) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(2));
  const auto outcome = run({"trace", path.string(), "-o", "/dev/full"});
  EXPECT_EQ(outcome.code, 1);
  EXPECT_EQ(outcome.err, "kivu-profile: cannot write /dev/full: No space left on device\n");
  struct stat status {};
  ASSERT_EQ(::stat("/dev/full", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode)) << "the device stays a device";
}

TEST(Run, PrintsTheUsageForBadArgumentsAndForHelp) {
  // A bad command line: the reason, then the subcommand's usage line.
  const auto bad = run({"heatmap", "p.capnp"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(bad.err,
            "kivu-profile: missing -o OUT\n"
            "usage: kivu-profile heatmap FILE -o OUT.svg [--kind KIND] [--baseline BASE]\n");
  EXPECT_EQ(bad.out, "");
  const auto repeated = run({"diff", "a", "b", "--top", "1", "--top=2"});
  EXPECT_EQ(repeated.code, 2);
  EXPECT_EQ(repeated.err,
            "kivu-profile: more than one --top\n"
            "usage: kivu-profile diff BASE NEW [--threshold PCT] [--top N] [--json]\n");
  for (const auto& args : std::vector<std::vector<std::string>>{{"bogus"}, {"--bogus"}, {}, {"summary", "--colour"}}) {
    const auto unknown = run(args);
    EXPECT_EQ(unknown.code, 2);
    EXPECT_EQ(std::ranges::count(unknown.err, '\n'), 2) << unknown.err;
    EXPECT_EQ(unknown.out, "");
  }
  EXPECT_EQ(run({"--bogus"}).err,
            "kivu-profile: unknown option \"--bogus\"\n"
            "usage: kivu-profile summary|diff|trace|heatmap ARGS... | --help | --version\n");
  const auto help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out, kivu_profile::usage());
  EXPECT_EQ(help.err, "");
}

// =============================================================================
// Comparing profiles

using kivu_profile::testing::sample;

// A profile whose tile 0 computes for `compute` cycles from cycle 0 and
// whose tiles 1 .. extra_tiles exchange for 10 cycles.
kivu_package::ProfileReport compute_profile(std::uint32_t compute, std::uint32_t extra_tiles = 1) {
  kivu_package::ProfileReport report{1'000'000'000, {{0, {sample(ProfileStepKind::Compute, 0, compute)}}}};
  for (std::uint32_t tile = 1; tile <= extra_tiles; ++tile) {
    report.tiles.push_back({tile, {sample(ProfileStepKind::Exchange, 0, 10)}});
  }
  return report;
}

TEST(Run, PrintsTheSummaryAsJson) {
  kivu_profile::testing::ScratchDirectory dir;
  auto report = compute_profile(1000, 2);
  report.tiles.push_back({7, {}});
  const auto path = dir.write_profile(report);
  const auto outcome = run({"summary", path.string(), "--json"});
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  const auto json = nlohmann::json::parse(outcome.out);
  EXPECT_EQ(json, nlohmann::json::parse(R"({"clock_hz": 1000000000, "tiles": 4, "samples": 3,
      "span_start": 0, "span_end": 1000, "span_cycles": 1000,
      "cycles": {"exchange": 20, "compute": 1000, "synchronization": 0, "idle": 0},
      "busy_cycles": 1020, "tiles_without_samples": [7]})"));
}

TEST(Run, DiffsTwoProfileFilesAsJson) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto base = dir.write_profile(compute_profile(1000, 2), "base.capnp");
  auto next_report = compute_profile(800, 1);
  next_report.tiles.push_back({5, {sample(ProfileStepKind::Synchronization, 0, 40)}});
  const auto next = dir.write_profile(next_report, "new.capnp");

  const auto outcome = run({"diff", base.string(), next.string(), "--json", "--top", "2"});
  ASSERT_EQ(outcome.code, 3) << "synchronization grew from 0: " << outcome.err;
  const auto json = nlohmann::json::parse(outcome.out);
  EXPECT_EQ(json.at("base").at("busy_cycles"), 1020);
  EXPECT_EQ(json.at("new").at("tiles"), 3);
  EXPECT_EQ(json.at("span_cycles"), nlohmann::json::parse(R"({"base": 1000, "new": 800, "change": -0.2})"));
  EXPECT_EQ(json.at("busy_cycles"),
            nlohmann::json::parse(R"({"base": 1020, "new": 850, "change": -0.16666666666666666})"));
  EXPECT_EQ(json.at("cycles").at("compute"), nlohmann::json::parse(R"({"base": 1000, "new": 800, "change": -0.2})"));
  EXPECT_EQ(json.at("cycles").at("synchronization"),
            nlohmann::json::parse(R"({"base": 0, "new": 40, "change": null})"));
  EXPECT_EQ(json.at("cycles").at("idle").at("change"), nullptr);
  EXPECT_EQ(json.at("tiles"), nlohmann::json::parse(R"([{"tile": 0, "base_busy": 1000, "new_busy": 800, "change": -0.2},
      {"tile": 1, "base_busy": 10, "new_busy": 10, "change": 0.0}])"));
  EXPECT_EQ(json.at("only_in_base"), nlohmann::json::parse("[2]"));
  EXPECT_EQ(json.at("only_in_new"), nlohmann::json::parse("[5]"));
  EXPECT_EQ(json.at("threshold"), 0.05);
  EXPECT_EQ(json.at("regression"), true);
  EXPECT_EQ(json.size(), 10u);
  EXPECT_EQ(outcome.err, "");
}

TEST(Run, DiffExitsWithThreeOnlyForGrowthBeyondTheThreshold) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto base = dir.write_profile(compute_profile(1000, 0), "base.capnp");
  const auto next = dir.write_profile(compute_profile(1050, 0), "new.capnp");
  const auto at_threshold = run({"diff", base.string(), next.string()});
  EXPECT_EQ(at_threshold.code, 0) << "growth of exactly 5% is no regression";
  EXPECT_THAT(at_threshold.out, HasSubstr("\nno regression: nothing grew by more than 5%\n"));
  const auto beyond = run({"diff", base.string(), next.string(), "--threshold=4.999"});
  EXPECT_EQ(beyond.code, 3);
  EXPECT_THAT(beyond.out, HasSubstr("\nregression: span, busy, compute grew by more than 4.999%\n"));
  const auto json = run({"diff", base.string(), next.string(), "--threshold", "4.999", "--json"});
  EXPECT_EQ(json.code, 3);
  EXPECT_EQ(nlohmann::json::parse(json.out).at("regression"), true);
  EXPECT_EQ(run({"diff", next.string(), base.string(), "--threshold", "0"}).code, 0) << "faster is no regression";

  const auto missing = run({"diff", base.string(), (dir / "missing.capnp").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_THAT(missing.err, HasSubstr("missing.capnp: No such file or directory"));
}

TEST(Run, WarnsOnStandardErrorWhenJsonComparesDifferentClocks) {
  kivu_profile::testing::ScratchDirectory dir;
  auto slow_clock = compute_profile(1000);
  slow_clock.clock_hz = 500'000'000;
  const auto base = dir.write_profile(slow_clock, "base.capnp");
  const auto next = dir.write_profile(compute_profile(1000), "new.capnp");
  const auto outcome = run({"diff", base.string(), next.string(), "--json"});
  EXPECT_EQ(outcome.code, 0);
  EXPECT_THAT(outcome.err, StartsWith("kivu-profile: warning: the clocks differ (500000000 Hz in base, 1000000000 Hz"));
  EXPECT_EQ(nlohmann::json::parse(outcome.out).at("span_cycles").at("change"), 0.0) << "compared in cycles";
}

TEST(Run, WritesTheChangeHeatmapAgainstABaseline) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto base = dir.write_profile(compute_profile(1000), "base.capnp");
  const auto next = dir.write_profile(compute_profile(1500), "new.capnp");
  const auto outcome = run({"heatmap", next.string(), "--baseline", base.string(), "-o", (dir / "h.svg").string()});
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  const auto svg = read_file(dir / "h.svg");
  EXPECT_THAT(svg, HasSubstr("new.capnp against base.capnp: change of busy cycles per tile"));
  EXPECT_THAT(
      svg,
      HasSubstr("<title>tile 0 (row 0, position 0): busy cycles base 1000, new 1500, change +500 (+50.0%)</title>"));
  EXPECT_EQ(outcome.out + outcome.err, "") << "silent on success";
  const auto over_base = run({"heatmap", next.string(), "--baseline", base.string(), "-o", base.string()});
  EXPECT_EQ(over_base.code, 2);
  EXPECT_THAT(over_base.err, HasSubstr("is the base profile"));
}

// =============================================================================
// The executable

TEST(Executable, ExitsWithTwoAndTheUsageForBadArguments) {
  const auto outcome = run_executable({});
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.err,
            "kivu-profile: missing subcommand\n"
            "usage: kivu-profile summary|diff|trace|heatmap ARGS... | --help | --version\n");
  EXPECT_EQ(outcome.out, "");
  // Help goes to standard output, whatever else is on the command line.
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"bogus", "--help"}}) {
    const auto help = run_executable(args);
    EXPECT_EQ(help.code, 0) << args.back();
    EXPECT_EQ(help.out, kivu_profile::usage()) << args.back();
    EXPECT_EQ(help.err, "") << args.back();
  }
}

TEST(Executable, EachSubcommandHasItsOwnHelpNamingItsOptionsAndNoOthers) {
  // Each subcommand's own options; every other one of the tool's must not
  // appear in its help.
  const std::map<std::string, std::vector<std::string>> options = {
      {"summary", {"--json"}},
      {"diff", {"--threshold", "--top", "--json"}},
      {"trace", {"--output"}},
      {"heatmap", {"--output", "--kind", "--baseline"}},
  };
  const std::vector<std::string> all = {"--json", "--threshold", "--top", "--output", "--kind", "--baseline"};
  for (const auto& [subcommand, own] : options) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{subcommand, "--help"}, {subcommand, "p.capnp", "-h"}}) {
      const auto help = run_executable(args);
      EXPECT_EQ(help.code, 0) << subcommand;
      EXPECT_EQ(help.err, "") << subcommand;
      EXPECT_THAT(help.out,
                  StartsWith(std::string(kivu_profile::short_usage(std::vector<std::string>{subcommand})) + "\n"));
      EXPECT_NE(help.out, kivu_profile::usage());
      EXPECT_THAT(help.out, HasSubstr("Exit status: 0"));
      for (const auto& option : all) {
        // In the options list (the usage line has them in brackets).
        const bool listed = help.out.find(" " + option + " ") != std::string::npos ||
                            help.out.find(", " + option) != std::string::npos;
        EXPECT_EQ(listed, std::ranges::find(own, option) != own.end()) << subcommand << " help and " << option;
      }
    }
  }
}

TEST(Executable, ReadsAProfileNamedLikeAnOptionAfterTheMark) {
  kivu_profile::testing::ScratchDirectory dir;
  std::filesystem::rename(dir.write_profile(kivu_profile::testing::gemm_like_profile(2)), dir / "-x");
  const auto refused = kivu_testing::run_child(
      {.program = KIVU_PROFILE_EXECUTABLE, .arguments = {"summary", "-x"}, .directory = dir.path().string()});
  EXPECT_EQ(refused.exit_code, 2) << refused.describe();
  EXPECT_THAT(refused.err, StartsWith("kivu-profile: unknown option \"-x\"\n"));
  const auto read = kivu_testing::run_child(
      {.program = KIVU_PROFILE_EXECUTABLE, .arguments = {"summary", "--", "-x"}, .directory = dir.path().string()});
  EXPECT_EQ(read.exit_code, 0) << read.describe();
  EXPECT_THAT(read.out, StartsWith("profile:  -x\n"));
}

TEST(Executable, ExitsWithOneForAProfileThatCannotBeRead) {
  kivu_profile::testing::ScratchDirectory dir;
  write_file(dir / "empty.capnp", "");
  const auto outcome = run_executable({"summary", (dir / "empty.capnp").string()});
  EXPECT_EQ(outcome.code, 1);
  EXPECT_THAT(outcome.err, StartsWith("kivu-profile: cannot decode " + (dir / "empty.capnp").string() +
                                      ": the file is empty (Capnp("));
}

TEST(Executable, RefusesARepeatedThresholdWithStatusTwo) {
  const auto outcome = run_executable({"diff", "a", "b", "--threshold", "1", "--threshold", "2"});
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.err,
            "kivu-profile: more than one --threshold\n"
            "usage: kivu-profile diff BASE NEW [--threshold PCT] [--top N] [--json]\n");
  const auto output = run_executable({"heatmap", "p.capnp", "--output=a.svg", "-o", "b.svg"});
  EXPECT_EQ(output.code, 2);
  EXPECT_THAT(output.err, StartsWith("kivu-profile: more than one output\nusage: kivu-profile heatmap "));
}

// Standard output closed (`>&-`): every subcommand gives the system's reason.
TEST(Executable, GivesTheSystemsReasonWhenStandardOutputIsClosed) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(10)).string();
  const auto closed = [](const std::vector<std::string>& arguments) {
    std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" >&-", KIVU_PROFILE_EXECUTABLE};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    const auto child = kivu_testing::run_child({.program = "/bin/sh", .arguments = shell});
    return Outcome{child.exited ? child.exit_code : -1, child.out, child.err};
  };
  const auto summary = closed({"summary", path});
  EXPECT_EQ(summary.code, 1);
  EXPECT_EQ(summary.err, "kivu-profile: cannot write to standard output: Bad file descriptor\n");
  for (const char* action : {"trace", "heatmap"}) {
    const auto written = closed({action, path, "-o", "-"});
    EXPECT_EQ(written.code, 1) << action;
    EXPECT_EQ(written.err, "kivu-profile: cannot write to standard output: Bad file descriptor\n") << action;
  }
}

// =============================================================================
// Reading in place

TEST(Run, LeavesNoTraceOfAProfileThatTurnsOutUndecodableHalfway) {
  kivu_profile::testing::ScratchDirectory dir;
  auto report = kivu_profile::testing::gemm_like_profile(3);
  report.tiles.back().samples.back().step.operation = "PATCHME";
  const auto path = dir.write_profile(report);
  auto bytes = read_file(path);
  bytes[bytes.find("PATCHME")] = '\xff';
  write_file(path, bytes);
  const std::string undecodable = "cannot decode " + path.string() +
                                  ": a text in the profile is not UTF-8 (bad byte 0 of the text)"
                                  " (Utf8(Utf8Error { valid_up_to: 0, error_len: Some(1) }))\n";

  write_file(dir / "trace.json", "old");
  const auto to_file = run({"trace", path.string(), "-o", (dir / "trace.json").string()});
  EXPECT_EQ(to_file.code, 1);
  EXPECT_THAT(to_file.err, HasSubstr(undecodable));
  EXPECT_EQ(read_file(dir / "trace.json"), "old");
  const auto to_standard_output = run({"trace", path.string(), "-o", "-"});
  EXPECT_EQ(to_standard_output.code, 1);
  EXPECT_EQ(to_standard_output.out, "");
  EXPECT_EQ(to_standard_output.err, "kivu-profile: " + undecodable);
  // The summary reads no text, so the bad one does not stop it.
  EXPECT_EQ(run({"summary", path.string()}).code, 0);
}

TEST(Run, ReadsAProfileFromAPipeAsFromItsFile) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(40, 2));
  const kivu_testing::PipeFeeder pipe(read_file(path));
  const auto piped = run({"summary", pipe.path()});
  const auto from_file = run({"summary", path.string()});
  EXPECT_EQ(piped.code, 0) << piped.err;
  EXPECT_EQ(piped.out.substr(piped.out.find('\n')), from_file.out.substr(from_file.out.find('\n')));
}

// =============================================================================
// Standard input, the version and plain decode errors

// Runs the executable through the shell with `redirection` appended, e.g.
// "< FILE", so that its standard input is what a user's shell gives it.
Outcome run_executable_with(const std::vector<std::string>& arguments, const std::string& redirection) {
  std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" " + redirection, KIVU_PROFILE_EXECUTABLE};
  shell.insert(shell.end(), arguments.begin(), arguments.end());
  const auto child = kivu_testing::run_child({.program = "/bin/sh", .arguments = shell});
  return {child.exited ? child.exit_code : -1, child.out, child.err};
}

TEST(Executable, PrintsTheWorkspaceVersion) {
  const auto outcome = run_executable({"--version"});
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(outcome.out, "kivu-profile " + std::string(kivu::workspace_version) + "\n");
  EXPECT_THAT(outcome.out, testing::MatchesRegex("kivu-profile [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  EXPECT_EQ(outcome.err, "");
}

TEST(Executable, ReadsTheProfileFromStandardInputForADash) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto path = dir.write_profile(kivu_profile::testing::gemm_like_profile(20, 2)).string();
  const auto quoted = "'" + path + "'";
  const auto from_file = run_executable({"summary", path});
  ASSERT_EQ(from_file.code, 0) << from_file.err;
  const auto figures = [](const std::string& summary) { return summary.substr(summary.find('\n')); };

  // A regular file on standard input is mapped, a pipe read to its end.
  const auto redirected = run_executable_with({"summary", "-"}, "< " + quoted);
  EXPECT_EQ(redirected.code, 0) << redirected.err;
  EXPECT_THAT(redirected.out, StartsWith("profile:  standard input\n"));
  EXPECT_EQ(figures(redirected.out), figures(from_file.out));
  const auto piped = kivu_testing::run_child(
      {.program = "/bin/sh", .arguments = {"-c", "cat \"$1\" | \"$0\" summary -", KIVU_PROFILE_EXECUTABLE, path}});
  EXPECT_EQ(piped.exit_code, 0) << piped.describe();
  EXPECT_EQ(figures(piped.out), figures(from_file.out));

  // Trace from standard input to standard output: "-" on both sides.
  const auto traced = run_executable_with({"trace", "-", "-o", "-"}, "< " + quoted);
  EXPECT_EQ(traced.code, 0) << traced.err;
  EXPECT_EQ(traced.out, run_executable({"trace", path, "-o", "-"}).out);
  EXPECT_TRUE(nlohmann::json::accept(traced.out));
  EXPECT_EQ(traced.err, "");

  // Either side of a comparison.
  const auto as_base = run_executable_with({"diff", "-", path}, "< " + quoted);
  EXPECT_EQ(as_base.code, 0) << as_base.err;
  EXPECT_THAT(as_base.out, HasSubstr("standard input"));
  const auto change = run_executable_with({"heatmap", path, "--baseline", "-", "-o", "-"}, "< " + quoted);
  EXPECT_EQ(change.code, 0) << change.err;
  EXPECT_THAT(change.out, HasSubstr("profile.capnp against standard input: change of busy cycles per tile"));

  // A file redirected to standard input is still protected from -o.
  const auto before = read_file(path);
  const auto over_itself = run_executable_with({"heatmap", "-", "-o", path}, "< " + quoted);
  EXPECT_EQ(over_itself.code, 2);
  EXPECT_THAT(over_itself.err, HasSubstr("is the profile itself"));
  EXPECT_EQ(read_file(path), before);

  // Nothing on standard input is an empty profile, named as such.
  const auto empty = run_executable_with({"summary", "-"}, "< /dev/null");
  EXPECT_EQ(empty.code, 1);
  EXPECT_THAT(empty.err, StartsWith("kivu-profile: cannot decode standard input: the file is empty"));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"profile.capnp"})) << "no file named - is made";
}

TEST(Run, SaysInPlainWordsWhatIsWrongWithAFileBeforeTheLibrarysForm) {
  kivu_profile::testing::ScratchDirectory dir;
  const auto good = read_file(dir.write_profile(kivu_profile::testing::gemm_like_profile(3)));
  const std::pair<std::string, std::string> files[] = {
      {"", "the file is empty (Capnp("},
      {good.substr(0, good.size() - 16),
       "the file is cut short: it ends before the data its message points to (Capnp("},
      {good.substr(0, 4), "the file is cut short: it ends inside its segment table (Capnp("},  // half a word
      {std::string(8, '\0'), "the file holds no message (Capnp("},                             // one empty segment
      {good.substr(0, 12), "the file is cut short: it ends before the data its message points to (Capnp("},
      // "junk" and more text: the first word claims 0x6b6e756a + 1 segments.
      {"junk text, not a profile\n", "not a profile: the segment table claims 1802401131 segments (Capnp("},
  };
  for (const auto& [bytes, reason] : files) {
    write_file(dir / "junk.capnp", bytes);
    const auto outcome = run({"summary", (dir / "junk.capnp").string()});
    EXPECT_EQ(outcome.code, 1);
    EXPECT_THAT(outcome.err, StartsWith("kivu-profile: cannot decode " + (dir / "junk.capnp").string() + ": " + reason))
        << bytes.size() << " bytes";
    EXPECT_THAT(outcome.err, testing::EndsWith("))\n"));
    EXPECT_EQ(std::ranges::count(outcome.err, '\n'), 1) << "one line";
    // The library's form is the one ProfileReport::read gives for the same bytes.
    const auto read = kivu_package::ProfileReport::read(std::istringstream(bytes));
    ASSERT_FALSE(read.has_value());
    EXPECT_THAT(outcome.err, testing::EndsWith(" (" + kivu_package::debug_string(read.error()) + ")\n"));
  }
}

TEST(DecodeReason, NamesEachKindOfLibraryErrorPlainly) {
  using kivu_package::PackageError;
  using kivu_profile::decode_reason;
  EXPECT_EQ(decode_reason(kivu_package::NotInSchema{7}),
            "a step has an unknown kind, 7 (0 to 3 are exchange, compute, synchronization and idle)");
  EXPECT_EQ(decode_reason(kivu_package::Utf8Error{12, 1}),
            "a text in the profile is not UTF-8 (bad byte 12 of the text)");
  EXPECT_EQ(decode_reason(PackageError::Invalid{"unsupported profile schema version 0"}),
            "the profile's schema version is 0; this tool reads versions 1 to 3");
  EXPECT_EQ(decode_reason(PackageError::Invalid{"something else"}), "something else");
  EXPECT_EQ(decode_reason(kivu_package::CapnpError{kivu_package::CapnpError::Kind::Failed, "who knows"}),
            "not a profile, or a damaged one");
}

}  // namespace
