// Seeded random scenarios that are the same on every run:
//  - three random static D2D exchange graphs, one per fixed seed, built by
//    kivu-randomized-e2e from KIVU_RANDOM_SEED;
//  - three host round trips over eight distinct logical tiles that the case
//    draws itself with Rng (rng.hpp) from a fixed seed per trip.
// Each case holds the device over its three runs and stops at the first run
// that fails.
#include <array>
#include <charconv>
#include <cstdint>
#include <set>
#include <string>

#include "cases.hpp"
#include "frame.hpp"
#include "rng.hpp"

namespace kivu_e2e {

namespace {

// `value` in decimal, or in lower-case hexadecimal with "0x" (no leading zeros).
std::string decimal(std::uint64_t value) { return std::to_string(value); }

std::string hex(std::uint64_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return "0x" + std::string(digits, end);
}

// 0x434f5256414e452d is the bytes "CORVANE-" read as a big-endian number.
constexpr std::array<std::uint64_t, 3> graph_seeds = {0x434f5256414e452dULL, 0x6a09e667f3bcc909ULL,
                                                      0xbb67ae8584caa73bULL};

struct Trip {
  std::uint64_t seed;
  std::uint32_t bytes;
};

constexpr std::array<Trip, 3> trips = {
    Trip{0x243f6a8885a308d3ULL, 4},
    Trip{0x13198a2e03707344ULL, 1024},
    Trip{0xa4093822299f31d0ULL, 8192},
};

// Tiles of the halcyon board that a trip draws from: 0 .. 1471.
constexpr std::uint16_t tile_count = 1472;
constexpr std::size_t tiles_per_trip = 8;

}  // namespace

void randomized_static_d2d_graphs_work() {
  const auto _device = device();
  for (const std::uint64_t seed : graph_seeds) {
    const std::string description = "randomized exchange graph seed " + hex(seed);
    Command command(runner_path("kivu-randomized-e2e"));
    command.env("KIVU_RANDOM_SEED", decimal(seed));
    require_success(description, run(command, "launch randomized hardware test runner"));
  }
}

void randomized_multi_tile_host_round_trips_work() {
  const auto _device = device();
  for (const Trip& trip : trips) {
    auto rng = Rng::with_seed(trip.seed);
    // Repeated draws leave the set unchanged; draw until eight are distinct.
    std::set<std::uint16_t> tiles;
    while (tiles.size() < tiles_per_trip) tiles.insert(rng.u16(HalfOpenRange{0, tile_count}));

    std::string tile_list;
    for (const std::uint16_t tile : tiles) {
      if (!tile_list.empty()) tile_list += ',';
      tile_list += decimal(tile);
    }
    const std::string bytes = decimal(trip.bytes);
    const std::string description = "randomized host round trip seed=" + hex(trip.seed) + " bytes=" + bytes +
                                    " tiles=" + tile_list;
    const auto status = host_test({{"KIVU_HOST_TEST_TILES", tile_list}, {"KIVU_HOST_TEST_BYTES", bytes}});
    require_success(description, status);
  }
}

}  // namespace kivu_e2e
