// Test helpers: profile messages assembled word by word, and sample reports.
//
// Wire lets a test lay out a message exactly, including what no well-behaved
// writer produces: short or zero-sized structs, pointers of the wrong kind,
// shared targets, far pointers and lying segment tables.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "kivu_package.hpp"

namespace kivu_package::testing {

// =============================================================================
// Pointers

// Element size codes of list pointers.
enum class ElementSize : std::uint64_t {
  Void = 0,
  Bit = 1,
  Byte = 2,
  TwoBytes = 3,
  FourBytes = 4,
  EightBytes = 5,
  Pointer = 6,
  Composite = 7
};

// The offset field of a pointer at word `at` that targets word `target`.
inline std::uint64_t offset_bits(std::size_t at, std::size_t target) {
  const auto offset = static_cast<std::int64_t>(target) - static_cast<std::int64_t>(at) - 1;
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(offset)) << 2) & 0xffff'fffcULL;
}

inline std::uint64_t struct_pointer(std::size_t at, std::size_t target, std::uint16_t data_words,
                                    std::uint16_t pointers) {
  return offset_bits(at, target) | std::uint64_t{data_words} << 32 | std::uint64_t{pointers} << 48;
}

inline std::uint64_t list_pointer(std::size_t at, std::size_t target, ElementSize size, std::uint32_t count) {
  return offset_bits(at, target) | 1 | static_cast<std::uint64_t>(size) << 32 | std::uint64_t{count} << 35;
}

// The tag word that starts a composite list's content.
inline std::uint64_t composite_tag(std::uint32_t elements, std::uint16_t data_words, std::uint16_t pointers) {
  return std::uint64_t{elements} << 2 | std::uint64_t{data_words} << 32 | std::uint64_t{pointers} << 48;
}

// A single far pointer to the landing pad at `pad_offset` in `segment`.
inline std::uint64_t far_pointer(std::uint32_t segment, std::uint32_t pad_offset) {
  return 2 | std::uint64_t{pad_offset} << 3 | std::uint64_t{segment} << 32;
}

// =============================================================================
// Segments

// One segment being laid out; positions are word indices.
struct Segment {
  std::vector<std::uint64_t> words;

  std::size_t alloc(std::size_t count) {
    const std::size_t at = words.size();
    words.resize(at + count, 0);
    return at;
  }
  // A struct for the pointer at `at`; returns the struct's first word.
  std::size_t add_struct(std::size_t at, std::uint16_t data_words, std::uint16_t pointers) {
    const std::size_t target = alloc(std::size_t{data_words} + pointers);
    words[at] = struct_pointer(at, target, data_words, pointers);
    return target;
  }
  // A composite list for the pointer at `at`; returns its first element.
  std::size_t add_struct_list(std::size_t at, std::uint32_t count, std::uint16_t data_words, std::uint16_t pointers) {
    const std::size_t per = std::size_t{data_words} + pointers;
    const std::size_t tag = alloc(1 + per * count);
    words[at] = list_pointer(at, tag, ElementSize::Composite, static_cast<std::uint32_t>(per * count));
    words[tag] = composite_tag(count, data_words, pointers);
    return tag + 1;
  }
  // A byte list holding `bytes` exactly (add the NUL yourself for Text).
  void add_bytes(std::size_t at, std::string_view bytes) {
    const std::size_t target = alloc((bytes.size() + 7) / 8);
    if (!bytes.empty()) std::memcpy(words.data() + target, bytes.data(), bytes.size());
    words[at] = list_pointer(at, target, ElementSize::Byte, static_cast<std::uint32_t>(bytes.size()));
  }
  void add_text(std::size_t at, std::string_view text) { add_bytes(at, std::string(text) + '\0'); }

  void set_u32(std::size_t word, unsigned half, std::uint32_t value) {
    const unsigned shift = 32 * half;
    words[word] = (words[word] & ~(0xffff'ffffULL << shift)) | std::uint64_t{value} << shift;
  }
  void set_u16(std::size_t word, unsigned quarter, std::uint16_t value) {
    const unsigned shift = 16 * quarter;
    words[word] = (words[word] & ~(0xffffULL << shift)) | std::uint64_t{value} << shift;
  }
};

// The bytes of a message: the segment table, then the segments.
inline std::string frame(const std::vector<Segment>& segments) {
  std::vector<std::uint32_t> table{static_cast<std::uint32_t>(segments.size() - 1)};
  for (const Segment& s : segments) table.push_back(static_cast<std::uint32_t>(s.words.size()));
  if (table.size() % 2 != 0) table.push_back(0);
  std::string out(reinterpret_cast<const char*>(table.data()), table.size() * 4);
  for (const Segment& s : segments) {
    out.append(reinterpret_cast<const char*>(s.words.data()), s.words.size() * 8);
  }
  return out;
}

// A segment table alone, as raw 32-bit values.
inline std::string raw_table(std::initializer_list<std::uint32_t> values) {
  std::string out;
  for (const std::uint32_t v : values) out.append(reinterpret_cast<const char*>(&v), 4);
  return out;
}

// =============================================================================
// A small profile laid out by hand
//
// Root (schemaVersion, clockHz, tiles) with one tile (physical tile 7)
// holding one sample (cycles 10..20) whose step has the given texts and
// kind. Tests edit the words before framing.
struct HandProfile {
  Segment seg;
  std::size_t root = 0, tile = 0, sample = 0, step = 0, metadata = 0;

  explicit HandProfile(std::uint32_t version = 1, std::uint16_t kind = 1, std::string_view operation = "gemm",
                       std::string_view kernel = "k", std::string_view name = "n", std::string_view value = "v") {
    seg.alloc(1);
    root = seg.add_struct(0, 2, 1);
    seg.set_u32(root, 0, version);
    seg.words[root + 1] = 1'000'000'000;
    tile = seg.add_struct_list(root + 2, 1, 1, 1);
    seg.set_u32(tile, 0, 7);
    sample = seg.add_struct_list(tile + 1, 1, 1, 1);
    seg.set_u32(sample, 0, 10);
    seg.set_u32(sample, 1, 20);
    step = seg.add_struct(sample + 1, 2, 3);
    seg.set_u32(step, 0, 1);
    seg.set_u32(step, 1, 2);
    seg.set_u32(step + 1, 0, 3);
    seg.set_u16(step + 1, 2, kind);
    seg.add_text(step + 2, operation);
    seg.add_text(step + 3, kernel);
    metadata = seg.add_struct_list(step + 4, 1, 0, 2);
    seg.add_text(metadata, name);
    seg.add_text(metadata + 1, value);
  }

  [[nodiscard]] std::string bytes() const { return frame({seg}); }
};

// =============================================================================
// Reports

// A report that exercises every field: several tiles, all step kinds,
// metadata, non-ASCII texts, empty lists and texts, a repeated tile number.
inline kivu_package::ProfileReport sample_report() {
  using namespace kivu_package;
  ProfileReport report;
  report.clock_hz = 1'850'000'000;
  for (std::uint32_t t = 0; t < 5; ++t) {
    TileProfile tile;
    tile.physical_tile = t == 4 ? 0 : 1471 - t;
    for (std::uint32_t i = 0; i < t * 3; ++i) {
      CycleSample sample;
      sample.start_cycle = 100 * i;
      sample.end_cycle = i % 4 == 3 ? 5 : 100 * i + 40;
      sample.step.local_index = i;
      sample.step.phase = i / 2;
      sample.step.epoch = t;
      sample.step.kind = static_cast<ProfileStepKind>(i % 4);
      sample.step.operation = i % 3 == 0 ? "" : "gemm block " + std::to_string(i);
      sample.step.kernel = i % 2 == 0 ? "kernel_μ" : "a kernel name well beyond the short-string size";
      for (std::uint32_t m = 0; m < i % 3; ++m) {
        sample.step.metadata.push_back({"key" + std::to_string(m), m == 0 ? "" : "värde ✓ 𝄞"});
      }
      tile.samples.push_back(std::move(sample));
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

}  // namespace kivu_package::testing
