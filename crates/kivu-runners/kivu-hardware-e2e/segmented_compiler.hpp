// A small compiler for an elementwise add, out = a + b, over tiles whose
// SRAM is split into segmented arenas.
//
// Every tile's SRAM offers the same arenas: disjoint address ranges with
// gaps between them (SramLayout). The compiler shards the tensors over the
// tiles (shard i holds elements [i * per_tile, (i + 1) * per_tile)), and
// allocates each shard from its tile's arenas in order with a bump cursor:
// a shard that does not fit in what is left of an arena continues at the
// start of the next one, so one shard can span several arenas and its
// elements lie in several segments with gaps between them.
//
// Placement: shard i of `a` and of `out` live on tile i; shard i of `b`
// lives on tile (i + b_tile_offset) % tiles. The emitted program is:
//   1. host loads (H2D) of every segment of a and b;
//   2. one exchange phase that moves each b shard into a staging shard on
//      the tile of the matching a shard (transfers split wherever a segment
//      of either side ends);
//   3. one compute step on every tile with a shard, running that tile's add
//      runs: contiguous pieces in which a, staged b and out are each
//      contiguous;
//   4. host stores (D2H) of every segment of out.
// Elements are 32-bit floats; segment boundaries fall on whole elements.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <vector>

#include "kivu_runtime/compute_step.hpp"
#include "kivu_runtime/exchange_phase.hpp"

namespace kivu_hardware_e2e {

// =============================================================================
// Layout

// One arena of a tile's SRAM.
struct Arena {
  std::uint32_t base = 0;
  std::uint32_t size = 0;  // bytes, a multiple of the element size
};

// The arenas of every tile, in allocation order, disjoint.
struct SramLayout {
  std::vector<Arena> arenas;
};

// Bytes per element (float32).
inline constexpr std::uint32_t element_bytes = 4;

// The layout used by kivu-hardware-e2e: eight arenas of uneven sizes,
// spread over SRAM with gaps between them.
[[nodiscard]] SramLayout segmented_layout();

// =============================================================================
// Program

// A piece of a tensor: `elements` elements from `first_element` at
// `address` on `tile`.
struct Segment {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::uint32_t first_element = 0;
  std::uint32_t elements = 0;

  bool operator==(const Segment&) const = default;
};

// Where a tensor lives: its segments in element order.
struct TensorPlacement {
  std::string name;
  std::uint32_t elements = 0;
  std::vector<Segment> segments;
  std::uint32_t shards = 0;                  // shards (one per tile used)
  std::uint32_t shards_spanning_arenas = 0;  // shards with more than one segment
};

// One contiguous piece of the add on one tile: out[i] = a[i] + b[i] for
// `elements` elements at the three addresses.
struct AddRun {
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::uint32_t out = 0;
  std::uint32_t elements = 0;

  bool operator==(const AddRun&) const = default;
};

struct Program {
  TensorPlacement a;
  TensorPlacement b;
  TensorPlacement staged_b;  // b's shards beside a's; empty when b_tile_offset is 0
  TensorPlacement out;
  // Host loads: every segment of a, then every segment of b.
  std::vector<Segment> a_loads;
  std::vector<Segment> b_loads;
  // Exchange phases (zero or one) bringing b next to a.
  std::vector<kivu_runtime::ExchangePhase> exchanges;
  // The add step (its tiles) and each tile's runs.
  kivu_runtime::ComputeStep add;
  std::map<std::uint16_t, std::vector<AddRun>> runs;
  // Host stores: every segment of out.
  std::vector<Segment> out_stores;
};

// What to compile.
struct AddProblem {
  std::uint32_t elements = 0;       // at least 1
  std::uint16_t tiles = 0;          // tiles to shard over, at least 1
  std::uint16_t b_tile_offset = 0;  // b's shard i lives on tile (i + offset) % tiles
  SramLayout layout;
};

// Why a problem does not compile: a message such as "tile 3 is out of arena
// space allocating 400 bytes of out".
struct CompileError {
  std::string message;
};

// Compiles the add; fails when a tile runs out of arena space, the problem
// is empty, or the layout is not a set of disjoint, element-aligned arenas
// inside SRAM.
[[nodiscard]] std::expected<Program, CompileError> compile_elementwise_add(const AddProblem& problem);

}  // namespace kivu_hardware_e2e
