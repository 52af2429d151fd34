// Malformed profiles, crafted byte by byte: each fails with the variant and
// at the place that the order of checks gives, and nothing is printed.
#include <fstream>
#include <span>
#include <spanstream>
#include <sstream>

#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "kivu_package.hpp"
#include "kivu_package/capnp_reader_options.hpp"
#include "wire.hpp"

namespace {

using kivu_package::CapnpError;
using kivu_package::NotInSchema;
using kivu_package::PackageError;
using kivu_package::ProfileReport;
using kivu_package::Utf8Error;
using namespace kivu_package::testing;

PackageError must_fail(const std::string& bytes) {
  testing::internal::CaptureStderr();
  auto report = ProfileReport::read(std::istringstream(bytes));
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(report.has_value());
  return report.has_value() ? PackageError(PackageError::Invalid{"decoded"}) : report.error();
}

void expect_capnp(const std::string& bytes) {
  const PackageError error = must_fail(bytes);
  EXPECT_TRUE(error.is<PackageError::Capnp>()) << debug_string(error);
}

// =============================================================================
// Framing

TEST(MalformedFraming, AnEmptyFileIsACapnpError) { expect_capnp(""); }

TEST(MalformedFraming, ATableCutShortIsACapnpError) {
  const std::string whole = HandProfile().bytes();
  for (std::size_t size : {1u, 4u, 7u}) expect_capnp(whole.substr(0, size));
  // Three segments announced, the lengths of only two present.
  expect_capnp(raw_table({2, 1, 1}));
}

TEST(MalformedFraming, ASegmentCutShortIsACapnpError) {
  const std::string whole = HandProfile().bytes();
  expect_capnp(whole.substr(0, 8));
  expect_capnp(whole.substr(0, whole.size() - 1));
  expect_capnp(whole.substr(0, whole.size() - 8));
}

TEST(MalformedFraming, TooManySegmentsAreRefused) {
  expect_capnp(raw_table({511}) + std::string(4 * 512, '\0'));
  expect_capnp(raw_table({0xffff'ffffu, 0}));
}

// The hand-made profile spread over `count` segments: the operation text
// "far" sits in the last one, reached by a far pointer, so every segment of
// the table is read.
std::string spread_over_segments(std::size_t count) {
  HandProfile hand;
  std::vector<Segment> segments(count);
  segments[0] = hand.seg;
  for (std::size_t i = 1; i + 1 < count; ++i) segments[i].alloc(1);
  Segment& last = segments[count - 1];
  last.alloc(1);
  last.add_text(0, "far");
  hand.seg.words[hand.step + 2] = far_pointer(static_cast<std::uint32_t>(count - 1), 0);
  segments[0] = hand.seg;
  return frame(segments);
}

TEST(Limits, AProfileOfTheMostSegmentsAllowedReadsAndOneMoreIsRefused) {
  const auto expected = ProfileReport::read(std::istringstream(HandProfile(1, 1, "far").bytes()));
  ASSERT_TRUE(expected.has_value());
  for (const std::size_t count : {2u, 511u}) {
    const auto read = ProfileReport::read(std::istringstream(spread_over_segments(count)));
    ASSERT_TRUE(read.has_value()) << count << ": " << debug_string(read.error());
    EXPECT_EQ(*read, *expected) << count;
  }
  expect_capnp(spread_over_segments(512));
}

// The reader's nesting limit, 64, is far above the profile schema's depth; a
// message nested exactly that deep still reads, one level more does not.
TEST(Limits, TheReaderOptionsAcceptNestingUpToTheLimitAndNoDeeper) {
  const auto walk = [](int depth) {
    capnp::MallocMessageBuilder builder;
    capnp::AnyPointer::Builder pointer = builder.getRoot<capnp::AnyPointer>();
    for (int level = 0; level < depth; ++level) pointer = pointer.initAsAnyStruct(0, 1).getPointerSection()[0];
    const kj::Array<capnp::word> words = capnp::messageToFlatArray(builder);
    try {
      capnp::FlatArrayMessageReader reader(words, kivu_package::capnp_reader_options());
      capnp::AnyPointer::Reader at = reader.getRoot<capnp::AnyPointer>();
      for (int level = 0; level < depth; ++level) at = at.getAs<capnp::AnyStruct>().getPointerSection()[0];
      return true;
    } catch (const kj::Exception&) {
      return false;
    }
  };
  EXPECT_TRUE(walk(64));
  EXPECT_FALSE(walk(65));
}

TEST(MalformedFraming, AnEmptyFirstSegmentHasNoRoot) { expect_capnp(raw_table({0, 0})); }

TEST(MalformedFraming, AFarPointerToAMissingSegmentIsACapnpError) {
  HandProfile hand;
  hand.seg.words[hand.root + 2] = far_pointer(3, 0);
  expect_capnp(hand.bytes());
}

TEST(MalformedFraming, APointerOutOfTheSegmentIsACapnpError) {
  HandProfile hand;
  hand.seg.words[hand.step + 2] = list_pointer(hand.step + 2, hand.seg.words.size() + 10, ElementSize::Byte, 4);
  expect_capnp(hand.bytes());
}

TEST(MalformedFraming, ATextRunningIntoTheNextSegmentIsACapnpError) {
  // Segments lie back to back in memory, but a text must end in its own.
  HandProfile hand;
  Segment second;
  second.alloc(2);  // zeros: a NUL wherever the text would end
  const std::size_t end = hand.seg.words.size();
  hand.seg.words[hand.step + 2] = list_pointer(hand.step + 2, end - 1, ElementSize::Byte, 12);
  expect_capnp(frame({hand.seg, second}));
}

TEST(MalformedFraming, ATextBeforeTheStartOfItsSegmentIsACapnpError) {
  // Before the segment lies the segment table.
  HandProfile hand;
  const std::size_t at = hand.step + 2;
  const auto offset = static_cast<std::uint32_t>(-static_cast<std::int32_t>(at) - 2);  // to word -1
  hand.seg.words[at] = (std::uint64_t{offset} << 2 & 0xffff'fffcULL) | 1 |
                       static_cast<std::uint64_t>(ElementSize::Byte) << 32 | std::uint64_t{8} << 35;
  expect_capnp(hand.bytes());
}

// =============================================================================
// Streams

TEST(MalformedStream, AFileThatCannotBeOpenedIsACapnpError) {
  auto report = ProfileReport::read(std::ifstream("/nonexistent/kivu/profile.capnp", std::ios::binary));
  ASSERT_FALSE(report.has_value());
  EXPECT_TRUE(report.error().is<PackageError::Capnp>()) << debug_string(report.error());
}

TEST(MalformedStream, AnInMemoryStreamCutShortIsACapnpError) {
  const std::string whole = HandProfile().bytes();
  const std::string cut = whole.substr(0, whole.size() - 8);
  auto report = ProfileReport::read(std::ispanstream(std::span<const char>(cut)));
  ASSERT_FALSE(report.has_value());
  EXPECT_TRUE(report.error().is<PackageError::Capnp>());
}

TEST(MalformedStream, AStreamInAFailedStateIsACapnpError) {
  std::istringstream stream(HandProfile().bytes());
  stream.setstate(std::ios::badbit);
  auto report = ProfileReport::read(std::move(stream));
  ASSERT_FALSE(report.has_value());
  EXPECT_TRUE(report.error().is<PackageError::Capnp>());
}

TEST(MalformedStream, AStreamThatThrowsOnFailureStillGivesAnError) {
  const std::string whole = HandProfile().bytes();
  std::istringstream stream(whole.substr(0, whole.size() - 3));
  stream.exceptions(std::ios::failbit | std::ios::badbit | std::ios::eofbit);
  auto report = ProfileReport::read(std::move(stream));
  ASSERT_FALSE(report.has_value());
  EXPECT_TRUE(report.error().is<PackageError::Capnp>());
}

// =============================================================================
// Pointers of the wrong kind

TEST(MalformedPointers, ARootThatIsNotAStructIsACapnpError) {
  HandProfile hand;
  hand.seg.words[0] = list_pointer(0, hand.root, ElementSize::EightBytes, 3);
  expect_capnp(hand.bytes());
}

TEST(MalformedPointers, ATileListThatIsAStructIsACapnpError) {
  HandProfile hand;
  hand.seg.add_struct(hand.root + 2, 1, 1);
  expect_capnp(hand.bytes());
}

TEST(MalformedPointers, ASampleListOfBitsIsACapnpError) {
  HandProfile hand;
  hand.seg.words[hand.tile + 1] = list_pointer(hand.tile + 1, hand.step, ElementSize::Bit, 8);
  expect_capnp(hand.bytes());
}

TEST(MalformedPointers, AStepThatIsAListIsACapnpError) {
  HandProfile hand;
  hand.seg.words[hand.sample + 1] = list_pointer(hand.sample + 1, hand.step, ElementSize::Byte, 8);
  expect_capnp(hand.bytes());
  // An empty list: its size bits would also make an empty struct.
  hand.seg.words[hand.sample + 1] = list_pointer(hand.sample + 1, hand.step, ElementSize::Void, 0);
  expect_capnp(hand.bytes());
}

TEST(MalformedPointers, AMetadataListThatIsAStructIsACapnpError) {
  HandProfile hand;
  hand.seg.add_struct(hand.step + 4, 0, 2);
  expect_capnp(hand.bytes());
}

TEST(MalformedPointers, ATextThatIsNotAByteListIsACapnpError) {
  HandProfile hand;
  hand.seg.words[hand.step + 3] = list_pointer(hand.step + 3, hand.step, ElementSize::EightBytes, 1);
  expect_capnp(hand.bytes());
}

TEST(MalformedPointers, ATextWithoutItsNulIsACapnpError) {
  HandProfile hand;
  hand.seg.add_bytes(hand.step + 2, "gemm");
  expect_capnp(hand.bytes());
}

TEST(MalformedPointers, ACapabilityPointerIsACapnpError) {
  HandProfile hand;
  hand.seg.words[hand.metadata + 1] = 3;  // other pointer: capability 0
  expect_capnp(hand.bytes());
}

// =============================================================================
// Step kinds

TEST(MalformedKind, KindFourIsOutsideTheSchemaEvenWithEverythingElseGood) {
  EXPECT_EQ(must_fail(HandProfile(1, 4).bytes()), PackageError(NotInSchema{4}));
  EXPECT_EQ(debug_string(must_fail(HandProfile(1, 0xffff).bytes())), "SchemaEnum(NotInSchema(65535))");
}

TEST(MalformedKind, KindsZeroToThreeAreAccepted) {
  using kivu_package::ProfileStepKind;
  const ProfileStepKind expected[] = {ProfileStepKind::Exchange, ProfileStepKind::Compute,
                                      ProfileStepKind::Synchronization, ProfileStepKind::Idle};
  for (std::uint16_t raw = 0; raw < 4; ++raw) {
    auto report = ProfileReport::read(std::istringstream(HandProfile(1, raw).bytes()));
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->tiles.at(0).samples.at(0).step.kind, expected[raw]);
  }
}

// =============================================================================
// Texts and the order of checks

TEST(MalformedText, InvalidUtf8GivesTheValidPrefixAndTheBadLength) {
  EXPECT_EQ(must_fail(HandProfile(1, 1, "ab\xff").bytes()), PackageError(Utf8Error{2, 1}));
  EXPECT_EQ(must_fail(HandProfile(1, 1, "gemm", "k\xe2\x82").bytes()), PackageError(Utf8Error{1, std::nullopt}));
  EXPECT_EQ(must_fail(HandProfile(1, 1, "gemm", "k", "\xed\xa0\x80").bytes()), PackageError(Utf8Error{0, 1}));
  EXPECT_EQ(must_fail(HandProfile(1, 1, "gemm", "k", "n", "ok \xf0\x9f\x98!").bytes()), PackageError(Utf8Error{3, 3}));
}

TEST(MalformedText, SampleFieldsAreCheckedInOrderOperationKindKernelMetadata) {
  // A bad operation comes before a bad kind; a bad kind before a bad kernel;
  // a bad kernel before bad metadata.
  EXPECT_TRUE(must_fail(HandProfile(1, 9, "\xff", "\xff", "\xff").bytes()).is<PackageError::Utf8>());
  EXPECT_EQ(must_fail(HandProfile(1, 9, "ok", "\xff", "\xff").bytes()), PackageError(NotInSchema{9}));
  EXPECT_EQ(must_fail(HandProfile(1, 1, "ok", "ok\xff", "\xff").bytes()), PackageError(Utf8Error{2, 1}));
  EXPECT_EQ(must_fail(HandProfile(1, 1, "ok", "ok", "name", "\xc0").bytes()), PackageError(Utf8Error{0, 1}));
}

TEST(MalformedText, AMalformedOperationPointerComesBeforeABadKind) {
  HandProfile hand(1, 7);
  hand.seg.words[hand.step + 2] = list_pointer(hand.step + 2, hand.step, ElementSize::Pointer, 1);
  EXPECT_TRUE(must_fail(hand.bytes()).is<PackageError::Capnp>());
}

TEST(MalformedText, ABadMetadataValueInTheLastTileFailsTheWholeRead) {
  // A writer-made profile with good tiles, then a marker in the last
  // sample's metadata value overwritten with an invalid sequence.
  ProfileReport report = sample_report();
  report.tiles.back().samples.back().step.metadata = {{"late", "xyPATCHMEz"}};
  auto bytes = kivu_package::encode_profile(report);
  ASSERT_TRUE(bytes.has_value());
  const std::size_t at = bytes->find("PATCHME");
  ASSERT_NE(at, std::string::npos);
  bytes->replace(at, 7, "ok\xe0\x80zzz");
  EXPECT_EQ(must_fail(*bytes), PackageError(Utf8Error{4, 1}));
}

}  // namespace
