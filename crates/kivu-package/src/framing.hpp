// The unpacked Cap'n Proto stream framing, read from a std::istream.
//
// A message on the wire is a segment table followed by the segments:
//   u32 segment count - 1, then one u32 length (in 8-byte words) per segment,
//   then 4 bytes of zero padding when the table holds an even number of
//   segments, so that the segments start on a word boundary.
// All numbers are little-endian.
//
// Only streams are framed here. Bytes that are all in memory already (a
// mapped file, ProfileFile) go to the library's flat-array reader, which
// checks the table against the bytes it was given and allocates nothing for
// it. The library's stream readers, by contrast, allocate (and zero)
// whatever the table claims before a single segment byte has arrived, so a
// 16-byte stream could make them take gigabytes. read_framed_message does
// not: it grows its buffer only as the bytes actually arrive, a bounded
// chunk ahead at most, so a table that claims more than the stream holds
// fails early and cheaply. It reads exactly the message and nothing after
// it. A stream whose buffer already holds the whole message in memory (a
// std::stringbuf or a std::spanbuf) is not copied at all: the segments are
// read where they lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <istream>
#include <string>
#include <vector>

#include <capnp/common.h>
#include <kj/common.h>

#include "kivu_package.hpp"

namespace kivu_package::detail {

// =============================================================================
// Limits

// More segments than this are refused, as the library's readers do.
inline constexpr std::uint32_t max_segments = 511;
// The largest segment a Cap'n Proto reader can address, in words.
inline constexpr std::uint64_t max_segment_words = (std::uint64_t{1} << 29) - 1;
// How far the segment buffer may run ahead of the bytes that have arrived.
inline constexpr std::size_t read_chunk_bytes = std::size_t{4} << 20;

// =============================================================================
// Reading

// Memory of our own that holds a message's segments: mapped pages of its
// own, so that it grows by remapping instead of copying, and, once large,
// asked to be backed by huge pages, which cuts the page faults of filling
// it several hundredfold. Released on destruction.
class SegmentBuffer {
public:
  SegmentBuffer() noexcept = default;
  SegmentBuffer(SegmentBuffer&& other) noexcept;
  SegmentBuffer& operator=(SegmentBuffer&& other) noexcept;
  SegmentBuffer(const SegmentBuffer&) = delete;
  SegmentBuffer& operator=(const SegmentBuffer&) = delete;
  ~SegmentBuffer();

  // Makes room for at least `bytes` bytes, keeping the contents; with
  // `huge_pages`, the caller expects to fill it, and a large buffer is asked
  // to be backed by huge pages. Throws std::bad_alloc when the memory cannot
  // be had.
  void reserve(std::size_t bytes, bool huge_pages);

  [[nodiscard]] char* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

private:
  void swap_into(SegmentBuffer& other) noexcept;

  char* data_ = nullptr;
  std::size_t capacity_ = 0;  // bytes usable from data_
  std::size_t mapped_ = 0;    // bytes mapped from data_ (a whole number of pages)
};

// One message read from a stream: its segments, back to back, either in a
// buffer of ours or, when the stream keeps all of its bytes in memory (a
// std::stringbuf or a std::spanbuf), right where the stream holds them. In
// the second case the segments point into the stream's buffer and are valid
// only while the stream lives and is not modified.
struct FramedMessage {
  SegmentBuffer storage;  // unused when the segments lie in the stream's buffer
  std::vector<kj::ArrayPtr<const capnp::word>> segments;
  std::uint64_t words = 0;  // all segments together

  [[nodiscard]] kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segment_array() const noexcept {
    return kj::arrayPtr(segments.data(), segments.size());
  }
};

// Reads the segment table and the segments of one message from `in`, and
// leaves `in` right after the last segment. Premature end of the stream, a
// stream error or an unacceptable table gives Capnp ("Premature EOF at the
// start: the message is empty" when not a byte arrived). May throw
// (bad_alloc, stream exceptions): call it guarded. ProfileReport::read and
// ProfileFile both frame their message here, so that the same bytes fail
// with the same error whichever reads them.
[[nodiscard]] std::expected<FramedMessage, PackageError> read_framed_message(std::istream& in);

}  // namespace kivu_package::detail
