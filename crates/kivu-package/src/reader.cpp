// ProfileReport::read: one profile message from a byte stream into plain
// owned values.
//
// The message is framed by hand (framing.hpp), so that memory follows the
// bytes that actually arrive (and a message that a string or span stream
// already holds is not copied), and decoded with bounds derived from the
// message's own size: the library's traversal limit
// (profile_traversal_limit), a count of the list elements converted, and a
// count of the words read directly here (Converter). An honest message is
// visited about once and holds at least a word per element, so a message
// that would make the conversion visit far more than it holds (many pointers
// to one shared list or text, lists of zero-sized elements) fails as Capnp
// instead of exhausting time and memory.
//
// Below each sample, where a profile holds most of its pointers (the step,
// its texts, its metadata list and the entries' texts), pointers are read
// here directly when they take the ordinary form: a near pointer, of the
// kind the field needs, to an object inside the segment of the struct that
// holds it. The generated getters are called only for the rest (null
// pointers aside): far pointers, wrong kinds, objects out of bounds, a text
// without its NUL, lists of zero-sized or non-composite elements. They
// follow such a pointer or report it as before, so the report and the
// errors are the same either way; only the cost differs: the library's
// getters check each pointer in a call of their own, which made up most of
// the time of a conversion.
//
// Checks come in a fixed order and the first failure wins: framing, root,
// schema version, then tile by tile, sample by sample, field by field.
#include "capnp_boundary.hpp"
#include "framing.hpp"
#include "kivu_package.hpp"
#include "profile.capnp.h"
#include "utf8.hpp"

#include <capnp/any.h>
#include <capnp/message.h>

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace kivu_package {

namespace {

namespace schema = profile_capnp;

static_assert(std::endian::native == std::endian::little, "pointer words are read in the host's byte order");

using Status = std::expected<void, PackageError>;

// =============================================================================
// Reading ordinary pointers

using Segment = kj::ArrayPtr<const capnp::word>;
using Segments = kj::ArrayPtr<const Segment>;

constexpr std::uint32_t struct_kind = 0, list_kind = 1;
constexpr std::uint32_t byte_elements = 2, composite_elements = 7;

// A struct as it lies in the message: its data and pointer sections (on the
// wire the pointers directly follow the data), and its segment. An empty
// view is a struct whose fields all have their defaults.
struct StructView {
  const std::byte* data = nullptr;
  std::uint32_t data_bytes = 0;
  const capnp::word* pointers = nullptr;
  std::uint32_t pointer_count = 0;
  Segment segment;  // empty when not known; then its pointers are left to the library

  // Data field `index`, counted in fields of type T, or 0 past the section.
  template <typename T>
  [[nodiscard]] T field(std::size_t index) const noexcept {
    if ((index + 1) * sizeof(T) > data_bytes) return 0;
    T value;
    std::memcpy(&value, data + index * sizeof(T), sizeof value);
    return value;
  }
};

// The view of a struct that a generated reader reads. The library hands out
// its data section as bytes and its pointer section as a list; the pointers
// lie directly after the data on the wire, also for the elements of lists
// that are read as structs, so the data section's end is where they start.
template <typename Reader>
StructView view_of(Reader reader, Segments segments) noexcept {
  const capnp::AnyStruct::Reader any(reader);
  const kj::ArrayPtr<const capnp::byte> data = any.getDataSection();
  StructView view;
  view.data = reinterpret_cast<const std::byte*>(data.begin());
  view.data_bytes = static_cast<std::uint32_t>(data.size());
  view.pointer_count = any.getPointerSection().size();
  if (view.pointer_count == 0) return view;
  view.pointers = reinterpret_cast<const capnp::word*>(data.end());
  for (const Segment segment : segments) {
    if (view.pointers >= segment.begin() && view.pointers < segment.end()) {
      view.segment = segment;
      break;
    }
  }
  return view;
}

// A list of structs as it lies in the message.
struct ListView {
  const capnp::word* first = nullptr;
  std::uint32_t count = 0;
  std::uint32_t data_words = 0;
  std::uint32_t pointer_count = 0;
  Segment segment;

  [[nodiscard]] StructView element(std::uint32_t index) const noexcept {
    const capnp::word* at = first + std::size_t{index} * (data_words + pointer_count);
    return StructView{reinterpret_cast<const std::byte*>(at), data_words * 8, at + data_words, pointer_count, segment};
  }
};

// A pointer word, split into its halves.
struct Pointer {
  std::uint32_t low = 0;
  std::uint32_t high = 0;

  explicit Pointer(const capnp::word* at) noexcept {
    std::uint64_t ref;
    std::memcpy(&ref, at, sizeof ref);
    low = static_cast<std::uint32_t>(ref);
    high = static_cast<std::uint32_t>(ref >> 32);
  }
  [[nodiscard]] bool null() const noexcept { return low == 0 && high == 0; }
  [[nodiscard]] std::uint32_t kind() const noexcept { return low & 3; }
  // Where the pointer's object starts, as a word index into its segment
  // (possibly outside it).
  [[nodiscard]] std::int64_t target(const capnp::word* at, Segment segment) const noexcept {
    return (at - segment.begin()) + 1 + (static_cast<std::int32_t>(low) >> 2);
  }
};

bool within(std::int64_t start, std::uint64_t words, Segment segment) noexcept {
  return start >= 0 && static_cast<std::uint64_t>(start) + words <= segment.size();
}

// Each reader below takes the pointer word at `at` in `segment` when it has
// the ordinary form for its field, fills `out` exactly as the library's
// reader would and sets `words` to the words the library counts for it; it
// returns false, having done nothing, for any other form.

// A text: a byte list that ends in a NUL.
bool read_text(const capnp::word* at, Segment segment, std::string_view& out, std::uint64_t& words) noexcept {
  const Pointer ref(at);
  if (ref.kind() != list_kind || (ref.high & 7) != byte_elements) return false;
  const std::uint32_t count = ref.high >> 3;  // bytes, the NUL included
  if (count == 0) return false;
  const std::int64_t start = ref.target(at, segment);
  words = (std::uint64_t{count} + 7) / 8;
  if (!within(start, words, segment)) return false;
  const char* bytes = reinterpret_cast<const char*>(segment.begin() + start);
  if (bytes[count - 1] != '\0') return false;
  out = std::string_view(bytes, count - 1);
  return true;
}

// A struct.
bool read_struct(const capnp::word* at, Segment segment, StructView& out, std::uint64_t& words) noexcept {
  const Pointer ref(at);
  if (ref.kind() != struct_kind) return false;
  const std::uint32_t data_words = ref.high & 0xffff;
  const std::uint32_t pointer_count = ref.high >> 16;
  const std::int64_t start = ref.target(at, segment);
  words = data_words + pointer_count;
  if (!within(start, words, segment)) return false;
  const capnp::word* data = segment.begin() + start;
  out = StructView{reinterpret_cast<const std::byte*>(data), data_words * 8, data + data_words, pointer_count, segment};
  return true;
}

// A list of structs in the composite encoding (a tag word, then the
// elements), with elements of at least one word.
bool read_struct_list(const capnp::word* at, Segment segment, ListView& out, std::uint64_t& words) noexcept {
  const Pointer ref(at);
  if (ref.kind() != list_kind || (ref.high & 7) != composite_elements) return false;
  const std::uint32_t content_words = ref.high >> 3;
  const std::int64_t start = ref.target(at, segment);
  words = std::uint64_t{content_words} + 1;
  if (!within(start, words, segment)) return false;
  const Pointer tag(segment.begin() + start);
  if (tag.kind() != struct_kind) return false;
  const std::uint32_t count = tag.low >> 2;
  const std::uint32_t data_words = tag.high & 0xffff;
  const std::uint32_t pointer_count = tag.high >> 16;
  const std::uint64_t per_element = std::uint64_t{data_words} + pointer_count;
  if (per_element == 0 || count * per_element > content_words) return false;
  out = ListView{segment.begin() + start + 1, count, data_words, pointer_count, segment};
  return true;
}

// =============================================================================
// Conversion

// Converts tiles, samples and metadata entries while counting what it visits
// against two budgets derived from the message's size. Every element of an
// honest profile takes at least one word of the message, so a message whose
// lists add up to more elements than it holds words (plus a little slack) is
// amplified: shared lists or zero-sized elements. What is read here directly
// is also counted in words, as the library counts what it reads, against
// profile_traversal_limit. Stopping there bounds the report's size by the
// file's.
class Converter {
public:
  static constexpr std::uint64_t element_slack = std::uint64_t{1} << 16;

  explicit Converter(const detail::FramedMessage& message) noexcept
      : segments_(message.segment_array()),
        elements_left_(message.words + element_slack),
        words_left_(profile_traversal_limit(message.words)) {}

  Status tile(schema::TileProfile::Reader tile, TileProfile& out) {
    const auto samples = tile.getSamples();
    if (auto s = take_elements(samples.size()); !s) return s;
    out.samples.reserve(samples.size());
    for (const auto sample : samples) {
      if (auto s = this->sample(sample, out.samples.emplace_back()); !s) return s;
    }
    out.physical_tile = tile.getPhysicalTile();
    return {};
  }

  // Counts a list of `count` elements against the budget.
  Status take_elements(std::uint64_t count) {
    if (count <= elements_left_) {
      elements_left_ -= count;
      return {};
    }
    return std::unexpected(detail::capnp_failure(
        "Message lists hold more elements than the message has words; it is amplified (shared or zero-sized "
        "list elements)"));
  }

private:
  // Pointer `index` of `holder` read by `read` into `out` (counting its
  // words). True also for an absent or null pointer, with `out` left empty:
  // the field's default. False when the library has to read it.
  template <typename View, typename Read>
  std::expected<bool, PackageError> follow(const StructView& holder, std::uint32_t index, View& out, Read read) {
    if (index >= holder.pointer_count) return true;
    const capnp::word* at = holder.pointers + index;
    if (Pointer(at).null()) return true;
    if (holder.segment.size() == 0) return false;
    std::uint64_t words = 0;
    if (!read(at, holder.segment, out, words)) return false;
    if (words > words_left_) {
      return std::unexpected(detail::capnp_failure(
          "Exceeded the message traversal limit: the message's objects are visited more often than it holds "
          "them (shared pointers)"));
    }
    words_left_ -= words;
    return true;
  }

  Status sample(schema::CycleSample::Reader sample, CycleSample& out) {
    // The step, read here or, when its pointer is out of the ordinary, by
    // the library. The library's reader of it is made only when needed.
    std::optional<schema::ProfileStep::Reader> library_step;
    const auto step_reader = [&] {
      if (!library_step) library_step = sample.getStep();
      return *library_step;
    };
    StructView step;
    auto direct = follow(view_of(sample, segments_), 0, step, read_struct);
    if (!direct) return std::unexpected(std::move(direct.error()));
    if (!*direct) step = view_of(step_reader(), segments_);

    ProfileStep& to = out.step;
    to.local_index = step.field<std::uint32_t>(0);
    to.phase = step.field<std::uint32_t>(1);
    to.epoch = step.field<std::uint32_t>(2);
    if (auto s = text(
            step, 0, [&] { return step_reader().getOperation(); }, to.operation);
        !s)
      return s;

    // The 16-bit kind is checked against the schema here: the generated
    // getter would only cast it.
    const auto raw_kind = step.field<std::uint16_t>(6);
    switch (raw_kind) {
      case static_cast<std::uint16_t>(schema::StepKind::EXCHANGE): to.kind = ProfileStepKind::Exchange; break;
      case static_cast<std::uint16_t>(schema::StepKind::COMPUTE): to.kind = ProfileStepKind::Compute; break;
      case static_cast<std::uint16_t>(schema::StepKind::SYNCHRONIZATION):
        to.kind = ProfileStepKind::Synchronization;
        break;
      case static_cast<std::uint16_t>(schema::StepKind::IDLE): to.kind = ProfileStepKind::Idle; break;
      default: return std::unexpected(PackageError(NotInSchema{raw_kind}));
    }

    if (auto s = text(
            step, 1, [&] { return step_reader().getKernel(); }, to.kernel);
        !s)
      return s;
    if (auto s = metadata(step, step_reader, to.metadata); !s) return s;

    out.start_cycle = sample.getStartCycle();
    out.end_cycle = sample.getEndCycle();
    return {};
  }

  template <typename StepReader>
  Status metadata(const StructView& step, StepReader& step_reader, std::vector<ProfileMetadata>& out) {
    ListView list;
    auto direct = follow(step, 2, list, read_struct_list);
    if (!direct) return std::unexpected(std::move(direct.error()));
    if (*direct) {
      if (auto s = take_elements(list.count); !s) return s;
      out.reserve(list.count);
      std::optional<capnp::List<schema::MetadataEntry>::Reader> library_list;
      for (std::uint32_t i = 0; i < list.count; ++i) {
        const auto library_entry = [&] {
          if (!library_list) library_list = step_reader().getMetadata();
          return (*library_list)[i];
        };
        if (auto s = entry(list.element(i), library_entry, out.emplace_back()); !s) return s;
      }
      return {};
    }
    const auto entries = step_reader().getMetadata();
    if (auto s = take_elements(entries.size()); !s) return s;
    out.reserve(entries.size());
    for (const auto library_entry : entries) {
      const StructView view = view_of(library_entry, segments_);
      if (auto s = entry(
              view, [&] { return library_entry; }, out.emplace_back());
          !s)
        return s;
    }
    return {};
  }

  template <typename EntryReader>
  Status entry(const StructView& view, const EntryReader& library_entry, ProfileMetadata& out) {
    if (auto s = text(
            view, 0, [&] { return library_entry().getName(); }, out.name);
        !s)
      return s;
    return text(
        view, 1, [&] { return library_entry().getValue(); }, out.value);
  }

  // Reads text pointer `index` of a struct, checks it as UTF-8 and copies it
  // into `out`. `get` is the generated getter, for every pointer that
  // read_text does not take.
  template <typename Get>
  Status text(const StructView& holder, std::uint32_t index, const Get& get, std::string& out) {
    std::string_view bytes;
    auto direct = follow(holder, index, bytes, read_text);
    if (!direct) return std::unexpected(std::move(direct.error()));
    if (!*direct) {
      const capnp::Text::Reader read = get();
      bytes = std::string_view(read.begin(), read.size());
    }
    // A text lies in whole words, its NUL within them, so the ASCII test
    // may read up to the next word boundary.
    if (!detail::is_ascii_word_padded(bytes)) {
      if (auto bad = detail::check_utf8(bytes)) return std::unexpected(PackageError(*bad));
    }
    out.append(bytes);
    return {};
  }

  Segments segments_;
  std::uint64_t elements_left_;
  std::uint64_t words_left_;
};

std::expected<ProfileReport, PackageError> decode(std::istream& stream) {
  capnp::ReaderOptions options = capnp_reader_options();

  auto framed = detail::read_framed_message(stream);
  if (!framed) return std::unexpected(std::move(framed.error()));
  options.traversalLimitInWords = profile_traversal_limit(framed->words);

  capnp::SegmentArrayMessageReader message(framed->segment_array(), options);
  const schema::Profile::Reader root = message.getRoot<schema::Profile>();

  const std::uint32_t version = root.getSchemaVersion();
  if (version < 1 || version > 3) {
    return std::unexpected(PackageError::Invalid{"unsupported profile schema version " + std::to_string(version)});
  }

  Converter converter(*framed);
  const auto tiles = root.getTiles();
  if (auto s = converter.take_elements(tiles.size()); !s) return std::unexpected(std::move(s.error()));
  ProfileReport report;
  report.tiles.reserve(tiles.size());
  for (const auto tile : tiles) {
    if (auto s = converter.tile(tile, report.tiles.emplace_back()); !s) return std::unexpected(std::move(s.error()));
  }
  report.clock_hz = root.getClockHz();
  return report;
}

}  // namespace

// =============================================================================
// Public entry points

std::expected<ProfileReport, PackageError> ProfileReport::read_from(std::istream& stream) noexcept {
  return detail::run_guarded([&stream] { return decode(stream); });
}

}  // namespace kivu_package
