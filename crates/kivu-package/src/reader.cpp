// ProfileReport::read: one profile message from a byte stream into plain
// owned values.
//
// The message is framed by hand (framing.hpp), so that memory follows the
// bytes that actually arrive, and decoded through the generated readers with
// two bounds derived from the message's own size: the library's traversal
// limit (profile_traversal_limit) and a count of the list elements converted
// (Converter). An honest message is visited about once and holds at least a
// word per element, so a message that would make the conversion visit far
// more than it holds (many pointers to one shared list or text, lists of
// zero-sized elements) fails as Capnp instead of exhausting time and memory.
//
// Checks come in a fixed order and the first failure wins: framing, root,
// schema version, then tile by tile, sample by sample, field by field.
#include "capnp_boundary.hpp"
#include "framing.hpp"
#include "kivu_package.hpp"
#include "profile.capnp.h"
#include "utf8.hpp"

#include <capnp/message.h>

#include <string>
#include <string_view>

namespace kivu_package {

namespace {

namespace schema = profile_capnp;

// =============================================================================
// Conversion

using Status = std::expected<void, PackageError>;

// Copies a Text into `out` after checking it as UTF-8.
Status copy_text(capnp::Text::Reader text, std::string& out) {
  const std::string_view bytes(text.begin(), text.size());
  if (auto bad = detail::check_utf8(bytes)) return std::unexpected(PackageError(*bad));
  out.assign(bytes);
  return {};
}

Status convert_metadata(schema::MetadataEntry::Reader entry, ProfileMetadata& out) {
  if (auto s = copy_text(entry.getName(), out.name); !s) return s;
  return copy_text(entry.getValue(), out.value);
}

// Converts tiles, samples and metadata entries while counting the list
// elements it visits. Every element of an honest profile takes at least one
// word of the message, so a message whose lists add up to more elements than
// it holds words (plus a little slack) is amplified: shared lists or
// zero-sized elements. Stopping there bounds the report's size by the file's.
class Converter {
public:
  static constexpr std::uint64_t element_slack = std::uint64_t{1} << 16;

  explicit Converter(std::uint64_t message_words) noexcept : elements_left_(message_words + element_slack) {}

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
    ProfileStep& to = out.step;
    to.local_index = step.getLocalIndex();
    to.phase = step.getPhase();
    to.epoch = step.getEpoch();
    if (auto s = copy_text(step.getOperation(), to.operation); !s) return s;

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

    if (auto s = copy_text(step.getKernel(), to.kernel); !s) return s;

    const auto metadata = step.getMetadata();
    if (auto s = take_elements(metadata.size()); !s) return s;
    to.metadata.reserve(metadata.size());
    for (const auto entry : metadata) {
      if (auto s = convert_metadata(entry, to.metadata.emplace_back()); !s) return s;
    }

    out.start_cycle = sample.getStartCycle();
    out.end_cycle = sample.getEndCycle();
    return {};
  }

  std::uint64_t elements_left_;
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

  Converter converter(framed->words);
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
