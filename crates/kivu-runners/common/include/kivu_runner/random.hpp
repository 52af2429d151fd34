// Seeded operands for the workload runners.
//
// next_random is splitmix64: one 64-bit word of state, advanced by a fixed
// odd constant and mixed on every draw. It is small and well mixed, and the
// same seed gives the same numbers on every run and every machine, so the
// GEMM and attention runners compute the same operands, and the same host
// references, each time.
#pragma once

#include <cstdint>

namespace kivu_runner {

// Advances `state` and returns the next number of its splitmix64 sequence.
[[nodiscard]] constexpr std::uint64_t next_random(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

}  // namespace kivu_runner
