// The FP16 FlashAttention scenario of kivu-attention-f16-e2e.
//
// For every batch entry b and head h, O = softmax(Q K^T / sqrt(d)) V over a
// sequence of `sequence` positions with head dimension d (an encoder: no
// mask). Q, K, V and O are FP16 (_Float16); the tiles multiply FP16 values
// and accumulate in FP32, as the hardware's FP16 units do.
//
// Work is split into (batch, head, query block) items of query_block rows,
// one item per tile (work_tile). The item with query block j also holds key
// block j: K and V rows j * key_block .. (j + 1) * key_block, stored
// back to back ("home" copy, by H2D). The tiles then walk the key blocks one
// round at a time: in round j an exchange phase multicasts key block j of
// every (batch, head) from its home tile to all the tiles of that (batch,
// head), and a compute step folds it into each tile's running state with the
// online softmax:
//   s      = q . k / sqrt(d)                    (FP16 products, FP32 sums)
//   m'     = max(m, max_j s_j)                  running maximum
//   p_j    = fp16(exp(s_j - m'))                 weights, rounded to FP16
//   l'     = l * exp(m - m') + sum_j p_j        running sum
//   acc'   = acc * exp(m - m') + sum_j p_j v_j  FP32 accumulator
// A last compute step writes O = fp16(acc / l). Every output block is read
// back by D2H and compared with attention computed on the host in double
// precision from the same FP16 inputs.
//
// Tolerance: the largest absolute difference must not exceed
// attention_tolerance (2^-9). The outputs are weighted means of values in
// [-1, 1]. Rounding an output to FP16 costs at most 2^-12 (half an FP16 step
// below 1). Rounding the weights to FP16 moves each by at most 2^-11 of
// itself, and since the running sum adds up the same rounded weights, the
// output stays a weighted mean whose weights moved by that much, which moves
// it by at most 2^-10. The FP32 sums add far less. So the error stays below
// about 1.2e-3; typical runs show 2.5e-4. A flipped exponent bit or a wrong
// rescale of the running state is off by far more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kivu_runner/run_error.hpp"
#include "kivu_runner/verify.hpp"
#include "kivu_runtime/board.hpp"

namespace kivu_attention {

using half = _Float16;

// =============================================================================
// Shapes

// Rows of Q per work item, and rows of K and V per round.
inline constexpr std::uint32_t query_block = 32;
inline constexpr std::uint32_t key_block = query_block;  // home tiles rely on equal blocks
// Largest head dimension the tile layout has room for.
inline constexpr std::uint32_t max_head_dim = 128;

struct AttentionShape {
  std::uint32_t batch = 1;
  std::uint32_t heads = 1;
  std::uint32_t sequence = query_block;  // a multiple of query_block
  std::uint32_t head_dim = 32;           // 1 .. max_head_dim

  // Work items (and tiles): batch * heads * sequence / query_block.
  [[nodiscard]] std::uint32_t work_items() const noexcept { return batch * heads * (sequence / query_block); }
  // Values of one of Q, K, V or O: batch * heads * sequence * head_dim.
  [[nodiscard]] std::size_t elements() const noexcept { return std::size_t{batch} * heads * sequence * head_dim; }
  // "batch 2, heads 4, sequence 128, head dim 64"
  [[nodiscard]] std::string describe() const;
  bool operator==(const AttentionShape&) const = default;
};

// The runner's shapes: head dimensions 32, 64 and 128, each with batch
// sizes 1, 2 and 8, 4 heads and 128 positions.
[[nodiscard]] std::vector<AttentionShape> encoder_shapes();

// Nothing when the board can run `shape`, otherwise why not.
[[nodiscard]] kivu_runner::Checked<void> check_shape(const AttentionShape& shape);

// =============================================================================
// Data and reference

// Q, K and V, each laid out [batch][head][position][dimension].
struct AttentionInputs {
  std::vector<half> q;
  std::vector<half> k;
  std::vector<half> v;
};

// Inputs drawn from `seed`: Q uniform in [-4, 4], K and V in [-1, 1].
[[nodiscard]] AttentionInputs random_inputs(const AttentionShape& shape, std::uint64_t seed);

// softmax(Q K^T / sqrt(d)) V in double precision from the FP16 inputs,
// laid out like Q.
[[nodiscard]] std::vector<double> reference_attention(const AttentionShape& shape, const AttentionInputs& inputs);

// Largest accepted absolute error of an output value.
inline constexpr double attention_tolerance = 1.0 / 512;

// How far the device's output is from the reference.
struct ErrorSummary {
  double worst = 0;       // largest absolute difference (infinite for NaN)
  std::size_t index = 0;  // where, in the layout of Q
  double got = 0;
  double expected = 0;
};

[[nodiscard]] ErrorSummary compare_output(const std::vector<half>& output, const std::vector<double>& reference);

// Where run_attention reads O from: for each work item, the tile and SRAM
// address of its rows and their bytes in the output (laid out like Q).
[[nodiscard]] std::vector<kivu_runner::Readback> output_readbacks(const AttentionShape& shape);

// Counts in `tally` every output value off its reference by more than the
// tolerance, at the tile and address it was read from.
void tally_output(kivu_runner::MismatchTally& tally, const AttentionShape& shape, const std::vector<half>& output,
                  const std::vector<double>& reference);

// =============================================================================
// Running

// Tile-memory addresses of one work item's buffers (room for max_head_dim).
inline constexpr std::uint32_t q_address = 0x08000;        // Q rows, FP16
inline constexpr std::uint32_t kv_home_address = 0x0c000;  // K then V of the home key block, FP16
inline constexpr std::uint32_t kv_work_address = 0x14000;  // K then V of this round's key block
inline constexpr std::uint32_t acc_address = 0x1c000;      // FP32 accumulator
inline constexpr std::uint32_t max_address = 0x24000;      // FP32 running maximum per row
inline constexpr std::uint32_t sum_address = 0x24100;      // FP32 running sum per row
inline constexpr std::uint32_t o_address = 0x25000;        // O rows, FP16

// Logical tile of work item `item` of `items`: spread evenly over the board.
[[nodiscard]] std::uint16_t work_tile(std::uint32_t items, std::uint32_t item) noexcept;

// Receives one progress line per step (without the runner's prefix).
using ProgressSink = std::function<void(std::string_view)>;

// Runs FlashAttention for `shape` on `board` and returns O as read back by
// D2H, laid out like Q. A board error or an unsupported shape is a failure.
[[nodiscard]] kivu_runner::Checked<std::vector<half>> run_attention(kivu_runtime::Board& board,
                                                                    const AttentionShape& shape,
                                                                    const AttentionInputs& inputs,
                                                                    const ProgressSink& progress);

}  // namespace kivu_attention
