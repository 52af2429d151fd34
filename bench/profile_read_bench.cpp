// ProfileReport::read against a raw traversal of the same bytes.
//
// The profile: 1472 tiles x 512 samples, each step with two short texts and
// two metadata entries (about 115 MiB encoded). The raw path walks every
// field of the message in memory with the generated readers and copies
// nothing; read decodes into owned values. read is measured three ways:
//   BM_ReadMemory        from a std::ispanstream over the encoded bytes (the
//                        same bytes the raw path walks, no copy);
//   BM_ReadStringStream  from a std::istringstream holding a copy of them,
//                        built outside the timed region;
//   BM_ReadFile          from a std::ifstream of the profile written to a
//                        temporary file (in the page cache), opened outside
//                        the timed region: what the suite does.
// Each read destroys its stream inside the timed region (read owns it). The
// report is destroyed outside it (BM_DropReport times that on its own), and
// the freed memory is then handed back to the system (malloc_trim), so that
// every read, like the suite's one read per process, writes its report into
// fresh pages and pays their first-touch page faults. BM_ReadMemoryWarm
// reads with the previous report's memory kept by the allocator instead,
// and BM_FirstTouch times only touching as many fresh pages as a report
// takes: the floor that the fresh-page reads cannot go below.
//
// Before the timings the run measures the peak memory that one read adds, in
// a child process, from the file and from the in-memory stream; after them
// it prints each time over the raw path's, by CPU time (the thread's user and
// system time, page faults included) and by wall time.
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <spanstream>
#include <sstream>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>
#include <capnp/serialize.h>

#include "kivu_base/child_process.hpp"
#include "kivu_package.hpp"
#include "profile.capnp.h"

namespace {

constexpr std::uint32_t kTiles = 1472;
constexpr std::uint32_t kSamplesPerTile = 512;

// =============================================================================
// The profile

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

// The profile written to a temporary file, removed at exit.
class ProfileFile {
public:
  ProfileFile()
      : path_(std::filesystem::temp_directory_path() /
              ("kivu-bench-profile-" + std::to_string(::getpid()) + ".capnp")) {
    std::ofstream out(path_, std::ios::binary);
    out.write(profile_bytes().data(), static_cast<std::streamsize>(profile_bytes().size()));
    if (!out.flush()) {
      std::fprintf(stderr, "cannot write %s\n", path_.c_str());
      std::exit(1);
    }
  }
  ~ProfileFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ProfileFile(const ProfileFile&) = delete;
  ProfileFile& operator=(const ProfileFile&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

const ProfileFile& profile_file() {
  static const ProfileFile file;
  return file;
}

std::ispanstream memory_stream() { return std::ispanstream(std::span<const char>(profile_bytes())); }

// =============================================================================
// The raw path

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

// =============================================================================
// Benchmarks

void BM_RawTraversal(benchmark::State& state) {
  const auto& bytes = profile_bytes();
  for (auto _ : state) benchmark::DoNotOptimize(raw_traversal(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_RawTraversal)->Unit(benchmark::kMillisecond);

// Minor page faults of this thread so far.
long minor_faults() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

// Times read(make_stream()). The report is destroyed outside the timed
// region; with `fresh_pages` its memory is then returned to the system, so
// that the next read faults its pages in anew. Counts the page faults taken
// per read.
template <typename MakeStream>
void time_reads(benchmark::State& state, MakeStream make_stream, bool fresh_pages = true) {
  long faults = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto stream = make_stream();
    const long faults_before = minor_faults();
    state.ResumeTiming();
    auto report = kivu_package::ProfileReport::read(std::move(stream));
    state.PauseTiming();
    faults += minor_faults() - faults_before;
    if (!report) {
      state.SkipWithError(kivu_package::debug_string(report.error()).c_str());
      break;
    }
    benchmark::DoNotOptimize(report->tiles.data());
    report = {};
    if (fresh_pages) ::malloc_trim(0);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * profile_bytes().size()));
  state.counters["page_faults"] = benchmark::Counter(static_cast<double>(faults), benchmark::Counter::kAvgIterations);
}

void BM_ReadMemory(benchmark::State& state) { time_reads(state, memory_stream); }
BENCHMARK(BM_ReadMemory)->Unit(benchmark::kMillisecond);

void BM_ReadStringStream(benchmark::State& state) {
  time_reads(state, [] { return std::istringstream(profile_bytes()); });
}
BENCHMARK(BM_ReadStringStream)->Unit(benchmark::kMillisecond);

void BM_ReadFile(benchmark::State& state) {
  time_reads(state, [] { return std::ifstream(profile_file().path(), std::ios::binary); });
}
BENCHMARK(BM_ReadFile)->Unit(benchmark::kMillisecond);

void BM_DropReport(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto report = kivu_package::ProfileReport::read(memory_stream());
    if (!report) {
      state.SkipWithError(kivu_package::debug_string(report.error()).c_str());
      break;
    }
    state.ResumeTiming();
    report = {};
  }
  ::malloc_trim(0);
}
BENCHMARK(BM_DropReport)->Unit(benchmark::kMillisecond);

// The resident memory that one read of the in-memory profile adds, in bytes
// (measured before the benchmarks run).
std::size_t report_footprint = 0;

// Writes one byte into every page of `report_footprint` bytes of fresh
// anonymous memory: the page faults that a report of that size costs.
void BM_FirstTouch(benchmark::State& state) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t size = std::max(report_footprint, page);
  for (auto _ : state) {
    state.PauseTiming();
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
      state.SkipWithError("mmap failed");
      break;
    }
    auto* bytes = static_cast<volatile char*>(mapped);
    state.ResumeTiming();
    for (std::size_t at = 0; at < size; at += page) bytes[at] = 1;
    state.PauseTiming();
    ::munmap(mapped, size);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstTouch)->Unit(benchmark::kMillisecond);

// Reads with the allocator keeping freed memory: each report reuses the
// pages of the one before. Runs last, as it changes the allocator's
// trimming for the rest of the process.
void BM_ReadMemoryWarm(benchmark::State& state) {
  ::mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  static_cast<void>(kivu_package::ProfileReport::read(memory_stream()));  // brings the memory in
  time_reads(state, memory_stream, false);
  ::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  ::malloc_trim(0);
}
BENCHMARK(BM_ReadMemoryWarm)->Unit(benchmark::kMillisecond);

// =============================================================================
// Reporting

// Keeps each benchmark's time per iteration (the mean over repetitions) so
// the ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  struct Times {
    double cpu = 0;
    double real = 0;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      const bool plain = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
      if ((plain || mean) && run.iterations > 0) {
        const auto n = static_cast<double>(run.iterations);
        times_[run.run_name.function_name] = {run.cpu_accumulated_time / n, run.real_accumulated_time / n};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  [[nodiscard]] std::optional<Times> times(const std::string& name) const {
    const auto found = times_.find(name);
    if (found == times_.end()) return std::nullopt;
    return found->second;
  }

private:
  std::map<std::string, Times> times_;
};

// Peak resident memory added by one read of the stream that make_stream
// builds, in KiB, measured in a child process whose high-water mark is reset
// just before the read (the stream itself, a file handle or a view of the
// encoded bytes, is built before). -1 when the read or the measurement
// failed.
template <typename MakeStream>
long peak_read_kib(MakeStream make_stream) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    auto status_kib = [](const char* key) {
      std::ifstream status("/proc/self/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
      }
      return -1L;
    };
    long peak = -1;
    {
      auto stream = make_stream();
      // Freed memory that the allocator still holds would be reused without
      // showing in the resident size: hand it back first.
      ::malloc_trim(0);
      {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";
      }
      const long before = status_kib("VmRSS:");
      auto report = kivu_package::ProfileReport::read(std::move(stream));
      peak = report ? status_kib("VmHWM:") - before : -1;
    }
    const ssize_t written = ::write(pipe_fds[1], &peak, sizeof peak);
    ::_exit(written == sizeof peak ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  long peak = -1;
  if (::read(pipe_fds[0], &peak, sizeof peak) != sizeof peak) peak = -1;
  ::close(pipe_fds[0]);
  (void)kivu_base::wait_for_child(child);
  return peak;
}

void print_peak(const char* what, long peak_kib) {
  const double file_kib = static_cast<double>(profile_bytes().size()) / 1024.0;
  if (peak_kib < 0) {
    std::printf("peak memory of one read %s: measurement failed\n", what);
    return;
  }
  std::printf("peak memory of one read %s: %.1f MiB = %.2f x file size (target <= 2.60)\n", what,
              static_cast<double>(peak_kib) / 1024.0, static_cast<double>(peak_kib) / file_kib);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  std::printf("profile: %u tiles x %u samples, file size %.1f MiB\n", kTiles, kSamplesPerTile,
              static_cast<double>(profile_bytes().size()) / (1024.0 * 1024.0));
  // Written here, not in the measuring child, so that it is removed at exit.
  static_cast<void>(profile_file());
  print_peak("from a file", peak_read_kib([] { return std::ifstream(profile_file().path(), std::ios::binary); }));
  const long memory_peak = peak_read_kib(memory_stream);
  print_peak("from memory", memory_peak);
  report_footprint = memory_peak > 0 ? static_cast<std::size_t>(memory_peak) * 1024 : 0;
  std::fflush(stdout);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto raw = reporter.times("BM_RawTraversal");
  if (!raw) return 0;
  for (const char* name :
       {"BM_ReadMemory", "BM_ReadStringStream", "BM_ReadFile", "BM_ReadMemoryWarm", "BM_FirstTouch"}) {
    if (const auto read = reporter.times(name)) {
      std::printf("%-20s / raw traversal: %.2f by CPU time, %.2f by wall time%s\n", name, read->cpu / raw->cpu,
                  read->real / raw->real, std::string_view(name).starts_with("BM_Read") ? " (target <= 1.50)" : "");
    }
  }
  return 0;
}
