// Decoding good profiles: what the writer produces, hand-laid messages with
// short, large, null and multi-segment parts, and the stream contract.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <span>
#include <spanstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "kivu_package.hpp"
#include "kivu_package/capnp_reader_options.hpp"
#include "kivu_package/profile_file.hpp"
#include "wire.hpp"
#include <kivu_testing/child_process.hpp>

namespace {

using kivu_package::PackageError;
using kivu_package::ProfileReport;
using kivu_package::ProfileStep;
using kivu_package::ProfileStepKind;
using namespace kivu_package::testing;

ProfileReport must_read(const std::string& bytes) {
  auto report = ProfileReport::read(std::istringstream(bytes));
  EXPECT_TRUE(report.has_value()) << debug_string(report.error());
  return report.value_or(ProfileReport{});
}

std::string must_encode(const ProfileReport& report) {
  auto bytes = kivu_package::encode_profile(report);
  EXPECT_TRUE(bytes.has_value()) << debug_string(bytes.error());
  return bytes.value_or(std::string{});
}

// A stream that cannot seek, promises nothing in advance and hands out its
// bytes a few at a time, like a pipe.
class TrickleBuffer : public std::streambuf {
public:
  explicit TrickleBuffer(std::string bytes) : bytes_(std::move(bytes)) {}

protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (next_ >= bytes_.size()) return traits_type::eof();
    const std::size_t piece = std::min<std::size_t>(4093, bytes_.size() - next_);
    char* begin = bytes_.data() + next_;
    setg(begin, begin, begin + piece);
    next_ += piece;
    return traits_type::to_int_type(*begin);
  }

private:
  std::string bytes_;
  std::size_t next_ = 0;
};

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// =============================================================================
// Round trips

TEST(ProfileRoundTrip, ReadGivesBackWhatTheWriterEncoded) {
  const ProfileReport report = sample_report();
  EXPECT_EQ(must_read(must_encode(report)), report);
}

TEST(ProfileRoundTrip, AnEmptyReportSurvives) {
  const ProfileReport report{.clock_hz = 0, .tiles = {}};
  EXPECT_EQ(must_read(must_encode(report)), report);
}

TEST(ProfileRoundTrip, ReadAcceptsAnOpenedFileAndAStringStreamByValue) {
  const ProfileReport report = sample_report();
  const kivu_testing::ScratchDirectory dir;
  const std::string path = dir.file("by-value.capnp");
  ASSERT_TRUE(kivu_package::write_profile_file(report, path).has_value());

  auto from_file = ProfileReport::read(std::ifstream(path, std::ios::binary));
  auto from_string = ProfileReport::read(std::istringstream(must_encode(report)));

  ASSERT_TRUE(from_file.has_value()) << debug_string(from_file.error());
  ASSERT_TRUE(from_string.has_value()) << debug_string(from_string.error());
  EXPECT_EQ(*from_file, report);
  EXPECT_EQ(*from_string, report);
}

TEST(ProfileRoundTrip, WriteProfileToAStreamMatchesEncodeProfile) {
  std::ostringstream out;
  ASSERT_TRUE(kivu_package::write_profile(sample_report(), out).has_value());
  EXPECT_EQ(out.str(), must_encode(sample_report()));
}

TEST(ProfileRead, ClosesTheFileOnSuccessAndOnFailure) {
  const kivu_testing::ScratchDirectory dir;
  const std::string good = dir.file("closes-good.capnp");
  const std::string bad = dir.file("closes-bad.capnp");
  ASSERT_TRUE(kivu_package::write_profile_file(sample_report(), good).has_value());
  std::ofstream(bad, std::ios::binary) << "\x01\x00";

  const std::size_t before = open_descriptors();
  EXPECT_TRUE(ProfileReport::read(std::ifstream(good, std::ios::binary)).has_value());
  EXPECT_FALSE(ProfileReport::read(std::ifstream(bad, std::ios::binary)).has_value());
  EXPECT_EQ(open_descriptors(), before);
}

// =============================================================================
// Versions

TEST(ProfileVersion, VersionsOneToThreeDecodeAlike) {
  const ProfileReport one = must_read(HandProfile(1).bytes());
  EXPECT_EQ(must_read(HandProfile(2).bytes()), one);
  EXPECT_EQ(must_read(HandProfile(3).bytes()), one);

  ASSERT_EQ(one.tiles.size(), 1u);
  EXPECT_EQ(one.clock_hz, 1'000'000'000u);
  EXPECT_EQ(one.tiles[0].physical_tile, 7u);
  ASSERT_EQ(one.tiles[0].samples.size(), 1u);
  const auto& sample = one.tiles[0].samples[0];
  EXPECT_EQ(sample.start_cycle, 10u);
  EXPECT_EQ(sample.end_cycle, 20u);
  const ProfileStep expected{.local_index = 1,
                             .phase = 2,
                             .epoch = 3,
                             .operation = "gemm",
                             .kind = ProfileStepKind::Compute,
                             .kernel = "k",
                             .metadata = {{"n", "v"}}};
  EXPECT_EQ(sample.step, expected);
}

TEST(ProfileVersion, VersionsZeroAndFourAreRefusedWithTheVersionInTheMessage) {
  for (const std::uint32_t version : {0u, 4u, 0xffff'ffffu}) {
    auto report = ProfileReport::read(std::istringstream(HandProfile(version).bytes()));
    ASSERT_FALSE(report.has_value());
    EXPECT_EQ(report.error(),
              PackageError(PackageError::Invalid{"unsupported profile schema version " + std::to_string(version)}));
  }
}

TEST(ProfileVersion, TheReaderTakesExactlyTheVersionsTheLibraryNames) {
  // The tools tell users this range; it must be the reader's own.
  using kivu_package::oldest_profile_schema_version;
  using kivu_package::profile_schema_version;
  for (const std::uint32_t version : {oldest_profile_schema_version - 1, oldest_profile_schema_version,
                                      profile_schema_version, profile_schema_version + 1}) {
    const bool named = version >= oldest_profile_schema_version && version <= profile_schema_version;
    auto report = ProfileReport::read(std::istringstream(HandProfile(version).bytes()));
    EXPECT_EQ(report.has_value(), named) << "version " << version;
  }
}

TEST(ProfileVersion, ARootWithoutDataSectionHasVersionZero) {
  Segment seg;
  seg.alloc(1);
  seg.add_struct(0, 0, 1);
  auto report = ProfileReport::read(std::istringstream(frame({seg})));
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(debug_string(report.error()), R"(Invalid("unsupported profile schema version 0"))");
}

TEST(ProfileVersion, IsCheckedBeforeAnythingElseInTheMessage) {
  HandProfile hand(4);
  hand.seg.words[hand.root + 2] = 3;  // tiles: not a valid pointer at all
  auto report = ProfileReport::read(std::istringstream(hand.bytes()));
  ASSERT_FALSE(report.has_value());
  EXPECT_TRUE(report.error().is<PackageError::Invalid>()) << debug_string(report.error());
}

// =============================================================================
// Defaults: null pointers and short sections

TEST(ProfileDefaults, NullAndEmptyTileListsGiveNoTilesAndKeepTheClock) {
  HandProfile null_tiles;
  null_tiles.seg.words[null_tiles.root + 2] = 0;
  const ProfileReport from_null = must_read(null_tiles.bytes());
  EXPECT_TRUE(from_null.tiles.empty());
  EXPECT_EQ(from_null.clock_hz, 1'000'000'000u);

  HandProfile empty_tiles;
  empty_tiles.seg.add_struct_list(empty_tiles.root + 2, 0, 1, 1);
  EXPECT_TRUE(must_read(empty_tiles.bytes()).tiles.empty());
}

TEST(ProfileDefaults, AZeroClockIsReturnedAsZero) {
  HandProfile hand;
  hand.seg.words[hand.root + 1] = 0;
  EXPECT_EQ(must_read(hand.bytes()).clock_hz, 0u);
}

TEST(ProfileDefaults, ANullSampleListGivesATileWithoutSamples) {
  HandProfile hand;
  hand.seg.words[hand.tile + 1] = 0;
  const ProfileReport report = must_read(hand.bytes());
  ASSERT_EQ(report.tiles.size(), 1u);
  EXPECT_EQ(report.tiles[0].physical_tile, 7u);
  EXPECT_TRUE(report.tiles[0].samples.empty());
}

TEST(ProfileDefaults, ANullStepReadsAsAnAllDefaultExchangeStep) {
  HandProfile hand;
  hand.seg.words[hand.sample + 1] = 0;
  const auto sample = must_read(hand.bytes()).tiles.at(0).samples.at(0);
  EXPECT_EQ(sample.step, ProfileStep{});
  EXPECT_EQ(sample.step.kind, ProfileStepKind::Exchange);
  EXPECT_EQ(sample.start_cycle, 10u);
  EXPECT_EQ(sample.end_cycle, 20u);
}

TEST(ProfileDefaults, NullTextsAndMetadataReadAsEmpty) {
  HandProfile hand;
  hand.seg.words[hand.step + 2] = 0;
  hand.seg.words[hand.step + 3] = 0;
  hand.seg.words[hand.step + 4] = 0;
  const auto step = must_read(hand.bytes()).tiles.at(0).samples.at(0).step;
  EXPECT_EQ(step.operation, "");
  EXPECT_EQ(step.kernel, "");
  EXPECT_TRUE(step.metadata.empty());
  EXPECT_EQ(step.kind, ProfileStepKind::Compute);
}

TEST(ProfileDefaults, AStepWithOneDataWordHasEpochZeroAndKindExchange) {
  HandProfile hand;
  // Re-point the sample at a step whose data section holds only the first word.
  const std::size_t step = hand.seg.add_struct(hand.sample + 1, 1, 3);
  hand.seg.set_u32(step, 0, 5);
  hand.seg.set_u32(step, 1, 6);
  hand.seg.add_text(step + 1, "op");
  const auto read = must_read(hand.bytes()).tiles.at(0).samples.at(0).step;
  EXPECT_EQ(read.local_index, 5u);
  EXPECT_EQ(read.phase, 6u);
  EXPECT_EQ(read.epoch, 0u);
  EXPECT_EQ(read.kind, ProfileStepKind::Exchange);
  EXPECT_EQ(read.operation, "op");
}

TEST(ProfileDefaults, StructsWithoutDataOrPointersReadAsDefaults) {
  // A root with one data word (no clock) and tiles whose elements are empty.
  Segment seg;
  seg.alloc(1);
  const std::size_t root = seg.add_struct(0, 1, 1);
  seg.set_u32(root, 0, 2);
  seg.add_struct_list(root + 1, 3, 0, 0);
  const ProfileReport report = must_read(frame({seg}));
  EXPECT_EQ(report.clock_hz, 0u);
  ASSERT_EQ(report.tiles.size(), 3u);
  for (const auto& tile : report.tiles) {
    EXPECT_EQ(tile.physical_tile, 0u);
    EXPECT_TRUE(tile.samples.empty());
  }
}

TEST(ProfileDefaults, LargerSectionsThanTheSchemaNeedsAreAccepted) {
  Segment seg;
  seg.alloc(1);
  const std::size_t root = seg.add_struct(0, 4, 3);
  seg.set_u32(root, 0, 1);
  seg.words[root + 1] = 42;
  seg.words[root + 2] = ~0ULL;  // unknown fields
  const std::size_t tile = seg.add_struct_list(root + 4, 1, 2, 2);
  seg.set_u32(tile, 0, 9);
  seg.add_text(tile + 3, "an unknown pointer field");
  const ProfileReport report = must_read(frame({seg}));
  EXPECT_EQ(report.clock_hz, 42u);
  ASSERT_EQ(report.tiles.size(), 1u);
  EXPECT_EQ(report.tiles[0].physical_tile, 9u);
}

TEST(ProfileDefaults, ContentIsReproducedWithoutJudgingIt) {
  ProfileReport report;
  report.clock_hz = 0;
  kivu_package::CycleSample backwards;
  backwards.start_cycle = 50;
  backwards.end_cycle = 10;
  report.tiles = {{.physical_tile = 3, .samples = {backwards}}, {.physical_tile = 3, .samples = {}}};
  EXPECT_EQ(must_read(must_encode(report)), report);
}

// =============================================================================
// Struct lists in the encodings of plain lists

TEST(ProfileLists, ListsOfPointersReadAsStructsHoldingOnlyTheirFirstPointer) {
  // Each sample is only its step, each metadata entry only its name: the
  // pointers lie where an element without data keeps its pointer section.
  HandProfile hand;
  const std::size_t samples = hand.seg.alloc(2);
  hand.seg.words[hand.tile + 1] = list_pointer(hand.tile + 1, samples, ElementSize::Pointer, 2);
  hand.seg.words[samples] = struct_pointer(samples, hand.step, 2, 3);
  const std::size_t entries = hand.seg.alloc(2);
  hand.seg.words[hand.step + 4] = list_pointer(hand.step + 4, entries, ElementSize::Pointer, 2);
  hand.seg.add_text(entries, "first");
  hand.seg.add_text(entries + 1, "second");

  const auto read = must_read(hand.bytes()).tiles.at(0).samples;
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].start_cycle, 0u);
  EXPECT_EQ(read[0].step.operation, "gemm");
  EXPECT_EQ(read[0].step.kind, ProfileStepKind::Compute);
  EXPECT_EQ(read[0].step.metadata, (std::vector<kivu_package::ProfileMetadata>{{"first", ""}, {"second", ""}}));
  EXPECT_EQ(read[1].step, ProfileStep{});
}

TEST(ProfileLists, AListOfWordsReadsAsSamplesWithCyclesAndDefaultSteps) {
  HandProfile hand;
  const std::size_t samples = hand.seg.alloc(2);
  hand.seg.words[hand.tile + 1] = list_pointer(hand.tile + 1, samples, ElementSize::EightBytes, 2);
  hand.seg.words[samples] = 10 | std::uint64_t{20} << 32;
  hand.seg.words[samples + 1] = 30 | std::uint64_t{40} << 32;

  const auto read = must_read(hand.bytes()).tiles.at(0).samples;
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].start_cycle, 30u);
  EXPECT_EQ(read[1].end_cycle, 40u);
  EXPECT_EQ(read[0].step, ProfileStep{});
  EXPECT_EQ(read[1].step, ProfileStep{});
}

// =============================================================================
// Framing

TEST(ProfileFraming, ATwoSegmentMessageWithAFarPointerDecodes) {
  // Segment 0: root pointer and root; its tiles pointer is a far pointer to
  // a landing pad in segment 1, which points at the tile list there.
  Segment first;
  first.alloc(1);
  const std::size_t root = first.add_struct(0, 2, 1);
  first.set_u32(root, 0, 1);
  first.words[root + 1] = 99;
  Segment second;
  const std::size_t pad = second.alloc(1);
  const std::size_t tile = second.add_struct_list(pad, 2, 1, 1);
  second.set_u32(tile, 0, 11);
  second.set_u32(tile + 2, 0, 12);
  first.words[root + 2] = far_pointer(1, static_cast<std::uint32_t>(pad));

  const ProfileReport report = must_read(frame({first, second}));
  EXPECT_EQ(report.clock_hz, 99u);
  ASSERT_EQ(report.tiles.size(), 2u);
  EXPECT_EQ(report.tiles[0].physical_tile, 11u);
  EXPECT_EQ(report.tiles[1].physical_tile, 12u);
}

TEST(ProfileFraming, BytesAfterTheMessageAreNeitherReadNorConsumed) {
  std::istringstream stream(HandProfile().bytes() + "TRAILER");
  auto report = ProfileReport::read_from(stream);
  ASSERT_TRUE(report.has_value()) << debug_string(report.error());
  std::string rest;
  stream >> rest;
  EXPECT_EQ(rest, "TRAILER");
}

TEST(ProfileFraming, MessagesReadBackToBackFromOneStream) {
  const ProfileReport report = sample_report();
  std::istringstream stream(must_encode(report) + HandProfile().bytes());
  auto first = ProfileReport::read_from(stream);
  auto second = ProfileReport::read_from(stream);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(*first, report);
  EXPECT_EQ(second->tiles.at(0).physical_tile, 7u);
}

TEST(ProfileFraming, AnUnseekableStreamThatTricklesItsBytesDecodes) {
  // About 10 MiB, more than the reader's first buffer, so it has to grow.
  ProfileReport report;
  report.tiles.resize(1472);
  kivu_package::CycleSample sample;
  sample.step.operation = std::string(7000, 'o');
  for (auto& tile : report.tiles) tile.samples.assign(1, sample);
  TrickleBuffer buffer(must_encode(report) + "after");
  std::istream stream(&buffer);
  auto read = ProfileReport::read_from(stream);
  ASSERT_TRUE(read.has_value()) << debug_string(read.error());
  EXPECT_EQ(*read, report);
  std::string rest;
  stream >> rest;
  EXPECT_EQ(rest, "after");
}

TEST(ProfileStreams, EveryKindOfInMemoryStreamDecodesAlike) {
  // These are read in place, without a copy of the message.
  const ProfileReport report = sample_report();
  const std::string bytes = must_encode(report);
  std::stringstream written;
  written << bytes << "after";
  std::string mutable_bytes = bytes;
  const auto reads = {
      ProfileReport::read(std::istringstream(bytes)),
      ProfileReport::read(std::move(written)),
      ProfileReport::read(std::ispanstream(std::span<const char>(bytes))),
      ProfileReport::read(std::spanstream(std::span<char>(mutable_bytes))),
  };
  for (const auto& read : reads) {
    ASSERT_TRUE(read.has_value()) << debug_string(read.error());
    EXPECT_EQ(*read, report);
  }
}

TEST(ProfileStreams, AMessageAtAnUnalignedPlaceInAStringDecodesAndLeavesTheRest) {
  // Words cannot be read in place at an odd address; the message is copied.
  const ProfileReport report = sample_report();
  std::istringstream stream("x" + must_encode(report) + "rest");
  ASSERT_EQ(stream.get(), 'x');
  auto read = ProfileReport::read_from(stream);
  ASSERT_TRUE(read.has_value()) << debug_string(read.error());
  EXPECT_EQ(*read, report);
  std::string rest;
  stream >> rest;
  EXPECT_EQ(rest, "rest");
}

TEST(ProfileTexts, TextsBehindFarPointersDecode) {
  HandProfile hand;
  Segment second;
  const std::size_t operation_pad = second.alloc(1);
  second.add_text(operation_pad, "far operation");
  const std::size_t value_pad = second.alloc(1);
  second.add_text(value_pad, "far value");
  hand.seg.words[hand.step + 2] = far_pointer(1, static_cast<std::uint32_t>(operation_pad));
  hand.seg.words[hand.metadata + 1] = far_pointer(1, static_cast<std::uint32_t>(value_pad));

  const ProfileReport report = must_read(frame({hand.seg, second}));
  const ProfileStep& step = report.tiles.at(0).samples.at(0).step;
  EXPECT_EQ(step.operation, "far operation");
  EXPECT_EQ(step.kernel, "k");
  ASSERT_EQ(step.metadata.size(), 1u);
  EXPECT_EQ(step.metadata[0].name, "n");
  EXPECT_EQ(step.metadata[0].value, "far value");
}

TEST(ProfileTexts, AStepAndAMetadataListBehindFarPointersDecode) {
  // The step lies in the second segment; its metadata list back in the first.
  HandProfile hand;
  Segment second;
  const std::size_t step_pad = second.alloc(1);
  const std::size_t step = second.add_struct(step_pad, 2, 3);
  second.set_u32(step, 0, 41);
  second.set_u32(step + 1, 0, 43);
  second.set_u16(step + 1, 2, 3);
  second.add_text(step + 2, "far step");
  second.add_text(step + 3, "far kernel");
  const std::size_t list_pad = hand.seg.alloc(1);
  const std::size_t entry = hand.seg.add_struct_list(list_pad, 1, 0, 2);
  hand.seg.add_text(entry, "name");
  hand.seg.add_text(entry + 1, "value");
  second.words[step + 4] = far_pointer(0, static_cast<std::uint32_t>(list_pad));
  hand.seg.words[hand.sample + 1] = far_pointer(1, static_cast<std::uint32_t>(step_pad));

  const ProfileReport report = must_read(frame({hand.seg, second}));
  const ProfileStep& read = report.tiles.at(0).samples.at(0).step;
  EXPECT_EQ(read.local_index, 41u);
  EXPECT_EQ(read.epoch, 43u);
  EXPECT_EQ(read.kind, ProfileStepKind::Idle);
  EXPECT_EQ(read.operation, "far step");
  EXPECT_EQ(read.kernel, "far kernel");
  EXPECT_EQ(read.metadata, (std::vector<kivu_package::ProfileMetadata>{{"name", "value"}}));
}

TEST(ProfileFraming, AProfileBeyondTheLibraryDefaultTraversalLimitDecodes) {
  // 1472 tiles with 8 samples each of a 6 KiB operation text: about 70 MiB
  // of message, more than the 64 MiB that the library's defaults allow.
  ProfileReport report;
  report.clock_hz = 1;
  report.tiles.resize(1472);
  const std::string operation(6 * 1024, 'x');
  for (std::uint32_t t = 0; t < report.tiles.size(); ++t) {
    report.tiles[t].physical_tile = t;
    report.tiles[t].samples.resize(8);
    for (auto& sample : report.tiles[t].samples) sample.step.operation = operation;
  }
  const std::string bytes = must_encode(report);
  ASSERT_GT(bytes.size(), std::size_t{64} << 20);
  EXPECT_EQ(must_read(bytes), report);
}

TEST(ProfileReaderOptions, SwitchOffTheTraversalLimitAndKeepTheNestingLimit) {
  const capnp::ReaderOptions options = kivu_package::capnp_reader_options();
  EXPECT_EQ(options.traversalLimitInWords, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(options.nestingLimit, 64);
}

TEST(ProfileReaderOptions, TheReadTraversalLimitGrowsWithTheMessageAndSaturates) {
  using kivu_package::profile_traversal_limit;
  EXPECT_GT(profile_traversal_limit(1'000'000), 1'000'000u);
  EXPECT_LT(profile_traversal_limit(1'000'000), 10'000'000u);
  EXPECT_EQ(profile_traversal_limit(std::numeric_limits<std::uint64_t>::max()),
            std::numeric_limits<std::uint64_t>::max());
}

// =============================================================================
// The in-place view

using kivu_package::MetadataView;
using kivu_package::ProfileFile;
using kivu_package::ProfileView;
using kivu_package::SampleView;
using kivu_package::TileView;

// Everything a walk of the view hands out, rebuilt as a report.
std::expected<ProfileReport, PackageError> rebuild(const ProfileFile& file) {
  ProfileReport report;
  const auto walked = file.visit([&](const ProfileView& profile) {
    report.clock_hz = profile.clock_hz();
    for (const TileView tile : profile.tiles()) {
      auto& to = report.tiles.emplace_back(kivu_package::TileProfile{tile.physical_tile(), {}});
      for (const SampleView sample : tile.samples()) {
        auto& out = to.samples.emplace_back();
        const auto step = sample.step();
        out.step = {step.local_index(),
                    step.phase(),
                    step.epoch(),
                    std::string(step.operation()),
                    step.kind(),
                    std::string(step.kernel()),
                    {}};
        for (const MetadataView entry : step.metadata()) {
          out.step.metadata.push_back({std::string(entry.name()), std::string(entry.value())});
        }
        out.start_cycle = sample.start_cycle();
        out.end_cycle = sample.end_cycle();
      }
    }
  });
  if (!walked) return std::unexpected(walked.error());
  return report;
}

PackageError view_error(const std::string& bytes) {
  auto file = ProfileFile::from_bytes(bytes);
  if (!file) return file.error();
  auto rebuilt = rebuild(*file);
  EXPECT_FALSE(rebuilt.has_value()) << "the view walked a profile that read refuses";
  return rebuilt ? PackageError(PackageError::Invalid{"walked"}) : rebuilt.error();
}

// Writes `bytes` into a pipe from another thread and opens the pipe's
// reading end by name, as a shell hands a profile on standard input.
std::expected<ProfileFile, PackageError> open_through_pipe(const std::string& bytes) {
  const kivu_testing::PipeFeeder pipe(bytes);
  return ProfileFile::open(pipe.path());
}

TEST(ProfileView, HandsOutExactlyWhatReadDecodesFromAFileAPipeAndMemory) {
  const ProfileReport report = sample_report();
  const std::string bytes = must_encode(report);
  const kivu_testing::ScratchDirectory dir;
  const std::string path = dir.file("view.capnp");
  ASSERT_TRUE(kivu_package::write_profile_file(report, path).has_value());
  auto mapped = ProfileFile::open(path);
  std::filesystem::remove(path);
  auto piped = open_through_pipe(bytes);
  auto copied = ProfileFile::from_bytes(bytes);
  for (auto* file : {&mapped, &piped, &copied}) {
    ASSERT_TRUE(file->has_value()) << debug_string(file->error());
    EXPECT_EQ((*file)->size_bytes(), bytes.size());
    EXPECT_EQ(rebuild(**file), report);
    EXPECT_TRUE((*file)->check().has_value());
  }
}

TEST(ProfileView, AListWhoseTagClaimsOneElementMoreThanItsWordsFails) {
  // The sample list's tag says two samples where its pointer holds one.
  HandProfile hand;
  hand.seg.words[hand.sample - 1] = composite_tag(2, 1, 1);
  EXPECT_TRUE(view_error(hand.bytes()).is<PackageError::Capnp>());
  // A tile list whose pointer holds one word less than its element.
  HandProfile short_list;
  short_list.seg.words[short_list.root + 2] = list_pointer(short_list.root + 2, short_list.tile - 1,
                                                           ElementSize::Composite, 1);
  EXPECT_TRUE(view_error(short_list.bytes()).is<PackageError::Capnp>());
}

TEST(ProfileView, ATruncatedFileFailsWhenOpenedAndAWholeOneOpens) {
  const std::string bytes = must_encode(sample_report());
  const kivu_testing::ScratchDirectory dir;
  const std::string path = dir.file("truncated.capnp");
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{3}, std::size_t{8}, bytes.size() / 2, bytes.size() - 8, bytes.size() - 1}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(size));
    const auto file = ProfileFile::open(path);
    ASSERT_FALSE(file.has_value()) << size << " bytes";
    EXPECT_TRUE(file.error().is<PackageError::Capnp>()) << debug_string(file.error());
    const auto piped = open_through_pipe(bytes.substr(0, size));
    ASSERT_FALSE(piped.has_value()) << size << " bytes through a pipe";
    EXPECT_TRUE(piped.error().is<PackageError::Capnp>());
  }
  // A table that claims a 16 GiB segment fails without reading further,
  // and an endless device is read only as far as its first table.
  EXPECT_TRUE(view_error(raw_table({0, 0x8000'0000u}) + std::string(8, '\0')).is<PackageError::Capnp>());
  const auto endless = ProfileFile::open("/dev/zero");
  ASSERT_FALSE(endless.has_value());
  EXPECT_TRUE(endless.error().is<PackageError::Capnp>());
  std::filesystem::remove(path);
  EXPECT_EQ(ProfileFile::open(path).error(), PackageError(std::error_code(ENOENT, std::system_category())));
}

// The first error of opening `file` and walking all of it, or nothing.
std::optional<PackageError> first_view_error(const std::expected<ProfileFile, PackageError>& file) {
  if (!file) return file.error();
  if (auto checked = file->check(); !checked) return checked.error();
  return std::nullopt;
}

TEST(ProfileView, MalformedBytesFailWithReadsVeryErrorFromMemoryAFileAndAPipe) {
  const std::string good = HandProfile().bytes();
  HandProfile out_of_bounds;
  out_of_bounds.seg.words[out_of_bounds.root + 2] = list_pointer(out_of_bounds.root + 2, 1000, ElementSize::Composite,
                                                                 1);
  const std::pair<std::string, std::string> inputs[] = {
      {"empty", ""},
      {"half a word", good.substr(0, 4)},
      {"one empty segment", std::string(8, '\0')},
      {"a table cut short", raw_table({2, 1, 1})},
      {"a segment cut short", good.substr(0, good.size() - 8)},
      {"too many segments", raw_table({511}) + std::string(4 * 512, '\0')},
      {"a 16 GiB segment claimed", raw_table({0, 0x8000'0000u}) + std::string(8, '\0')},
      {"version 4", HandProfile(4).bytes()},
      {"a pointer out of the segment", out_of_bounds.bytes()},
      {"a kind outside the schema", HandProfile(1, 4).bytes()},
      {"a text that is not UTF-8", HandProfile(1, 1, "gemm", "k", "n", "ok \xed\xa0\x80").bytes()},
  };
  const kivu_testing::ScratchDirectory dir;
  const std::string path = dir.file("malformed.capnp");
  for (const auto& [what, bytes] : inputs) {
    const auto read = ProfileReport::read(std::istringstream(bytes));
    ASSERT_FALSE(read.has_value()) << what;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(first_view_error(ProfileFile::from_bytes(bytes)), read.error()) << what << ", from memory";
    EXPECT_EQ(first_view_error(ProfileFile::open(path)), read.error()) << what << ", from a file";
    EXPECT_EQ(first_view_error(open_through_pipe(bytes)), read.error()) << what << ", through a pipe";
  }
  // The four-byte file in particular: its table is cut short, for both.
  EXPECT_EQ(debug_string(*first_view_error(ProfileFile::from_bytes(good.substr(0, 4)))),
            R"(Capnp(Failed: "Premature EOF in the segment table"))");
  EXPECT_EQ(first_view_error(ProfileFile::from_bytes(good)), std::nullopt);
}

TEST(ProfileView, HostileTextsAndKindsFailTheWalkThatReadsThemWithReadsErrors) {
  const std::string bad_value = HandProfile(1, 1, "gemm", "k", "n", "ok \xed\xa0\x80").bytes();
  const std::string bad_kind = HandProfile(1, 4).bytes();
  std::string no_nul = HandProfile(1, 1, "gemm", "k", "name").bytes();
  no_nul[no_nul.rfind("name") + 4] = 'x';
  for (const auto& bytes : {bad_value, bad_kind, no_nul}) {
    const auto read = ProfileReport::read(std::istringstream(bytes));
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(view_error(bytes), read.error());
  }
  EXPECT_EQ(view_error(bad_value), PackageError(kivu_package::Utf8Error{3, 1}));
  // A walk that does not read the text as text, or the kind, is not stopped.
  const auto file = ProfileFile::from_bytes(bad_value);
  ASSERT_TRUE(file.has_value());
  std::size_t value_bytes = 0;
  EXPECT_TRUE(file->visit([&](const ProfileView& profile) {
                    for (const TileView tile : profile.tiles()) {
                      for (const SampleView sample : tile.samples()) {
                        static_cast<void>(sample.step().kind());
                        value_bytes += sample.step().metadata()[0].name().size();
                      }
                    }
                  })
                  .has_value());
  EXPECT_EQ(value_bytes, 1u);
}

}  // namespace
