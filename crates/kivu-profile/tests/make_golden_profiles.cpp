// Writes the small profiles that kivu-profile's golden cases read
// (tests/golden/inputs), good ones and damaged ones:
//
//   make_golden_profiles FOLDER
//
// Everything is derived from fixed numbers, so the same program always
// writes the same bytes; the test golden_profiles_are_generated compares the
// checked-in files with a fresh run.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "kivu_output_file/output_file.hpp"
#include "kivu_package.hpp"

namespace {

using kivu_package::CycleSample;
using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_package::TileProfile;

// Tiles 0 to 5, one tile in the middle of the grid and the last one, so that
// the heatmap shows a corner, a row and a lone tile; every tile runs two
// epochs of exchange, compute (longer by `compute_extra` cycles and by tile),
// synchronization and idle.
ProfileReport small_profile(std::uint32_t compute_extra, std::uint64_t clock_hz = 1'000'000'000) {
  static constexpr std::uint32_t tiles[] = {0, 1, 2, 3, 4, 5, 700, 1471};
  ProfileReport report;
  report.clock_hz = clock_hz;
  for (const std::uint32_t tile : tiles) {
    TileProfile profile{tile, {}};
    for (std::uint32_t epoch = 0; epoch < 2; ++epoch) {
      const std::uint32_t base = epoch * 1000;
      const std::uint32_t compute_end = 200 + (tile % 9) * 40 + compute_extra;
      const auto add = [&](ProfileStepKind kind, std::uint32_t start, std::uint32_t end, std::string operation,
                           std::string kernel) {
        CycleSample sample;
        sample.step.kind = kind;
        sample.step.operation = std::move(operation);
        sample.step.kernel = std::move(kernel);
        sample.step.metadata = {{"block", std::to_string(tile % 7)}};
        sample.step.epoch = epoch;
        sample.step.phase = static_cast<std::uint32_t>(profile.samples.size() % 4);
        sample.step.local_index = static_cast<std::uint32_t>(profile.samples.size());
        sample.start_cycle = base + start;
        sample.end_cycle = base + end;
        profile.samples.push_back(std::move(sample));
      };
      add(ProfileStepKind::Exchange, 0, 100, "load_a_b", "exchange_rows");
      add(ProfileStepKind::Compute, 100, compute_end, "multiply_accumulate", "gemm_f32");
      add(ProfileStepKind::Synchronization, compute_end, compute_end + 50, "sync", "barrier");
      add(ProfileStepKind::Idle, compute_end + 50, 1000, "idle", "");
    }
    report.tiles.push_back(std::move(profile));
  }
  return report;
}

// The offset of the root struct's data section in an encoded profile, whose
// first 32 bits hold the schema version: after the segment table, the root
// pointer's offset (in words, after the pointer) leads there.
std::size_t version_offset(const std::string& bytes) {
  std::uint32_t segment_count = 0;
  std::memcpy(&segment_count, bytes.data(), 4);
  const std::size_t segment_start = ((segment_count + 2) / 2) * 8;
  std::int32_t pointer = 0;
  std::memcpy(&pointer, bytes.data() + segment_start, 4);
  return segment_start + 8 + static_cast<std::size_t>(pointer >> 2) * 8;
}

bool write(const std::filesystem::path& folder, std::string_view name, std::string_view bytes) {
  const auto path = folder / name;
  const auto written = kivu_output_file::write_output_file(
      path, [&](std::ostream& out) -> std::expected<void, std::string> {
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return {};
      });
  if (!written) {
    std::fprintf(stderr, "make_golden_profiles: cannot write %s: %s\n", path.c_str(),
                 kivu_output_file::output_failure_reason(written.error()).c_str());
  }
  return written.has_value();
}

bool write_report(const std::filesystem::path& folder, std::string_view name, const ProfileReport& report,
                  std::string& bytes) {
  const auto encoded = kivu_package::encode_profile(report);
  if (!encoded) {
    std::fprintf(stderr, "make_golden_profiles: cannot encode %.*s: %s\n", static_cast<int>(name.size()), name.data(),
                 kivu_package::debug_string(encoded.error()).c_str());
    return false;
  }
  bytes = *encoded;
  return write(folder, name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_golden_profiles FOLDER\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::string base;
  std::string unused;
  bool ok = write_report(folder, "base.capnp", small_profile(0), base);
  // Compute longer by 60 cycles on every tile: a regression beyond 5%.
  ok = write_report(folder, "slower.capnp", small_profile(60), unused) && ok;
  // The same run timed by another clock: diff warns.
  ok = write_report(folder, "other-clock.capnp", small_profile(0, 1'850'000'000), unused) && ok;

  // Damaged files, each standing for one way a profile goes wrong.
  std::string future = base;
  future[version_offset(future)] = 4;
  ok = write(folder, "schema-v4.capnp", future) && ok;
  ok = write(folder, "cut.capnp", std::string_view(base).substr(0, base.size() / 2)) && ok;
  ok = write(folder, "empty.capnp", "") && ok;
  ok = write(folder, "junk.capnp", "junk text, not a profile\n") && ok;

  auto bad_text = small_profile(0);
  bad_text.tiles.back().samples.back().step.operation = "PATCHME";
  std::string bad_utf8;
  if (write_report(folder, "bad-utf8.capnp", bad_text, bad_utf8)) {
    bad_utf8[bad_utf8.find("PATCHME")] = '\xff';
    ok = write(folder, "bad-utf8.capnp", bad_utf8) && ok;
  } else {
    ok = false;
  }
  return ok ? 0 : 1;
}
