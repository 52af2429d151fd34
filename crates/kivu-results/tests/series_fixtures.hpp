// Seeded series for the analysis tests and the sample report page: the same
// numbers on every platform (std::normal_distribution's are the standard
// library's own), from std::mt19937_64 and Box-Muller.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace kivu_results_testing {

class Gaussian {
public:
  explicit Gaussian(std::uint64_t seed) : generator_(seed) {}

  double next() {
    // Uniforms in (0, 1]: 53 random bits, shifted off 0 for the logarithm.
    const auto uniform = [this] { return (static_cast<double>(generator_() >> 11) + 1.0) * 0x1.0p-53; };
    return std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * std::numbers::pi * uniform());
  }

private:
  std::mt19937_64 generator_;
};

// `size` points around `level` with a standard deviation of `noise` (a
// share of the level), the level multiplied by 1 + `shift` from point
// `shift_at` on (no shift when shift_at >= size).
inline std::vector<double> noisy_series(std::uint64_t seed, std::size_t size, double level, double noise,
                                        std::size_t shift_at = SIZE_MAX, double shift = 0.0) {
  Gaussian gaussian(seed);
  std::vector<double> values(size);
  for (std::size_t i = 0; i < size; ++i) {
    const double mean = i >= shift_at ? level * (1 + shift) : level;
    values[i] = mean * (1 + noise * gaussian.next());
  }
  return values;
}

// Commit names for a series: "c0", "c1", ...
inline std::vector<std::string> commit_names(std::size_t size) {
  std::vector<std::string> names(size);
  for (std::size_t i = 0; i < size; ++i) names[i] = "c" + std::to_string(i);
  return names;
}

}  // namespace kivu_results_testing
