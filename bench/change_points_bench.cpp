// Time of the change-point analysis of `kivu-results trend` by series
// length: a series without a change (one test, whose shuffles stop as soon
// as the split cannot be significant) and one with three steps (every
// accepted split runs all 199 shuffles, and each half is tested again).
//
//   target/release/change_points_bench
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kivu_results/change_points.hpp"

namespace {

// `size` points around 1e6 with 1% Gaussian noise, the level up by 5% at
// each of `steps` evenly spaced places.
std::vector<double> series(std::size_t size, std::size_t steps) {
  std::mt19937_64 generator(42);
  const auto uniform = [&] { return (static_cast<double>(generator() >> 11) + 1.0) * 0x1.0p-53; };
  std::vector<double> values(size);
  for (std::size_t i = 0; i < size; ++i) {
    const double level = 1e6 * std::pow(1.05, static_cast<double>(i * (steps + 1) / size));
    const double noise = std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * std::numbers::pi * uniform());
    values[i] = level * (1 + 0.01 * noise);
  }
  return values;
}

void run(benchmark::State& state, std::size_t steps) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const auto values = series(size, steps);
  const std::vector<std::string> commits(size, "c");
  std::size_t found = 0;
  for (auto _ : state) {
    const auto points = kivu_results::find_change_points(values, commits);
    found = points.size();
    benchmark::DoNotOptimize(points.data());
  }
  state.counters["change_points"] = static_cast<double>(found);
}

void without_change(benchmark::State& state) { run(state, 0); }
void three_steps(benchmark::State& state) { run(state, 3); }

BENCHMARK(without_change)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(three_steps)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
