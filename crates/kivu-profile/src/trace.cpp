#include "trace.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <numeric>
#include <ostream>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "profile_stats.hpp"

namespace kivu_profile {

using kivu_package::MetadataView;
using kivu_package::ProfileView;
using kivu_package::SampleView;
using kivu_package::StepView;
using kivu_package::TileView;

namespace {

// `cycles` at `clock_hz` as a whole number of 1/1024 µs, rounded to the
// nearest. Such a binary fraction of a microsecond is exact in a double, so
// a step's ts + dur, with dur taken as the rounded end minus the rounded
// start, equals the next step's ts for a reader of the JSON; with plain
// decimal fractions it could land a hair past it, and viewers then draw the
// next step nested inside this one. 1/1024 µs keeps nanosecond resolution;
// times stay exact up to 2^53 / 1024 µs (about 100 days), which 32-bit cycle
// counts stay below at any clock above 489 Hz.
std::uint64_t trace_time_units(std::uint64_t cycles, std::uint64_t clock_hz) noexcept {
  __extension__ using Wide = unsigned __int128;
  constexpr Wide units_per_second = 1'024'000'000;
  return static_cast<std::uint64_t>((Wide{cycles} * units_per_second + clock_hz / 2) / clock_hz);
}

// =============================================================================
// Writing JSON

// JSON text gathered in a buffer of fixed size and handed to the stream in
// large pieces.
class JsonWriter {
public:
  explicit JsonWriter(std::ostream& out) : out_(out), buffer_(std::make_unique_for_overwrite<char[]>(capacity)) {}

  // A piece of JSON given as a literal.
  template <std::size_t N>
  void raw(const char (&text)[N]) {
    static_assert(N - 1 <= small_piece);
    room(N - 1);
    std::memcpy(buffer_.get() + used_, text, N - 1);
    used_ += N - 1;
  }

  // A piece of JSON of any length.
  void raw(std::string_view text) {
    if (text.size() > capacity - used_) {
      flush();
      if (text.size() > capacity) {
        out_.write(text.data(), static_cast<std::streamsize>(text.size()));
        return;
      }
    }
    std::memcpy(buffer_.get() + used_, text.data(), text.size());
    used_ += text.size();
  }

  void number(std::uint64_t value) {
    room(20);
    used_ = static_cast<std::size_t>(std::to_chars(buffer_.get() + used_, buffer_.get() + capacity, value).ptr -
                                     buffer_.get());
  }

  // A member whose value is a number: `key` holds what comes before the
  // value (the comma, the quoted name and the colon).
  template <std::size_t N>
  void number_member(const char (&key)[N], std::uint64_t value) {
    raw(key);
    number(value);
  }

  // `text` as a JSON string: quotes, backslashes and control characters
  // escaped (\b \f \n \r \t, else \u00XX), everything else as it is.
  void string(std::string_view text) {
    raw("\"");
    // Escaping at most sextuples a byte: pieces that fit the buffer so.
    constexpr std::size_t piece = capacity / 8;
    for (std::size_t at = 0; at < text.size(); at += piece) escape(text.substr(at, piece));
    raw("\"");
  }

  // A time in whole 1/1024 µs (see trace_time_units), in microseconds.
  void microseconds(std::uint64_t units) { append_time(units); }

  // Hands the buffer to the stream once it is nearly full; false when the
  // stream has failed.
  bool flush_if_full() {
    if (used_ < capacity / 2) return static_cast<bool>(out_);
    return flush();
  }

  bool flush() {
    out_.write(buffer_.get(), static_cast<std::streamsize>(used_));
    used_ = 0;
    return static_cast<bool>(out_);
  }

private:
  static constexpr std::size_t capacity = std::size_t{1} << 20;
  static constexpr std::size_t small_piece = 256;

  // Makes room for `bytes` more bytes (at most capacity).
  void room(std::size_t bytes) {
    if (bytes > capacity - used_) flush();
  }

  void escape(std::string_view text) {
    room(6 * text.size());
    char* to = buffer_.get() + used_;
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      std::memcpy(to, text.data() + plain, i - plain);
      to += i - plain;
      plain = i + 1;
      *to++ = '\\';
      switch (c) {
        case '"': *to++ = '"'; break;
        case '\\': *to++ = '\\'; break;
        case '\b': *to++ = 'b'; break;
        case '\f': *to++ = 'f'; break;
        case '\n': *to++ = 'n'; break;
        case '\r': *to++ = 'r'; break;
        case '\t': *to++ = 't'; break;
        default: {
          static constexpr char hex[] = "0123456789abcdef";
          const char escaped[] = {'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
          std::memcpy(to, escaped, sizeof escaped);
          to += sizeof escaped;
        }
      }
    }
    std::memcpy(to, text.data() + plain, text.size() - plain);
    to += text.size() - plain;
    used_ = static_cast<std::size_t>(to - buffer_.get());
  }

  // Writes `units` / 1024 exactly: the whole part, then, when there is one,
  // the fraction's decimal digits (at most ten, since 1/1024 is 0.0009765625)
  // without trailing zeros.
  void append_time(std::uint64_t units) {
    char digits[48];
    char* to = std::to_chars(digits, digits + 24, units >> 10).ptr;
    if (const std::uint64_t fraction = (units & 1023) * 9'765'625; fraction != 0) {
      char tenths[10];
      std::uint64_t rest = fraction;
      for (int i = 9; i >= 0; --i, rest /= 10) tenths[i] = static_cast<char>('0' + rest % 10);
      int length = 10;
      while (tenths[length - 1] == '0') --length;
      *to++ = '.';
      std::memcpy(to, tenths, static_cast<std::size_t>(length));
      to += length;
    }
    raw(std::string_view(digits, static_cast<std::size_t>(to - digits)));
  }

  std::ostream& out_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

// =============================================================================
// Events

// Metadata entries of one step, gathered for writing as one object whose
// names are sorted and whose repeated names map to the array of their
// values. The storage is kept from step to step.
class MetadataObject {
public:
  void gather(const StepView& step) {
    entries_.clear();
    for (const MetadataView entry : step.metadata()) entries_.emplace_back(entry.name(), entry.value());
    // Stable, so a repeated name keeps its values in order. Insertion for
    // the few entries a step usually has: std::stable_sort would allocate.
    if (entries_.size() > 16) {
      std::ranges::stable_sort(entries_, {}, &Entry::first);
    } else {
      for (std::size_t i = 1; i < entries_.size(); ++i) {
        for (std::size_t j = i; j > 0 && entries_[j].first < entries_[j - 1].first; --j) {
          std::swap(entries_[j], entries_[j - 1]);
        }
      }
    }
  }

  void write(JsonWriter& json) const {
    json.raw("{");
    for (std::size_t i = 0; i < entries_.size();) {
      std::size_t end = i + 1;
      while (end < entries_.size() && entries_[end].first == entries_[i].first) ++end;
      if (i != 0) json.raw(",");
      json.string(entries_[i].first);
      json.raw(":");
      if (end - i == 1) {
        json.string(entries_[i].second);
      } else {
        json.raw("[");
        for (std::size_t k = i; k < end; ++k) {
          if (k != i) json.raw(",");
          json.string(entries_[k].second);
        }
        json.raw("]");
      }
      i = end;
    }
    json.raw("}");
  }

private:
  using Entry = std::pair<std::string_view, std::string_view>;
  std::vector<Entry> entries_;
};

// Writes the complete event of one sample; keys in the order of a JSON
// object with sorted keys.
void write_sample_event(JsonWriter& json, std::uint32_t physical_tile, const SampleView& sample, std::uint64_t clock_hz,
                        MetadataObject& metadata) {
  const StepView step = sample.step();
  const std::string_view operation = step.operation();
  const auto kind = step.kind();
  const std::string_view kernel = step.kernel();
  metadata.gather(step);
  const std::uint64_t start = trace_time_units(sample.start_cycle(), clock_hz);
  const std::uint64_t end = trace_time_units(sample.end_cycle(), clock_hz);
  const std::string_view name = !operation.empty() ? operation : !kernel.empty() ? kernel : kind_name(kind);

  // What the operation is, which viewers key their frames on (speedscope
  // names a frame by its name and args), so every sample of one operation
  // is the same frame; what this sample did sits in "sample", which they
  // leave alone.
  json.raw(",\n{\"args\":{\"kernel\":");
  json.string(kernel);
  json.raw(",\"kind\":\"");
  json.raw(kind_name(kind));
  json.raw("\"},\"cat\":\"");
  json.raw(kind_name(kind));
  json.raw("\",\"dur\":");
  json.microseconds(end < start ? 0 : end - start);
  json.raw(",\"name\":");
  json.string(name);
  json.number_member(",\"ph\":\"X\",\"pid\":", trace_process_id);
  json.number_member(",\"sample\":{\"end_cycle\":", sample.end_cycle());
  json.number_member(",\"epoch\":", step.epoch());
  json.number_member(",\"local_index\":", step.local_index());
  json.raw(",\"metadata\":");
  metadata.write(json);
  json.number_member(",\"phase\":", step.phase());
  json.number_member(",\"start_cycle\":", sample.start_cycle());
  json.number_member(",\"tile\":", physical_tile);
  json.number_member("},\"tid\":", tile_thread_id(physical_tile));
  json.raw(",\"ts\":");
  json.microseconds(start);
  json.raw("}");
}

// The two metadata events that name and place the track of a tile.
void write_track_events(JsonWriter& json, std::uint32_t physical_tile) {
  const auto tid = tile_thread_id(physical_tile);
  json.raw(",\n{\"args\":{\"name\":\"tile ");
  json.number(physical_tile);
  json.number_member("\"},\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":", trace_process_id);
  json.number_member(",\"tid\":", tid);
  json.number_member("},\n{\"args\":{\"sort_index\":", physical_tile);
  json.number_member("},\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":", trace_process_id);
  json.number_member(",\"tid\":", tid);
  json.raw("}");
}

}  // namespace

std::expected<TraceCounts, std::string> write_trace(const ProfileView& profile, std::ostream& out) {
  const std::uint64_t clock_hz = profile.clock_hz();
  if (clock_hz == 0) {
    return std::unexpected(std::string("the profile's clock is 0 Hz, so its cycles cannot be turned into time"));
  }
  const auto tiles = profile.tiles();

  // Tracks in ascending tile order; entries naming the same tile share its
  // track, in list order.
  std::vector<std::uint32_t> order(tiles.size());
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  std::vector<std::uint32_t> numbers(tiles.size());
  for (std::uint32_t i = 0; i < tiles.size(); ++i) numbers[i] = tiles[i].physical_tile();
  std::ranges::stable_sort(order, {}, [&](std::uint32_t i) { return numbers[i]; });

  JsonWriter json(out);
  json.raw("{\"displayTimeUnit\":\"ns\",\"otherData\":{\"clock_hz\":");
  json.number(clock_hz);
  json.raw(",\"source\":\"kivu cycle profile\"},\"traceEvents\":[");
  json.raw("\n{\"args\":{\"name\":\"kivu cycle profile\"},\"name\":\"process_name\",\"ph\":\"M\",\"pid\":");
  json.number(trace_process_id);
  json.raw("}");

  TraceCounts counts;
  MetadataObject metadata;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::uint32_t physical_tile = numbers[order[k]];
    if (k == 0 || numbers[order[k - 1]] != physical_tile) {
      write_track_events(json, physical_tile);
      ++counts.tracks;
    }
    for (const SampleView sample : tiles[order[k]].samples()) {
      write_sample_event(json, physical_tile, sample, clock_hz, metadata);
      ++counts.sample_events;
      if (!json.flush_if_full()) break;
    }
    if (!json.flush_if_full()) break;
  }
  json.raw("\n]}\n");
  json.flush();
  out.flush();
  if (!out) return std::unexpected(std::string("the output stream failed"));
  return counts;
}

std::expected<TraceCounts, std::string> write_trace(const kivu_package::ProfileReport& report, std::ostream& out) {
  // A report is written by way of its encoding, walked like a profile file.
  if (report.clock_hz == 0) {
    return std::unexpected(std::string("the profile's clock is 0 Hz, so its cycles cannot be turned into time"));
  }
  auto encoded = kivu_package::encode_profile(report);
  if (!encoded) return std::unexpected("the profile cannot be encoded: " + kivu_package::debug_string(encoded.error()));
  auto file = kivu_package::ProfileFile::from_bytes(*encoded);
  if (!file) return std::unexpected("the profile cannot be read: " + kivu_package::debug_string(file.error()));
  std::expected<TraceCounts, std::string> written;
  const auto walked = file->visit([&](const ProfileView& profile) { written = write_trace(profile, out); });
  if (!walked) return std::unexpected("the profile cannot be read: " + kivu_package::debug_string(walked.error()));
  return written;
}

}  // namespace kivu_profile
