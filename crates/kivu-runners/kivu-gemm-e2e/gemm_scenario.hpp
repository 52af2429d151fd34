// The blocked GEMM scenario of kivu-gemm-e2e: C = A x B on the simulated
// board, split into square blocks of block_size x block_size floats.
//
// Output block (r, c) lives on its own tile (block_tile). Each tile is first
// given A(r, c) and B(r, c) by H2D ("home" copies). Round k of the
// multiplication then runs as one exchange phase, one compute step in which
// every tile adds the A and B blocks it was given to its accumulator, and a
// synchronisation. The exchange follows one of two schedules:
//   - broadcast (the default): the tile holding A(r, k) multicasts it to
//     every tile of block row r, and the tile holding B(k, c) multicasts it
//     to every tile of block column c;
//   - ring: blocks travel tile to tile. Round 0 first aligns the blocks, so
//     that tile (r, c) holds A(r, j) and B(j, c) with j = (r + c) mod grid;
//     each later round passes every A block one tile left along its block
//     row and every B block one tile up its block column, both wrapping
//     around, so that in round k tile (r, c) holds j = (r + c + k) mod grid.
//     Every tile sends and receives one A and one B block per round, and
//     no block is multicast.
// Both schedules add the same products, in another order; the operands are
// exact integers (below), so both must give the reference bit for bit.
//
// After the last round every output block is read back by D2H and compared
// with a host reference, and the tile-memory content of one chosen block is
// also read directly and compared byte for byte.
//
// A dimension that is not a multiple of block_size is padded with zeros up
// to whole blocks; the padding is part of every check (it must stay zero).
//
// The operands are small integers held as floats (-8 .. 8), so every product
// and every partial sum is an integer far below 2^24 and exact in float:
// the device's result must equal the reference, computed in 64-bit
// integers, bit for bit, whatever the order of accumulation. There is no
// tolerance to tune, and a single wrong bit is a failure.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "gemm_settings.hpp"
#include "kivu_package.hpp"
#include "kivu_runner/run_error.hpp"
#include "kivu_runtime/board.hpp"

namespace kivu_gemm {

// =============================================================================
// Layout

// Bytes of one block of floats.
inline constexpr std::uint32_t block_bytes = block_size * block_size * sizeof(float);

// Tile-memory addresses, the same on every tile taking part.
inline constexpr std::uint32_t a_home_address = 0x10000;  // A(r, c), by H2D
inline constexpr std::uint32_t b_home_address = a_home_address + block_bytes;
inline constexpr std::uint32_t a_work_address = b_home_address + block_bytes;  // A(r, k) of this round
inline constexpr std::uint32_t b_work_address = a_work_address + block_bytes;  // B(k, c) of this round
inline constexpr std::uint32_t c_address = b_work_address + block_bytes;       // accumulator C(r, c)

// Cost model of the block MAC: MACs a tile retires per cycle, and a fixed
// overhead per block.
inline constexpr std::uint64_t macs_per_cycle = 16;
inline constexpr std::uint64_t block_overhead_cycles = 64;

// Logical tile of output block `block` in a grid of `grid` blocks per side:
// the blocks, in row-major order, spread evenly over the board.
[[nodiscard]] std::uint16_t block_tile(std::uint32_t grid, BlockIndex block) noexcept;

// =============================================================================
// Operands and reference

// Square matrices of `dimension` x `dimension` floats, row-major.
struct Operands {
  std::uint32_t dimension = 0;
  std::vector<float> a;
  std::vector<float> b;
};

// Integer-valued operands in -8 .. 8 drawn from `seed`.
[[nodiscard]] Operands make_operands(std::uint32_t dimension, std::uint64_t seed);

// C = A x B computed in 64-bit integers, returned as floats (exact).
[[nodiscard]] std::vector<float> reference_product(const Operands& operands);

// Block (r, c) of a row-major dimension x dimension matrix, padded with
// zeros to block_size x block_size, row-major.
[[nodiscard]] std::vector<float> extract_block(const std::vector<float>& matrix, std::uint32_t dimension,
                                               BlockIndex block);

// =============================================================================
// Running

// Receives one progress line per step (without the runner's prefix).
using ProgressSink = std::function<void(std::string_view)>;

// What a verified run did.
struct GemmOutcome {
  std::uint32_t grid = 0;
  std::uint32_t tiles = 0;            // tiles holding an output block
  std::uint64_t cycles = 0;           // the board's cycle counter at the end
  std::uint32_t verified_blocks = 0;  // output blocks read back and matched
};

// Runs the multiplication on `board` and verifies it: every output block by
// D2H against the reference, then the check block's tile memory byte for
// byte. A board error or any mismatch is a failure (exit status 1).
[[nodiscard]] kivu_runner::Checked<GemmOutcome> run_gemm(kivu_runtime::Board& board, const GemmSettings& settings,
                                                         const ProgressSink& progress);

// The board's cycle profile (the board must have been built with profiling
// on), written atomically to `path`. Returns the report written.
[[nodiscard]] kivu_runner::Checked<kivu_package::ProfileReport> write_gemm_profile(const kivu_runtime::Board& board,
                                                                                   const std::filesystem::path& path);

}  // namespace kivu_gemm
