// Writes a synthetic cycle profile of about a chosen size, for benchmarks of
// the profile tools on profiles larger than the GEMM runner writes.
//
//   make_profile OUT SIZE_MIB [TILES]
//
// TILES tiles (default 1472, the whole board) get the same number of
// samples, as many as make the file about SIZE_MIB MiB. Each tile runs
// epochs of exchange, compute, synchronization and idle steps with texts and
// metadata of a realistic shape; everything is derived from the tile and
// sample numbers, so the same arguments always give the same file. The
// profile is written through the package writer (write_profile_file).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "kivu_base/number.hpp"
#include "kivu_package.hpp"

namespace {

using kivu_package::CycleSample;
using kivu_package::ProfileReport;
using kivu_package::ProfileStepKind;
using kivu_package::TileProfile;

constexpr std::uint64_t clock_hz = 1'850'000'000;

// Sample `index` of `tile`: four steps per round, lengths varying by tile.
CycleSample make_sample(std::uint32_t tile, std::uint32_t index, std::uint32_t& cycle) {
  static constexpr ProfileStepKind kinds[] = {ProfileStepKind::Exchange, ProfileStepKind::Compute,
                                              ProfileStepKind::Synchronization, ProfileStepKind::Idle};
  static constexpr std::string_view operations[] = {"load_a_b", "multiply_accumulate", "sync", "idle"};
  static constexpr std::string_view kernels[] = {"exchange_rows", "gemm_f32x4", "barrier", ""};
  const std::uint32_t step = index % 4;
  const std::uint32_t round = index / 4;
  CycleSample sample;
  sample.step.local_index = index;
  sample.step.phase = round % 16;
  sample.step.epoch = round / 16;
  sample.step.kind = kinds[step];
  sample.step.operation = operations[step];
  sample.step.kernel = kernels[step];
  sample.step.metadata = {{"block", std::to_string((tile * 7 + round) % 38)},
                          {"bytes", std::to_string(4096 + 64 * (round % 32))}};
  if (step == 1) sample.step.metadata.push_back({"dtype", "f32"});
  static constexpr std::uint32_t lengths[] = {120, 400, 40, 60};
  const std::uint32_t length = lengths[step] + (tile * 13 + round) % 97;
  sample.start_cycle = cycle;
  cycle += length;
  sample.end_cycle = cycle;
  return sample;
}

ProfileReport make_report(std::uint32_t tiles, std::uint32_t samples_per_tile) {
  ProfileReport report;
  report.clock_hz = clock_hz;
  report.tiles.reserve(tiles);
  for (std::uint32_t tile = 0; tile < tiles; ++tile) {
    TileProfile profile{tile, {}};
    profile.samples.reserve(samples_per_tile);
    std::uint32_t cycle = tile % 64;
    for (std::uint32_t i = 0; i < samples_per_tile; ++i) profile.samples.push_back(make_sample(tile, i, cycle));
    report.tiles.push_back(std::move(profile));
  }
  return report;
}

bool parse(std::string_view text, std::uint64_t& value) {
  const auto parsed = kivu_base::parse_digits(text, 10);
  if (!parsed || *parsed == 0) return false;
  value = *parsed;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t size_mib = 0;
  std::uint64_t tiles = 1472;
  if (argc < 3 || argc > 4 || !parse(argv[2], size_mib) || (argc == 4 && !parse(argv[3], tiles)) || tiles > 1'000'000) {
    std::fprintf(stderr, "usage: make_profile OUT SIZE_MIB [TILES]\n");
    return 2;
  }

  // The encoded size of one sample, measured on a small profile.
  constexpr std::uint32_t probe_samples = 4096;
  const auto probe = kivu_package::encode_profile(make_report(1, probe_samples));
  if (!probe) {
    std::fprintf(stderr, "make_profile: %s\n", kivu_package::debug_string(probe.error()).c_str());
    return 1;
  }
  const double bytes_per_sample = static_cast<double>(probe->size()) / probe_samples;
  const double wanted = static_cast<double>(size_mib) * 1024 * 1024;
  const auto samples_per_tile = static_cast<std::uint32_t>(
      std::max(1.0, wanted / bytes_per_sample / static_cast<double>(tiles)));

  const auto report = make_report(static_cast<std::uint32_t>(tiles), samples_per_tile);
  const auto written = kivu_package::write_profile_file(report, argv[1]);
  if (!written) {
    std::fprintf(stderr, "make_profile: cannot write %s: %s\n", argv[1],
                 kivu_package::debug_string(written.error()).c_str());
    return 1;
  }
  std::printf("%s: %llu tiles x %u samples\n", argv[1], static_cast<unsigned long long>(tiles), samples_per_tile);
  return 0;
}
