// Reading and writing the unpacked stream framing without trusting the
// segment table's claims ahead of the bytes that back them.
#include "framing.hpp"

#include "capnp_boundary.hpp"

#include <algorithm>
#include <cstring>
#include <ios>
#include <streambuf>
#include <string>

namespace kivu_package::detail {

namespace {

std::uint32_t load_u32(const unsigned char* bytes) noexcept {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void store_u32(char* bytes, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
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

}  // namespace

std::expected<FramedMessage, PackageError> read_framed_message(std::istream& in) {
  if (!in.good()) {
    return std::unexpected(capnp_failure("The stream is not readable"));
  }

  // The segment count and the first segment's length.
  unsigned char head[8];
  if (read_some(in, head, sizeof head) != sizeof head) {
    return premature_end("in the segment table");
  }
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

  // The segments' bytes, in a buffer that grows only as they arrive. When
  // the stream can tell how much it holds (a file, a string), an honest
  // message lands in one allocation and one read.
  const std::size_t total = static_cast<std::size_t>(words) * sizeof(capnp::word);
  std::size_t capacity = std::min(total, std::max(read_chunk_bytes, bytes_remaining(in)));
  FramedMessage message;
  message.words = words;
  message.storage.reset(static_cast<capnp::word*>(std::malloc(std::max<std::size_t>(capacity, sizeof(capnp::word)))));
  if (!message.storage) throw std::bad_alloc();

  std::size_t filled = 0;
  while (filled < total) {
    if (filled == capacity) {
      // realloc moves large blocks by remapping pages, not by copying them.
      const std::size_t grown = std::min(total, capacity + read_chunk_bytes);
      void* moved = std::realloc(message.storage.get(), grown);
      if (moved == nullptr) throw std::bad_alloc();
      static_cast<void>(message.storage.release());
      message.storage.reset(static_cast<capnp::word*>(moved));
      capacity = grown;
    }
    const std::size_t wanted = capacity - filled;
    const std::size_t got = read_some(in, reinterpret_cast<char*>(message.storage.get()) + filled, wanted);
    filled += got;
    if (got < wanted) {
      return std::unexpected(capnp_failure("Premature EOF: the segment table claims " + std::to_string(total) +
                                           " bytes of segments, the stream held " + std::to_string(filled)));
    }
  }

  message.segments.reserve(lengths.size());
  const capnp::word* next = message.storage.get();
  for (const std::uint32_t length : lengths) {
    message.segments.emplace_back(next, length);
    next += length;
  }
  return message;
}

std::string segment_table(kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
  const std::size_t count = segments.size();
  const std::size_t values = 1 + count;
  std::string table((values + values % 2) * 4, '\0');
  store_u32(table.data(), static_cast<std::uint32_t>(count - 1));
  for (std::size_t i = 0; i < count; ++i) {
    store_u32(table.data() + 4 * (i + 1), static_cast<std::uint32_t>(segments[i].size()));
  }
  return table;
}

}  // namespace kivu_package::detail
