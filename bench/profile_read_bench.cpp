// ProfileReport::read against a raw traversal of the same bytes.
//
// The profile: 1472 tiles x 512 samples, each step with two short texts and
// two metadata entries. The raw path walks every field of the message with
// the generated readers and copies nothing; read decodes into owned values.
// After the timings the run prints read/raw, and the peak memory of one read
// of the profile from a file, relative to the file's size.
#include <benchmark/benchmark.h>
#include <capnp/serialize.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "kivu_package.hpp"
#include "profile.capnp.h"

namespace {

constexpr std::uint32_t kTiles = 1472;
constexpr std::uint32_t kSamplesPerTile = 512;

kivu_package::ProfileReport make_report() {
  using namespace kivu_package;
  ProfileReport report;
  report.clock_hz = 1'850'000'000;
  report.tiles.reserve(kTiles);
  static constexpr ProfileStepKind kinds[] = {ProfileStepKind::Compute, ProfileStepKind::Exchange,
                                              ProfileStepKind::Synchronization, ProfileStepKind::Idle};
  for (std::uint32_t t = 0; t < kTiles; ++t) {
    TileProfile tile{t, {}};
    tile.samples.reserve(kSamplesPerTile);
    std::uint32_t cycle = 0;
    for (std::uint32_t s = 0; s < kSamplesPerTile; ++s) {
      CycleSample sample;
      sample.step.local_index = s;
      sample.step.phase = s / 4;
      sample.step.epoch = s / 64;
      sample.step.kind = kinds[s % 4];
      sample.step.operation = "gemm.block";
      sample.step.kernel = "mac_f32x4";
      sample.step.metadata = {{"rows", "32"}, {"bytes", std::to_string(4096 + s)}};
      sample.start_cycle = cycle;
      cycle += 100 + s % 7;
      sample.end_cycle = cycle;
      tile.samples.push_back(std::move(sample));
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

const std::string& profile_bytes() {
  static const std::string bytes = [] {
    auto encoded = kivu_package::encode_profile(make_report());
    if (!encoded) {
      std::fprintf(stderr, "cannot encode the benchmark profile\n");
      std::exit(1);
    }
    return std::move(*encoded);
  }();
  return bytes;
}

// Walks every field of the message without copying; returns a checksum so
// nothing can be optimised away.
std::uint64_t raw_traversal(const std::string& bytes) {
  namespace schema = kivu_package::profile_capnp;
  const auto words = kj::ArrayPtr<const capnp::word>(reinterpret_cast<const capnp::word*>(bytes.data()),
                                                     bytes.size() / sizeof(capnp::word));
  capnp::ReaderOptions options;
  options.traversalLimitInWords = std::numeric_limits<std::uint64_t>::max();
  capnp::FlatArrayMessageReader message(words, options);
  const auto profile = message.getRoot<schema::Profile>();
  std::uint64_t sum = profile.getSchemaVersion() + profile.getClockHz();
  for (const auto tile : profile.getTiles()) {
    sum += tile.getPhysicalTile();
    for (const auto sample : tile.getSamples()) {
      sum += sample.getStartCycle() + sample.getEndCycle();
      const auto step = sample.getStep();
      sum += step.getLocalIndex() + step.getPhase() + step.getEpoch() + static_cast<std::uint16_t>(step.getKind());
      sum += step.getOperation().size() + step.getKernel().size();
      for (const auto entry : step.getMetadata()) sum += entry.getName().size() + entry.getValue().size();
    }
  }
  return sum;
}

void BM_RawTraversal(benchmark::State& state) {
  const auto& bytes = profile_bytes();
  for (auto _ : state) benchmark::DoNotOptimize(raw_traversal(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_RawTraversal)->Unit(benchmark::kMillisecond);

void BM_Read(benchmark::State& state) {
  const auto& bytes = profile_bytes();
  for (auto _ : state) {
    auto report = kivu_package::ProfileReport::read(std::istringstream(bytes));
    if (!report) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(report);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Read)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's mean time per iteration so the ratio can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        seconds_[run.run_name.function_name] = run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds_;
};

// Peak resident memory added by one read of `path`, measured in a child
// process whose high-water mark is reset just before the read.
long peak_read_kib(const std::filesystem::path& path) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    auto status_kib = [](const char* key) {
      std::ifstream status("/proc/self/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
      }
      return -1L;
    };
    {
      std::ofstream reset("/proc/self/clear_refs");
      reset << "5";
    }
    const long before = status_kib("VmRSS:");
    long peak = -1;
    {
      auto report = kivu_package::ProfileReport::read(std::ifstream(path, std::ios::binary));
      peak = report ? status_kib("VmHWM:") - before : -1;
    }
    const ssize_t written = write(pipe_fds[1], &peak, sizeof peak);
    _exit(written == sizeof peak ? 0 : 1);
  }
  close(pipe_fds[1]);
  long peak = -1;
  if (read(pipe_fds[0], &peak, sizeof peak) != sizeof peak) peak = -1;
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return peak;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& times = reporter.seconds_;
  if (times.contains("BM_Read") && times.contains("BM_RawTraversal")) {
    std::printf("read / raw traversal: %.2f (target <= 1.50)\n", times.at("BM_Read") / times.at("BM_RawTraversal"));
  }
  const auto path = std::filesystem::temp_directory_path() / ("kivu-bench-profile-" + std::to_string(getpid()) + ".capnp");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(profile_bytes().data(), static_cast<std::streamsize>(profile_bytes().size()));
  }
  const long peak = peak_read_kib(path);
  const double file_kib = static_cast<double>(profile_bytes().size()) / 1024.0;
  std::printf("file size: %.1f MiB; peak memory of one read: %.1f MiB = %.2f x file size (target <= 2.60)\n",
              file_kib / 1024.0, static_cast<double>(peak) / 1024.0, static_cast<double>(peak) / file_kib);
  std::filesystem::remove(path);
  return 0;
}
