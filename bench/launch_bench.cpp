// One case's launch and wait through the suite's launcher, against a bare
// posix_spawn and waitpid of the same trivial program. After the timings the
// run prints launcher / bare.
//
//   launch_bench [--benchmark_...]      the program is /bin/true
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

#include <benchmark/benchmark.h>

#include "kivu_base/child_process.hpp"
#include "launch.hpp"

extern char** environ;

namespace {

constexpr const char* kProgram = "/bin/true";

void BM_BarePosixSpawn(benchmark::State& state) {
  char* const argv[] = {const_cast<char*>(kProgram), nullptr};
  // As the suite's launcher does: children can be waited for even when this
  // process was started with SIGCHLD ignored.
  kivu_base::restore_child_signal();
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, kProgram, nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    const auto status = kivu_base::wait_for_child(pid);
    if (!status) {
      state.SkipWithError("waitpid failed");
      break;
    }
    benchmark::DoNotOptimize(*status);
  }
}
BENCHMARK(BM_BarePosixSpawn)->Unit(benchmark::kMicrosecond);

// What a host-runner case does: a command with its variables, launched and
// waited for.
void BM_SuiteLauncher(benchmark::State& state) {
  for (auto _ : state) {
    kivu_e2e::Command command(kProgram);
    command.env("KIVU_HOST_TEST_TILE", "1471").env("KIVU_HOST_TEST_BYTES", "8192");
    auto status = command.status();
    if (!status || !status->success()) {
      state.SkipWithError("launch failed");
      break;
    }
  }
}
BENCHMARK(BM_SuiteLauncher)->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      // With repetitions the mean aggregate stands for the benchmark.
      const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
      if (mean || (run.run_type == Run::RT_Iteration && !means_.contains(run.run_name.function_name))) {
        seconds_[run.run_name.function_name] = run.GetAdjustedRealTime();
        if (mean) means_.insert(run.run_name.function_name);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds_;  // per iteration, in the benchmark's time unit
  std::set<std::string> means_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const auto& times = reporter.seconds_;
  if (times.contains("BM_SuiteLauncher") && times.contains("BM_BarePosixSpawn")) {
    std::printf("suite launcher / bare posix_spawn: %.2f (target <= 1.20)\n",
                times.at("BM_SuiteLauncher") / times.at("BM_BarePosixSpawn"));
  }
  return 0;
}
