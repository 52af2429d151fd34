// Random static exchange graphs.
//
// A seed determines the whole graph, with nothing else drawn: the tiles
// taking part (16 to 191 distinct tiles anywhere on the board), and 3 to 6
// exchange phases of 4 to 47 transfers each. A transfer has a random source
// tile, a random size (mostly 1 to 256 bytes, sometimes up to 1024) from a
// random offset of the source's window, and 1 to 6 distinct receivers, each
// at a random offset of its window; a receiver may be the source itself or
// a tile that sends in the same phase. Within a phase no two writes
// overlap: a receiver whose range would overlap an earlier write of the
// phase is drawn again (up to 8 times) or left out. All offsets lie in one
// window of each tile's SRAM.
//
// apply() plays a graph on a host model of the windows with the board's
// semantics (every phase reads its sources as they were when it began), so
// that the board's results can be compared with it.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "kivu_runtime/exchange_phase.hpp"

namespace kivu_randomized_e2e {

// The window of tile memory that the graphs use on every tile.
inline constexpr std::uint32_t window_address = 0x8000;
inline constexpr std::uint32_t window_bytes = 4096;

struct RandomGraph {
  std::uint64_t seed = 0;
  std::vector<std::uint16_t> tiles;                 // ascending
  std::vector<kivu_runtime::ExchangePhase> phases;  // addresses are absolute
};

// The graph of `seed`; the same seed always gives the same graph.
[[nodiscard]] RandomGraph generate_graph(std::uint64_t seed);

// Windows of the host model, by tile.
using Windows = std::map<std::uint16_t, std::vector<std::byte>>;

// Applies one phase to the model.
void apply(const kivu_runtime::ExchangePhase& phase, Windows& windows);

// A 64-bit fingerprint of the graph (FNV-1a over every field), printed so
// that runs of one seed can be compared.
[[nodiscard]] std::uint64_t fingerprint(const RandomGraph& graph);

}  // namespace kivu_randomized_e2e
