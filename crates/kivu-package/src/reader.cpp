// ProfileReport::read: one profile message from a byte stream into plain
// owned values.
//
// The message is framed by hand (framing.hpp) rather than by Cap'n Proto's
// stream readers, because those allocate whatever the segment table claims
// before a byte of the segments has arrived; the framing here lets memory
// follow the bytes that actually arrive. The segments are then read through
// Cap'n Proto's segment-array reader and the generated readers, by way of
// the views of profile_file.hpp, which check texts and step kinds.
//
// Work is bounded by the message's own size: the reader's traversal limit
// (profile_traversal_limit) and a count of the list elements converted. An
// honest message is visited about once and holds at least a word per
// element, so a message that would make the conversion visit far more than
// it holds (many pointers to one shared list or text, lists of zero-sized
// elements) fails as Capnp instead of exhausting time and memory.
//
// Checks come in a fixed order and the first failure wins: framing, root,
// schema version, then tile by tile, sample by sample, field by field.
#include <string>
#include <string_view>

#include <capnp/message.h>

#include "capnp_boundary.hpp"
#include "framing.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_package.hpp"
#include "kivu_package/capnp_reader_options.hpp"
#include "kivu_package/profile_file.hpp"
#include "profile_walk.hpp"

namespace kivu_package {

namespace {

// Counts the list elements converted against a budget of the message's
// words plus a little slack.
class ElementBudget {
public:
  static constexpr std::uint64_t slack = std::uint64_t{1} << 16;

  explicit ElementBudget(std::uint64_t message_words) noexcept : left_(message_words + slack) {}

  void take(std::uint64_t count) {
    if (count <= left_) {
      left_ -= count;
      return;
    }
    detail::raise_view_failure(detail::capnp_failure(
        "Message lists hold more elements than the message has words; it is amplified (shared or zero-sized "
        "list elements)"));
  }

private:
  std::uint64_t left_;
};

void convert_step(const StepView& step, ProfileStep& to, ElementBudget& budget) {
  to.local_index = step.local_index();
  to.phase = step.phase();
  to.epoch = step.epoch();
  to.operation = step.operation();
  to.kind = step.kind();
  to.kernel = step.kernel();
  const auto metadata = step.metadata();
  budget.take(metadata.size());
  to.metadata.reserve(metadata.size());
  for (const MetadataView entry : metadata) {
    ProfileMetadata& out = to.metadata.emplace_back();
    out.name = entry.name();
    out.value = entry.value();
  }
}

void convert_tile(const TileView& tile, TileProfile& to, ElementBudget& budget) {
  const auto samples = tile.samples();
  budget.take(samples.size());
  to.samples.reserve(samples.size());
  for (const SampleView sample : samples) {
    CycleSample& out = to.samples.emplace_back();
    convert_step(sample.step(), out.step, budget);
    out.start_cycle = sample.start_cycle();
    out.end_cycle = sample.end_cycle();
  }
  to.physical_tile = tile.physical_tile();
}

std::expected<ProfileReport, PackageError> decode(std::istream& stream) {
  KIVU_ASSIGN_OR_RETURN(const auto framed, detail::read_framed_message(stream));
  capnp::ReaderOptions options = capnp_reader_options();
  options.traversalLimitInWords = profile_traversal_limit(framed.words);
  capnp::SegmentArrayMessageReader message(framed.segment_array(), options);

  const ProfileView profile = detail::profile_root(message);
  ElementBudget budget(framed.words);
  const auto tiles = profile.tiles();
  budget.take(tiles.size());
  ProfileReport report;
  report.tiles.reserve(tiles.size());
  for (const TileView tile : tiles) convert_tile(tile, report.tiles.emplace_back(), budget);
  report.clock_hz = profile.clock_hz();
  return report;
}

}  // namespace

namespace detail {

void walk_profile(const ProfileView& profile) {
  for (const TileView tile : profile.tiles()) {
    for (const SampleView sample : tile.samples()) {
      const StepView step = sample.step();
      static_cast<void>(step.operation());
      static_cast<void>(step.kind());
      static_cast<void>(step.kernel());
      for (const MetadataView entry : step.metadata()) {
        static_cast<void>(entry.name());
        static_cast<void>(entry.value());
      }
    }
  }
}

}  // namespace detail

// =============================================================================
// Public entry points

std::expected<ProfileReport, PackageError> ProfileReport::read_from(std::istream& stream) noexcept {
  return detail::run_guarded([&stream] { return decode(stream); });
}

}  // namespace kivu_package
