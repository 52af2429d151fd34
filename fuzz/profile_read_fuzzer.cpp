// Fuzz target: ProfileReport::read and the in-place view (ProfileFile) on
// arbitrary bytes.
//
// The reader must return a report or an error for any input: no crash, no
// hang, no leak, and no memory far beyond the size of the input. A report it
// returns must encode and decode back to itself, or the reader accepted
// something the writer cannot produce (or lost part of it). The same bytes
// are then opened as a ProfileFile and walked whole, every tile, sample,
// step and metadata entry, every text read as text: where read returned a
// report, the walk must succeed and see the same content; where read failed,
// the walk must fail with the same error, unless read's failure is its
// element budget, which the view does not have (its walks allocate
// nothing). Both frame the message with the same code and take the same
// traversal limit, so a framing error or a malformed pointer is the same
// error from both.
// On any disagreement the target aborts, which libFuzzer reports like a crash. Built with libFuzzer
// under the fuzz preset; check_profile_input is also linked into
// profile_read_replay, which runs a corpus as a regression test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "kivu_base/expected.hpp"
#include "kivu_package.hpp"
#include "kivu_package/profile_file.hpp"
#include "profile_read_check.hpp"

namespace kivu_fuzz {

namespace {

// What a walk saw, summed so that two walks can be compared.
struct Digest {
  std::uint64_t tiles = 0, samples = 0, entries = 0, numbers = 0, text_bytes = 0, text_hash = 0;

  // Adds each value on its own, so that both walks sum alike.
  template <typename... Values>
  void add(Values... values) {
    ((numbers = numbers * 31 + static_cast<std::uint64_t>(values)), ...);
  }
  void text(std::string_view bytes) {
    text_bytes += bytes.size();
    for (const char c : bytes) text_hash = text_hash * 1099511628211u + static_cast<unsigned char>(c);
  }
  bool operator==(const Digest&) const = default;
};

Digest digest_of(const kivu_package::ProfileReport& report) {
  Digest d;
  d.numbers = report.clock_hz;
  for (const auto& tile : report.tiles) {
    ++d.tiles;
    d.add(tile.physical_tile);
    for (const auto& sample : tile.samples) {
      ++d.samples;
      const auto& step = sample.step;
      d.add(step.local_index, step.phase, step.epoch, step.kind, sample.start_cycle, sample.end_cycle);
      d.text(step.operation);
      d.text(step.kernel);
      for (const auto& entry : step.metadata) {
        ++d.entries;
        d.text(entry.name);
        d.text(entry.value);
      }
    }
  }
  return d;
}

// Opens `bytes` as a ProfileFile and walks all of it.
std::expected<Digest, kivu_package::PackageError> view_digest(std::string_view bytes) {
  KIVU_ASSIGN_OR_RETURN(const auto file, kivu_package::ProfileFile::from_bytes(bytes));
  Digest d;
  const auto walked = file.visit([&](const kivu_package::ProfileView& profile) {
    d.numbers = profile.clock_hz();
    for (const kivu_package::TileView tile : profile.tiles()) {
      ++d.tiles;
      d.add(tile.physical_tile());
      for (const kivu_package::SampleView sample : tile.samples()) {
        ++d.samples;
        const kivu_package::StepView step = sample.step();
        const std::uint32_t numbers[] = {step.local_index(), step.phase(), step.epoch()};
        d.text(step.operation());
        d.add(numbers[0], numbers[1], numbers[2], step.kind());
        d.text(step.kernel());
        for (const kivu_package::MetadataView entry : step.metadata()) {
          ++d.entries;
          d.text(entry.name());
          d.text(entry.value());
        }
        d.add(sample.start_cycle(), sample.end_cycle());
      }
    }
  });
  if (!walked) return std::unexpected(walked.error());
  return d;
}

}  // namespace

InputOutcome check_profile_input(std::string bytes) {
  const auto viewed = view_digest(bytes);
  auto report = kivu_package::ProfileReport::read(std::istringstream(std::move(bytes)));
  if (!report) {
    const bool budget = report.error().is<kivu_package::PackageError::Capnp>() &&
                        report.error().as<kivu_package::PackageError::Capnp>().error.description.find(
                            "more elements than the message has words") != std::string::npos;
    if (!budget && (viewed || viewed.error() != report.error())) {
      return {InputOutcome::Kind::RoundTrip, "the view disagrees with read: read gave " + debug_string(report.error()) +
                                                 ", the view " +
                                                 (viewed ? std::string("a profile") : debug_string(viewed.error()))};
    }
    return {InputOutcome::Kind::Error, kivu_package::debug_string(report.error())};
  }
  if (!viewed) {
    return {InputOutcome::Kind::RoundTrip, "read gave a report, the view " + debug_string(viewed.error())};
  }
  if (*viewed != digest_of(*report)) return {InputOutcome::Kind::RoundTrip, "the view sees another profile than read"};
  const auto encoded = kivu_package::encode_profile(*report);
  if (!encoded) {
    return {InputOutcome::Kind::RoundTrip, "a read report does not encode: " + debug_string(encoded.error())};
  }
  const auto decoded = kivu_package::ProfileReport::read(std::istringstream(*encoded));
  if (!decoded) {
    return {InputOutcome::Kind::RoundTrip, "a re-encoded report does not decode: " + debug_string(decoded.error())};
  }
  if (*decoded != *report) return {InputOutcome::Kind::RoundTrip, "a re-encoded report decodes to another report"};
  return {InputOutcome::Kind::Report, {}};
}

}  // namespace kivu_fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto outcome = kivu_fuzz::check_profile_input(std::string(reinterpret_cast<const char*>(data), size));
  if (outcome.kind == kivu_fuzz::InputOutcome::Kind::RoundTrip) {
    std::fprintf(stderr, "profile round trip failed: %s\n", outcome.detail.c_str());
    std::abort();
  }
  return 0;
}
