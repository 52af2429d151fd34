// ProfileReport::read: one profile message from a byte stream into plain
// owned values.
//
// The message is framed by hand (framing.hpp), so that memory follows the
// bytes that actually arrive, and decoded through the generated readers with
// bounds derived from the message's own size: the library's traversal limit
// (profile_traversal_limit), a count of the list elements converted and a
// count of the text words copied (Converter). An honest message is visited
// about once and holds at least a word per element, so a message that would
// make the conversion visit far more than it holds (many pointers to one
// shared list or text, lists of zero-sized elements) fails as Capnp instead
// of exhausting time and memory.
//
// Texts are most of what a profile holds, so their pointers are read here
// directly when they take the ordinary form (a near pointer to a NUL-
// terminated byte list inside the segment of the struct that holds it);
// anything else (far pointers, null or wrong kinds, bounds, a missing NUL) is
// left to the generated getter, which follows it or reports it as before.
//
// Checks come in a fixed order and the first failure wins: framing, root,
// schema version, then tile by tile, sample by sample, field by field.
#include "capnp_boundary.hpp"
#include "framing.hpp"
#include "kivu_package.hpp"
#include "profile.capnp.h"
#include "utf8.hpp"

#include <capnp/message.h>

#include <bit>
#include <cstring>
#include <string>
#include <string_view>

namespace kivu_package {

namespace {

namespace schema = profile_capnp;

static_assert(std::endian::native == std::endian::little, "pointer words are read in the host's byte order");

using Status = std::expected<void, PackageError>;

// =============================================================================
// Reading text pointers

// A struct's pointer section and the segment the struct lies in. On the wire
// a struct's pointers directly follow its data section.
struct PointerSection {
  const capnp::word* first = nullptr;
  std::uint32_t count = 0;
  kj::ArrayPtr<const capnp::word> segment;  // empty when not known
};

template <typename Schema>
PointerSection pointer_section(const typename Schema::Reader& reader,
                               kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) noexcept {
  const capnp::_::StructReader in = capnp::_::PointerHelpers<Schema>::getInternalReader(reader);
  PointerSection section;
  section.count = capnp::unbound(in.getPointerSectionSize() / capnp::POINTERS);
  if (section.count == 0) return section;
  section.first = reinterpret_cast<const capnp::word*>(static_cast<const std::byte*>(in.getLocation()) +
                                                       capnp::unbound(in.getDataSectionSize() / capnp::BITS) / 8);
  for (const auto segment : segments) {
    if (section.first >= segment.begin() && section.first < segment.end()) {
      section.segment = segment;
      break;
    }
  }
  return section;
}

// The text that the pointer word at `at` refers to, when the pointer is a
// near list pointer to a NUL-terminated byte list lying inside `segment`:
// exactly what the library's Text reader gives for such a pointer. Nothing
// otherwise. `words` is set to the words the text occupies.
bool near_text(const capnp::word* at, kj::ArrayPtr<const capnp::word> segment, std::string_view& text,
               std::uint64_t& words) noexcept {
  std::uint64_t ref;
  std::memcpy(&ref, at, sizeof ref);
  const auto low = static_cast<std::uint32_t>(ref);
  const auto high = static_cast<std::uint32_t>(ref >> 32);
  constexpr std::uint32_t list_kind = 1, byte_elements = 2;
  if ((low & 3) != list_kind || (high & 7) != byte_elements) return false;
  const std::uint32_t count = high >> 3;  // bytes, the NUL included
  if (count == 0) return false;
  const std::int64_t offset = static_cast<std::int32_t>(low) >> 2;  // words after the pointer
  const std::int64_t target = (at - segment.begin()) + 1 + offset;
  words = (std::uint64_t{count} + 7) / 8;
  if (target < 0 || static_cast<std::uint64_t>(target) + words > segment.size()) return false;
  const char* bytes = reinterpret_cast<const char*>(segment.begin() + target);
  if (bytes[count - 1] != '\0') return false;
  text = std::string_view(bytes, count - 1);
  return true;
}

// =============================================================================
// Conversion

// Converts tiles, samples and metadata entries while counting what it visits
// against two budgets derived from the message's size. Every element of an
// honest profile takes at least one word of the message, so a message whose
// lists add up to more elements than it holds words (plus a little slack) is
// amplified: shared lists or zero-sized elements. Texts read here directly
// are counted in words, like the library counts what it reads, against
// profile_traversal_limit. Stopping there bounds the report's size by the
// file's.
class Converter {
public:
  static constexpr std::uint64_t element_slack = std::uint64_t{1} << 16;

  explicit Converter(const detail::FramedMessage& message) noexcept
      : segments_(message.segment_array()),
        elements_left_(message.words + element_slack),
        text_words_left_(profile_traversal_limit(message.words)) {}

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
  Status sample(schema::CycleSample::Reader sample, CycleSample& out) {
    const schema::ProfileStep::Reader step = sample.getStep();
    const PointerSection pointers = pointer_section<schema::ProfileStep>(step, segments_);
    ProfileStep& to = out.step;
    to.local_index = step.getLocalIndex();
    to.phase = step.getPhase();
    to.epoch = step.getEpoch();
    if (auto s = text(pointers, 0, [&] { return step.getOperation(); }, to.operation); !s) return s;

    // The generated getter only casts the stored 16-bit value; the enum keeps
    // that raw value, which is checked against the schema here.
    const auto raw_kind = static_cast<std::uint16_t>(step.getKind());
    switch (raw_kind) {
      case static_cast<std::uint16_t>(schema::StepKind::EXCHANGE): to.kind = ProfileStepKind::Exchange; break;
      case static_cast<std::uint16_t>(schema::StepKind::COMPUTE): to.kind = ProfileStepKind::Compute; break;
      case static_cast<std::uint16_t>(schema::StepKind::SYNCHRONIZATION):
        to.kind = ProfileStepKind::Synchronization;
        break;
      case static_cast<std::uint16_t>(schema::StepKind::IDLE): to.kind = ProfileStepKind::Idle; break;
      default: return std::unexpected(PackageError(NotInSchema{raw_kind}));
    }

    if (auto s = text(pointers, 1, [&] { return step.getKernel(); }, to.kernel); !s) return s;

    const auto metadata = step.getMetadata();
    if (auto s = take_elements(metadata.size()); !s) return s;
    to.metadata.reserve(metadata.size());
    for (const auto entry : metadata) {
      const PointerSection fields = pointer_section<schema::MetadataEntry>(entry, segments_);
      ProfileMetadata& into = to.metadata.emplace_back();
      if (auto s = text(fields, 0, [&] { return entry.getName(); }, into.name); !s) return s;
      if (auto s = text(fields, 1, [&] { return entry.getValue(); }, into.value); !s) return s;
    }

    out.start_cycle = sample.getStartCycle();
    out.end_cycle = sample.getEndCycle();
    return {};
  }

  // Reads text pointer `index` of a struct, checks it as UTF-8 and copies it
  // into `out`. `get` is the generated getter, used for every pointer that
  // near_text does not take.
  template <typename Get>
  Status text(const PointerSection& pointers, std::uint32_t index, Get&& get, std::string& out) {
    if (index >= pointers.count) return {};  // absent: the empty default
    std::string_view bytes;
    std::uint64_t words = 0;
    if (pointers.segment.size() != 0 && near_text(pointers.first + index, pointers.segment, bytes, words)) {
      if (words > text_words_left_) {
        return std::unexpected(detail::capnp_failure(
            "Exceeded the message traversal limit: the message's texts are visited more often than it holds "
            "them (shared texts)"));
      }
      text_words_left_ -= words;
    } else {
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

  kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments_;
  std::uint64_t elements_left_;
  std::uint64_t text_words_left_;
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
