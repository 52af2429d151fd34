// Writing profiles: a ProfileReport built into a message with the generated
// builders, framed in the unpacked stream framing, and written to a string,
// a stream or a file (through write_output_file).
//
// The writer refuses what the reader would refuse (texts that are not valid
// UTF-8) and what the wire cannot hold (lists beyond Cap'n Proto's element
// limit), so whatever it writes reads back as the same report.
#include <algorithm>
#include <filesystem>
#include <ios>
#include <ostream>
#include <string>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/io.h>

#include "capnp_boundary.hpp"
#include "framing.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_output_file/output_file.hpp"
#include "kivu_package.hpp"
#include "profile.capnp.h"
#include "utf8.hpp"

namespace kivu_package {

namespace {

namespace schema = profile_capnp;

using Status = std::expected<void, PackageError>;

// =============================================================================
// Building the message

// The longest list a Cap'n Proto message can hold.
constexpr std::size_t max_list_elements = (std::size_t{1} << 29) - 1;

Status check_list(std::size_t size, std::string_view what) {
  if (size <= max_list_elements) return {};
  return std::unexpected(
      PackageError::Invalid{"too many " + std::string(what) + " for one list: " + std::to_string(size)});
}

// Fills a list of the message from `items`: unless `items` is empty (the
// list then stays null), checks its size, makes the list with
// `init(size)` and fills element i through `fill(items[i], element)`,
// stopping at the first error.
template <typename Item, typename Init, typename Fill>
Status fill_list(const std::vector<Item>& items, std::string_view what, Init&& init, Fill&& fill) {
  if (items.empty()) return {};
  KIVU_RETURN_IF_ERROR(check_list(items.size(), what));
  auto list = init(static_cast<unsigned>(items.size()));
  for (unsigned i = 0; i < list.size(); ++i) KIVU_RETURN_IF_ERROR(fill(items[i], list[i]));
  return {};
}

// Words that a text takes in the message (empty texts stay null).
std::uint64_t text_words(const std::string& text) noexcept { return text.empty() ? 0 : (text.size() + 1 + 7) / 8; }

// The message's size in words, close enough to let the first segment hold
// the whole profile, so the file usually has one segment.
std::uint64_t estimated_words(const ProfileReport& report) noexcept {
  std::uint64_t words = 1 + 3 + 1 + 2 * report.tiles.size();  // root pointer, root, tile list
  for (const TileProfile& tile : report.tiles) {
    words += 1 + 2 * tile.samples.size();
    for (const CycleSample& sample : tile.samples) {
      const ProfileStep& step = sample.step;
      words += 5 + text_words(step.operation) + text_words(step.kernel);
      if (!step.metadata.empty()) words += 1 + 2 * step.metadata.size();
      for (const ProfileMetadata& entry : step.metadata) words += text_words(entry.name) + text_words(entry.value);
    }
  }
  return words;
}

// Checks `text` as UTF-8 and, unless it is empty, stores it through `set`.
template <typename Set>
Status put_text(const std::string& text, Set&& set) {
  if (text.empty()) return {};
  if (auto bad = detail::check_utf8(text)) return std::unexpected(PackageError(*bad));
  set(capnp::Text::Reader(text.data(), text.size()));
  return {};
}

std::expected<schema::StepKind, PackageError> schema_kind(ProfileStepKind kind) {
  switch (kind) {
    case ProfileStepKind::Exchange: return schema::StepKind::EXCHANGE;
    case ProfileStepKind::Compute: return schema::StepKind::COMPUTE;
    case ProfileStepKind::Synchronization: return schema::StepKind::SYNCHRONIZATION;
    case ProfileStepKind::Idle: return schema::StepKind::IDLE;
  }
  return std::unexpected(
      PackageError::Invalid{"profile step kind out of range: " + std::to_string(static_cast<int>(kind))});
}

Status fill_metadata_entry(const ProfileMetadata& from, schema::MetadataEntry::Builder to) {
  KIVU_RETURN_IF_ERROR(put_text(from.name, [&](capnp::Text::Reader t) { to.setName(t); }));
  return put_text(from.value, [&](capnp::Text::Reader t) { to.setValue(t); });
}

Status fill_step(const ProfileStep& from, schema::ProfileStep::Builder to) {
  to.setLocalIndex(from.local_index);
  to.setPhase(from.phase);
  to.setEpoch(from.epoch);
  KIVU_ASSIGN_OR_RETURN(const auto kind, schema_kind(from.kind));
  to.setKind(kind);
  KIVU_RETURN_IF_ERROR(put_text(from.operation, [&](capnp::Text::Reader t) { to.setOperation(t); }));
  KIVU_RETURN_IF_ERROR(put_text(from.kernel, [&](capnp::Text::Reader t) { to.setKernel(t); }));
  return fill_list(
      from.metadata, "metadata entries", [&](unsigned size) { return to.initMetadata(size); }, fill_metadata_entry);
}

Status fill_sample(const CycleSample& from, schema::CycleSample::Builder to) {
  to.setStartCycle(from.start_cycle);
  to.setEndCycle(from.end_cycle);
  return fill_step(from.step, to.initStep());
}

Status fill_tile(const TileProfile& from, schema::TileProfile::Builder to) {
  to.setPhysicalTile(from.physical_tile);
  return fill_list(
      from.samples, "samples", [&](unsigned size) { return to.initSamples(size); }, fill_sample);
}

Status fill_profile(const ProfileReport& report, schema::Profile::Builder root) {
  root.setSchemaVersion(profile_schema_version);
  root.setClockHz(report.clock_hz);
  return fill_list(
      report.tiles, "tiles", [&](unsigned size) { return root.initTiles(size); }, fill_tile);
}

// A message builder holding the encoded report.
class EncodedProfile {
public:
  explicit EncodedProfile(const ProfileReport& report)
      : builder_(static_cast<unsigned>(
            std::clamp<std::uint64_t>(estimated_words(report), 1024, detail::max_segment_words))) {}

  Status fill(const ProfileReport& report) { return fill_profile(report, builder_.initRoot<schema::Profile>()); }

  [[nodiscard]] kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments() {
    return builder_.getSegmentsForOutput();
  }

private:
  capnp::MallocMessageBuilder builder_;
};

// The library's framing (segment table, then the segments) written to a
// std::ostream or appended to a std::string.
class StreamOutput final : public kj::OutputStream {
public:
  explicit StreamOutput(std::ostream& stream) noexcept : stream_(stream) {}
  void write(const void* buffer, size_t size) override {
    stream_.write(static_cast<const char*>(buffer), static_cast<std::streamsize>(size));
  }

private:
  std::ostream& stream_;
};

class StringOutput final : public kj::OutputStream {
public:
  explicit StringOutput(std::string& out) noexcept : out_(out) {}
  void write(const void* buffer, size_t size) override { out_.append(static_cast<const char*>(buffer), size); }

private:
  std::string& out_;
};

// Writes the segment table and the segments to `stream`.
void put_segments(std::ostream& stream, kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
  StreamOutput output(stream);
  capnp::writeMessage(output, segments);
}

}  // namespace

// =============================================================================
// Public entry points

std::expected<std::string, PackageError> encode_profile(const ProfileReport& report) noexcept {
  return detail::run_guarded([&report]() -> std::expected<std::string, PackageError> {
    EncodedProfile encoded(report);
    KIVU_RETURN_IF_ERROR(encoded.fill(report));
    const auto segments = encoded.segments();
    std::string out;
    out.reserve(capnp::computeSerializedSizeInWords(segments) * sizeof(capnp::word));
    StringOutput output(out);
    capnp::writeMessage(output, segments);
    return out;
  });
}

std::expected<void, PackageError> write_profile(const ProfileReport& report, std::ostream& stream) noexcept {
  return detail::run_guarded([&]() -> Status {
    EncodedProfile encoded(report);
    KIVU_RETURN_IF_ERROR(encoded.fill(report));
    const auto segments = encoded.segments();
    try {
      put_segments(stream, segments);
      stream.flush();
    } catch (const std::ios_base::failure& failure) {
      return std::unexpected(PackageError::Io{failure.code()});
    }
    if (!stream) return std::unexpected(PackageError::Io{std::make_error_code(std::io_errc::stream)});
    return {};
  });
}

std::expected<void, PackageError> write_profile_file(const ProfileReport& report,
                                                     const std::filesystem::path& path) noexcept {
  return detail::run_guarded([&]() -> Status {
    EncodedProfile encoded(report);
    KIVU_RETURN_IF_ERROR(encoded.fill(report));
    const auto segments = encoded.segments();
    const auto written = kivu_output_file::write_output_file(
        path, [&](std::ostream& stream) -> std::expected<void, std::string> {
          put_segments(stream, segments);
          return {};
        });
    if (written) return {};
    // The profile library reports the output file's failures as its own:
    // the operating system's reason as Io, anything else as Invalid.
    if (const auto code = written.error().code()) return std::unexpected(PackageError(*code));
    return std::unexpected(PackageError::Invalid{*written.error().writer_message()});
  });
}

}  // namespace kivu_package
