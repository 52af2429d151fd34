// Reading the unpacked stream framing without trusting the segment table's
// claims ahead of the bytes that back them.
#include "framing.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ios>
#include <new>
#include <span>
#include <spanstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <typeinfo>
#include <utility>

#include "capnp_boundary.hpp"

namespace kivu_package::detail {

namespace {

std::uint32_t load_u32(const unsigned char* bytes) noexcept {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Extracts up to `size` bytes; returns how many arrived.
std::size_t read_some(std::istream& in, void* into, std::size_t size) {
  if (size == 0) return 0;
  in.read(static_cast<char*>(into), static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(in.gcount());
}

// How many bytes the stream still holds, as far as it can tell without
// extracting any: a seekable stream (a file, a string) is measured by seeking
// to its end and back; otherwise the stream's own promise of bytes available
// without blocking is taken. 0 when unknown.
std::size_t bytes_remaining(std::istream& in) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return 0;
  const auto failed = std::streambuf::pos_type(std::streambuf::off_type(-1));
  const auto here = buffer->pubseekoff(0, std::ios::cur, std::ios::in);
  if (here != failed) {
    const auto end = buffer->pubseekoff(0, std::ios::end, std::ios::in);
    if (buffer->pubseekpos(here, std::ios::in) != here) {
      throw std::ios_base::failure("the stream could not return to its position after measuring its size");
    }
    if (end != failed && end > here) return static_cast<std::size_t>(end - here);
  }
  const std::streamsize available = buffer->in_avail();
  return available > 0 ? static_cast<std::size_t>(available) : 0;
}

std::unexpected<PackageError> premature_end(std::string_view where) {
  return std::unexpected(capnp_failure(std::string("Premature EOF ") + std::string(where)));
}

// The bytes from the stream's read position to its end, when its buffer
// holds all of them in memory where they can be read in place: a
// std::stringbuf or a std::spanbuf (exactly those; a class derived from them
// may deliver other bytes than it holds). Empty otherwise.
std::span<const char> bytes_in_place(std::streambuf& buffer) {
  std::span<const char> held;
  if (typeid(buffer) == typeid(std::stringbuf)) {
    held = static_cast<std::stringbuf&>(buffer).view();
  } else if (typeid(buffer) == typeid(std::spanbuf)) {
    // In a buffer open for writing too, this is the written part, which
    // starts where the readable part does and is not longer than it.
    held = static_cast<std::spanbuf&>(buffer).span();
  } else {
    return {};
  }
  // Both keep their readable bytes from the start of what they hold, so the
  // read position, as an offset, is an index into it.
  const auto here = buffer.pubseekoff(0, std::ios::cur, std::ios::in);
  if (here == std::streambuf::pos_type(std::streambuf::off_type(-1))) return {};
  const auto offset = static_cast<std::streamoff>(here);
  if (offset < 0 || static_cast<std::uint64_t>(offset) > held.size()) return {};
  return held.subspan(static_cast<std::size_t>(offset));
}

// Points the message's segments at `total` bytes of the stream's own buffer
// and moves the stream past them, when the buffer holds them in memory,
// aligned for words. False, with nothing consumed, otherwise.
bool frame_in_place(std::istream& in, const std::vector<std::uint32_t>& lengths, std::size_t total,
                    FramedMessage& message) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return false;
  const std::span<const char> rest = bytes_in_place(*buffer);
  if (rest.size() < total || reinterpret_cast<std::uintptr_t>(rest.data()) % alignof(capnp::word) != 0) {
    return false;
  }
  const auto here = buffer->pubseekoff(0, std::ios::cur, std::ios::in);
  const auto after = buffer->pubseekoff(static_cast<std::streamoff>(total), std::ios::cur, std::ios::in);
  if (after != here + static_cast<std::streamoff>(total)) {
    if (buffer->pubseekpos(here, std::ios::in) != here) {
      throw std::ios_base::failure("the stream could not return to its position after skipping the message");
    }
    return false;
  }
  const auto* next = reinterpret_cast<const capnp::word*>(rest.data());
  for (const std::uint32_t length : lengths) {
    message.segments.emplace_back(next, length);
    next += length;
  }
  return true;
}

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

std::size_t page_bytes() noexcept {
  static const std::size_t size = [] {
    const long queried = ::sysconf(_SC_PAGESIZE);
    return queried > 0 ? static_cast<std::size_t>(queried) : std::size_t{4096};
  }();
  return size;
}

}  // namespace

// =============================================================================
// SegmentBuffer

SegmentBuffer::SegmentBuffer(SegmentBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

SegmentBuffer& SegmentBuffer::operator=(SegmentBuffer&& other) noexcept {
  if (this != &other) {
    SegmentBuffer(std::move(other)).swap_into(*this);
  }
  return *this;
}

SegmentBuffer::~SegmentBuffer() {
  if (data_ != nullptr) ::munmap(data_, mapped_);
}

void SegmentBuffer::reserve(std::size_t bytes, bool huge_pages) {
  if (bytes <= capacity_) return;
  const std::size_t page = page_bytes();
  if (bytes > SIZE_MAX - page) throw std::bad_alloc();
  const std::size_t wanted = (bytes + page - 1) / page * page;
  void* memory = data_ == nullptr ? ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                  : ::mremap(data_, mapped_, wanted, MREMAP_MAYMOVE);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<char*>(memory);
  mapped_ = wanted;
  capacity_ = bytes;
  // Only a hint: without it (or where it is not honoured) the buffer works
  // the same with ordinary pages.
  if (huge_pages && wanted >= huge_page_bytes) static_cast<void>(::madvise(data_, mapped_, MADV_HUGEPAGE));
}

void SegmentBuffer::swap_into(SegmentBuffer& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(capacity_, other.capacity_);
  std::swap(mapped_, other.mapped_);
}

// =============================================================================
// Reading

std::expected<FramedMessage, PackageError> read_framed_message(std::istream& in) {
  if (!in.good()) {
    return std::unexpected(capnp_failure("The stream is not readable"));
  }

  // The segment count and the first segment's length.
  unsigned char head[8];
  const std::size_t head_bytes = read_some(in, head, sizeof head);
  if (head_bytes == 0) return premature_end("at the start: the message is empty");
  if (head_bytes != sizeof head) return premature_end("in the segment table");
  const std::uint64_t segment_count = std::uint64_t{load_u32(head)} + 1;
  if (segment_count > max_segments) {
    return std::unexpected(capnp_failure("Message has too many segments: " + std::to_string(segment_count)));
  }

  // The other lengths, and the padding after an even number of them.
  std::vector<std::uint32_t> lengths(static_cast<std::size_t>(segment_count));
  lengths[0] = load_u32(head + 4);
  const std::size_t rest_bytes = 4 * (lengths.size() - 1) + (lengths.size() % 2 == 0 ? 4 : 0);
  if (rest_bytes > 0) {
    unsigned char rest[4 * max_segments + 4];
    if (read_some(in, rest, rest_bytes) != rest_bytes) {
      return premature_end("in the segment table");
    }
    for (std::size_t i = 1; i < lengths.size(); ++i) lengths[i] = load_u32(rest + 4 * (i - 1));
  }

  std::uint64_t words = 0;
  for (const std::uint32_t length : lengths) {
    if (length > max_segment_words) {
      return std::unexpected(capnp_failure("Message segment is too large: " + std::to_string(length) + " words"));
    }
    words += length;
  }

  FramedMessage message;
  message.words = words;
  message.segments.reserve(lengths.size());
  const std::size_t total = static_cast<std::size_t>(words) * sizeof(capnp::word);

  // A stream whose bytes are all in memory already is read in place.
  if (frame_in_place(in, lengths, total, message)) return message;

  // Otherwise the segments' bytes go into a buffer that grows only as they
  // arrive. When the stream can tell how much it holds (a file, a string),
  // an honest message lands in one allocation and one read.
  const std::size_t promised = bytes_remaining(in);
  message.storage.reserve(std::max<std::size_t>(std::min(total, std::max(read_chunk_bytes, promised)), 1),
                          promised >= total);

  std::size_t filled = 0;
  while (filled < total) {
    if (filled == message.storage.capacity()) {
      // The bytes so far have arrived, so the next chunk is likely to fill.
      message.storage.reserve(std::min(total, filled + read_chunk_bytes), true);
    }
    const std::size_t wanted = message.storage.capacity() - filled;
    const std::size_t got = read_some(in, message.storage.data() + filled, wanted);
    filled += got;
    if (got < wanted) {
      return std::unexpected(capnp_failure("Premature EOF: the segment table claims " + std::to_string(total) +
                                           " bytes of segments, the stream held " + std::to_string(filled)));
    }
  }

  const auto* next = reinterpret_cast<const capnp::word*>(message.storage.data());
  for (const std::uint32_t length : lengths) {
    message.segments.emplace_back(next, length);
    next += length;
  }
  return message;
}

}  // namespace kivu_package::detail
