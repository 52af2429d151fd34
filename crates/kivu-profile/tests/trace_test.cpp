#include "trace.hpp"

#include <cmath>
#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "profile_fixtures.hpp"

using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_profile::testing::sample;
using nlohmann::json;

namespace {

json trace_of(const ProfileReport& report) {
  std::ostringstream out;
  const auto written = kivu_profile::write_trace(report, out);
  EXPECT_TRUE(written.has_value()) << written.error();
  return json::parse(out.str());
}

std::vector<json> events_with_phase(const json& trace, const std::string& phase) {
  std::vector<json> events;
  for (const auto& event : trace.at("traceEvents")) {
    if (event.at("ph") == phase) events.push_back(event);
  }
  return events;
}

TEST(Trace, HoldsOneCompleteEventPerSampleWithTimesInMicroseconds) {
  auto report = kivu_profile::testing::gemm_like_profile(40, 3);
  report.clock_hz = 1'330'000'000;
  const auto trace = trace_of(report);
  const auto events = events_with_phase(trace, "X");
  ASSERT_EQ(events.size(), 40u * 3 * 4);

  // Events come tile by tile, samples in file order.
  std::size_t k = 0;
  for (const auto& tile : report.tiles) {
    for (const auto& s : tile.samples) {
      const auto& event = events[k++];
      EXPECT_EQ(event.at("tid").get<std::uint64_t>(), tile.physical_tile + 1u);
      EXPECT_EQ(event.at("pid").get<int>(), 1);
      EXPECT_EQ(event.at("name").get<std::string>(), s.step.operation);
      // Rounded to the nearest 1/1024 µs.
      EXPECT_NEAR(event.at("ts").get<double>(), s.start_cycle * 1e6 / 1.33e9, 1.0 / 2048);
      EXPECT_NEAR(event.at("dur").get<double>(), (s.end_cycle - s.start_cycle) * 1e6 / 1.33e9, 1.0 / 1024);
    }
  }
  EXPECT_EQ(trace.at("otherData").at("clock_hz").get<std::uint64_t>(), 1'330'000'000u);
}

// A viewer nests an event inside the one before when that one's ts + dur,
// parsed as doubles, lies past the event's ts: consecutive steps on a tile
// must meet exactly, at any clock rate.
TEST(Trace, EachStepEndsExactlyWhereTheNextStepOnItsTileStartsOnceParsedAsDoubles) {
  for (const std::uint64_t clock_hz : {1'850'000'000ull, 1'330'000'000ull, 999'999'937ull, 3ull}) {
    SCOPED_TRACE(clock_hz);
    auto report = kivu_profile::testing::gemm_like_profile(12, 5);
    report.clock_hz = clock_hz;
    std::map<std::uint64_t, std::vector<json>> by_tile;
    for (const auto& event : events_with_phase(trace_of(report), "X")) by_tile[event.at("tid")].push_back(event);
    ASSERT_EQ(by_tile.size(), 12u);
    std::size_t meetings = 0;
    for (const auto& [tid, events] : by_tile) {
      for (std::size_t k = 0; k < events.size(); ++k) {
        const double ts = events[k].at("ts").get<double>();
        const double dur = events[k].at("dur").get<double>();
        EXPECT_EQ(std::floor(ts * 1024), ts * 1024) << "ts " << ts << " is a whole number of 1/1024 µs";
        EXPECT_EQ(std::floor(dur * 1024), dur * 1024) << "dur " << dur << " is a whole number of 1/1024 µs";
        if (k + 1 < events.size()) {
          ASSERT_EQ(ts + dur, events[k + 1].at("ts").get<double>()) << "tile track " << tid << ", step " << k;
          ++meetings;
        }
      }
    }
    EXPECT_EQ(meetings, 12u * (5 * 4 - 1));
  }
}

TEST(Trace, KeepsLongRunsExactAndRoundsToTheNearestUnit) {
  // The last cycles a profile can hold, at 1 GHz and at 1 kHz (over 49
  // days), still meet exactly; 1 cycle at 2.048 GHz is exactly 1/2048 µs,
  // which rounds half up.
  ProfileReport report{1'000'000'000,
                       {{1,
                         {sample(ProfileStepKind::Compute, 4'294'967'280u, 4'294'967'287u),
                          sample(ProfileStepKind::Idle, 4'294'967'287u, 4'294'967'288u)}}}};
  auto events = events_with_phase(trace_of(report), "X");
  EXPECT_NEAR(events.at(0).at("ts").get<double>(), 4'294'967.28, 1.0 / 2048);
  EXPECT_EQ(events.at(0).at("dur").get<double>() + events.at(0).at("ts").get<double>(),
            events.at(1).at("ts").get<double>());
  EXPECT_NEAR(events.at(1).at("dur").get<double>(), 0.001, 1.0 / 2048);
  report.clock_hz = 1000;
  events = events_with_phase(trace_of(report), "X");
  EXPECT_EQ(events.at(0).at("ts").get<double>(), 4'294'967'280'000.0);
  EXPECT_EQ(events.at(0).at("dur").get<double>() + events.at(0).at("ts").get<double>(),
            events.at(1).at("ts").get<double>());

  events = events_with_phase(trace_of(ProfileReport{2'048'000'000, {{1, {sample(ProfileStepKind::Compute, 1, 3)}}}}),
                             "X");
  EXPECT_EQ(events.at(0).at("ts").get<double>(), 1.0 / 1024);
  EXPECT_EQ(events.at(0).at("dur").get<double>(), 1.0 / 1024);
}

TEST(Trace, PutsTheStepKindKernelPhaseEpochAndMetadataIntoEachEvent) {
  auto s = sample(ProfileStepKind::Synchronization, 2000, 3000, "barrier", "gemm_sync",
                  {{"block", "3"}, {"stage", "c"}, {"block", "4"}});
  s.step.phase = 7;
  s.step.epoch = 2;
  s.step.local_index = 11;
  const auto trace = trace_of(ProfileReport{1'000'000, {{130, {s}}}});
  const auto event = events_with_phase(trace, "X").at(0);
  EXPECT_EQ(event.at("cat"), "synchronization");
  EXPECT_DOUBLE_EQ(event.at("ts").get<double>(), 2000.0);
  EXPECT_DOUBLE_EQ(event.at("dur").get<double>(), 1000.0);
  EXPECT_EQ(event.at("args"), (json{{"kernel", "gemm_sync"}, {"kind", "synchronization"}}));
  const auto& args = event.at("sample");
  EXPECT_EQ(args.at("tile"), 130);
  EXPECT_EQ(args.at("phase"), 7);
  EXPECT_EQ(args.at("epoch"), 2);
  EXPECT_EQ(args.at("local_index"), 11);
  EXPECT_EQ(args.at("start_cycle"), 2000);
  EXPECT_EQ(args.at("end_cycle"), 3000);
  EXPECT_EQ(args.at("metadata"), (json{{"block", {"3", "4"}}, {"stage", "c"}}))
      << "a repeated metadata name keeps all of its values";
}

TEST(Trace, SamplesOfOneOperationAreOneFrameWhateverTheirDetails) {
  // Viewers key a frame on the event's name and args: samples of one
  // operation on other tiles, at other cycles, phases and metadata, share
  // both; another operation, or the same one as another kind, does not.
  auto first = sample(ProfileStepKind::Compute, 0, 10, "gemm.block_mac", "mac", {{"round", "0"}});
  auto later = sample(ProfileStepKind::Compute, 20, 45, "gemm.block_mac", "mac", {{"round", "1"}});
  later.step.phase = 3;
  later.step.epoch = 1;
  auto other = sample(ProfileStepKind::Compute, 50, 60, "gemm.zero", "mac");
  auto as_exchange = sample(ProfileStepKind::Exchange, 60, 70, "gemm.block_mac", "mac");
  const auto events = events_with_phase(
      trace_of(ProfileReport{1'000'000, {{0, {first, other}}, {9, {later, as_exchange}}}}), "X");
  ASSERT_EQ(events.size(), 4u);
  const auto frame = [](const json& event) { return event.at("name").dump() + " " + event.at("args").dump(); };
  EXPECT_EQ(frame(events[0]), frame(events[2]));
  EXPECT_NE(frame(events[0]), frame(events[1]));
  EXPECT_NE(frame(events[0]), frame(events[3]));
  EXPECT_NE(events[0].at("sample"), events[2].at("sample"));
}

TEST(Trace, NamesOneTrackPerTileAndSortsTracksByPhysicalNumber) {
  ProfileReport report{1000,
                       {{900, {sample(ProfileStepKind::Compute, 0, 5)}},
                        {0, {sample(ProfileStepKind::Compute, 0, 5)}},
                        {900, {sample(ProfileStepKind::Idle, 5, 9)}},
                        {17, {}}}};
  const auto trace = trace_of(report);
  std::map<std::uint64_t, std::string> names;
  std::map<std::uint64_t, std::uint64_t> sort_index;
  std::vector<std::uint64_t> track_order;
  for (const auto& event : events_with_phase(trace, "M")) {
    if (event.at("name") == "thread_name") {
      EXPECT_TRUE(names.emplace(event.at("tid"), event.at("args").at("name")).second) << "one name per track";
      track_order.push_back(event.at("tid"));
    } else if (event.at("name") == "thread_sort_index") {
      sort_index[event.at("tid")] = event.at("args").at("sort_index");
    } else {
      EXPECT_EQ(event.at("name"), "process_name");
    }
  }
  EXPECT_EQ(names, (std::map<std::uint64_t, std::string>{{1, "tile 0"}, {18, "tile 17"}, {901, "tile 900"}}));
  EXPECT_EQ(sort_index, (std::map<std::uint64_t, std::uint64_t>{{1, 0}, {18, 17}, {901, 900}}));
  EXPECT_EQ(track_order, (std::vector<std::uint64_t>{1, 18, 901}));
  for (const auto& event : events_with_phase(trace, "X")) EXPECT_NE(event.at("tid"), 18u);
  EXPECT_EQ(events_with_phase(trace, "X").size(), 3u);
}

TEST(Trace, EscapesEveryTextThroughTheJsonWriter) {
  const std::string nasty = "a \"quoted\"\\ name\n\twith \x01 control and ünïcode ✓";
  ProfileReport report{1000, {{1, {sample(ProfileStepKind::Compute, 0, 5, nasty, nasty, {{nasty, nasty}})}}}};
  const auto event = events_with_phase(trace_of(report), "X").at(0);
  EXPECT_EQ(event.at("name"), nasty);
  EXPECT_EQ(event.at("args").at("kernel"), nasty);
  EXPECT_EQ(event.at("sample").at("metadata").at(nasty), nasty);
}

TEST(Trace, NamesAnEventWithoutOperationByItsKernelOrElseItsKind) {
  ProfileReport report{
      1000,
      {{1, {sample(ProfileStepKind::Compute, 0, 5, "", "gemm_f32"), sample(ProfileStepKind::Idle, 5, 9, "", "")}}}};
  const auto events = events_with_phase(trace_of(report), "X");
  EXPECT_EQ(events.at(0).at("name"), "gemm_f32");
  EXPECT_EQ(events.at(1).at("name"), "idle");
}

TEST(Trace, GivesASampleThatEndsBeforeItStartsNoDuration) {
  ProfileReport report{1000, {{1, {sample(ProfileStepKind::Compute, 50, 10)}}}};
  const auto event = events_with_phase(trace_of(report), "X").at(0);
  EXPECT_EQ(event.at("dur").get<double>(), 0.0);
  EXPECT_EQ(event.at("sample").at("end_cycle"), 10);
}

TEST(Trace, RefusesAZeroClockBeforeWritingAnything) {
  std::ostringstream out;
  const auto written = kivu_profile::write_trace(ProfileReport{0, {{1, {sample(ProfileStepKind::Compute, 0, 5)}}}},
                                                 out);
  ASSERT_FALSE(written.has_value());
  EXPECT_THAT(written.error(), testing::HasSubstr("0 Hz"));
  EXPECT_EQ(out.str(), "");
}

TEST(Trace, IsAValidDocumentForAProfileWithoutTiles) {
  const auto trace = trace_of(ProfileReport{1000, {}});
  EXPECT_TRUE(events_with_phase(trace, "X").empty());
}

TEST(Trace, ReportsAFailingOutputStream) {
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  EXPECT_FALSE(kivu_profile::write_trace(kivu_profile::testing::gemm_like_profile(2), out).has_value());
}

}  // namespace
