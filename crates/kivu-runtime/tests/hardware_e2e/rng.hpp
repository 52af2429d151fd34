// Rng: the suite's small seeded generator, used to draw tiles for the
// randomized host round trips. Same seed, same numbers, on every machine.
//
// The state is one 64-bit word, set to the seed unchanged. Each step is the
// wyrand step: add 0x2d358dccaa6c78a5 to the state, multiply the new state by
// itself XOR 0x8bb84b93962eacc9 into 128 bits, and return the low half XOR the
// high half. Bounded draws use multiply-shift with rejection, so they carry
// no bias.
#pragma once

#include <cstdint>
#include <string>

#include "failure.hpp"

namespace kivu_e2e {

// The half-open range start..end (end excluded).
struct HalfOpenRange {
  std::uint16_t start;
  std::uint16_t end;
};

// The inclusive range start..=end.
struct InclusiveRange {
  std::uint16_t start;
  std::uint16_t end;
};

class Rng {
public:
  // A generator whose state is `seed` itself.
  [[nodiscard]] static constexpr Rng with_seed(std::uint64_t seed) noexcept { return Rng(seed); }

  // The next 64-bit number (the wyrand step).
  constexpr std::uint64_t gen_u64() noexcept {
    __extension__ using u128 = unsigned __int128;
    state_ += 0x2d358dccaa6c78a5ULL;
    const u128 product = static_cast<u128>(state_) * static_cast<u128>(state_ ^ 0x8bb84b93962eacc9ULL);
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  // The low 32 bits of the next 64-bit number.
  constexpr std::uint32_t gen_u32() noexcept { return static_cast<std::uint32_t>(gen_u64()); }

  // A number in 0 .. n-1 without bias; 0 for n = 0 (one number drawn).
  constexpr std::uint32_t gen_mod_u32(std::uint32_t n) noexcept {
    std::uint64_t product = std::uint64_t{gen_u32()} * n;
    auto low = static_cast<std::uint32_t>(product);
    if (low < n) {
      const std::uint32_t threshold = (0u - n) % n;
      while (low < threshold) {
        product = std::uint64_t{gen_u32()} * n;
        low = static_cast<std::uint32_t>(product);
      }
    }
    return static_cast<std::uint32_t>(product >> 32);
  }

  // A number in `range`. Fails the running case with
  // "empty range: Included(s)..Excluded(e)" when the range is empty.
  std::uint16_t u16(HalfOpenRange range) {
    if (range.end == 0 || range.start > range.end - 1) {
      fail("empty range: Included(" + std::to_string(range.start) + ")..Excluded(" + std::to_string(range.end) + ")");
    }
    return draw(range.start, static_cast<std::uint16_t>(range.end - 1));
  }

  // A number in `range`. Fails the running case with
  // "empty range: Included(s)..Included(e)" when start > end.
  std::uint16_t u16(InclusiveRange range) {
    if (range.start > range.end) {
      fail("empty range: Included(" + std::to_string(range.start) + ")..Included(" + std::to_string(range.end) + ")");
    }
    return draw(range.start, range.end);
  }

private:
  explicit constexpr Rng(std::uint64_t state) noexcept : state_(state) {}

  // A number in low ..= high, low <= high.
  constexpr std::uint16_t draw(std::uint16_t low, std::uint16_t high) noexcept {
    if (low == 0 && high == 0xffff) return static_cast<std::uint16_t>(gen_u32());
    const auto span = static_cast<std::uint16_t>(high - low + 1);
    return static_cast<std::uint16_t>(low + gen_mod_u32(span));
  }

  std::uint64_t state_;
};

}  // namespace kivu_e2e
