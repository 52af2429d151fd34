// kivu-attention-f16-e2e: FP16 FlashAttention on the board for several
// encoder shapes (head dimensions 32, 64 and 128; batch sizes 1, 2 and 8;
// 4 heads; 128 positions), each compared with attention computed on the
// host in double precision. Every shape reports its worst absolute error
// (shown when the run fails or with KIVU_RUNNER_VERBOSE=1).
//
// No variables of its own; the board's settings (host-write jitter, fault
// injection) come from the environment. Exit status: 0 when every shape is
// within the tolerance, 1 on a board error or an error beyond it, 2 on bad
// input.
#include <cstdint>

#include <fmt/core.h>

#include "attention_scenario.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_runner/runner_help.hpp"
#include "kivu_runner/runner_main.hpp"

using kivu_runner::Checked;
using kivu_runner::Progress;
using kivu_runner::RunError;

namespace {

constexpr std::uint64_t input_seed = 0x61747466;

}  // namespace

int main(int argc, char** argv) {
  return kivu_runner::run_runner_with_help(
      "kivu-attention-f16-e2e",
      "FP16 attention on the board for several encoder shapes, each compared with\n"
      "attention computed on the host in double precision.",
      {}, argc, argv, [](const Progress& progress) -> Checked<void> {
        KIVU_ASSIGN_OR_RETURN(const auto options, kivu_runner::board_options(progress));
        kivu_runtime::Board board(options);
        const auto sink = [&](std::string_view line) { progress.line(line); };

        // Every shape runs and reports, so that a failure shows which shapes
        // are off and by how much.
        std::uint32_t failed = 0;
        std::string first_failure;
        kivu_runner::MismatchTally tally(board);
        std::uint64_t seed = input_seed;
        for (const kivu_attention::AttentionShape& shape : kivu_attention::encoder_shapes()) {
          const auto inputs = kivu_attention::random_inputs(shape, seed++);
          KIVU_ASSIGN_OR_RETURN(const auto output, kivu_attention::run_attention(board, shape, inputs, sink));
          const auto reference = kivu_attention::reference_attention(shape, inputs);
          const auto error = kivu_attention::compare_output(output, reference);
          kivu_attention::tally_output(tally, shape, output, reference);
          const bool ok = error.worst <= kivu_attention::attention_tolerance;
          progress.line(
              fmt::format("{}: worst abs error {:.3g} at element {} (got {}, expected {:.6g}), tolerance {:.3g}: {}",
                          shape.describe(), error.worst, error.index, error.got, error.expected,
                          kivu_attention::attention_tolerance, ok ? "ok" : "FAILED"));
          if (!ok && failed++ == 0) {
            first_failure = fmt::format("{} (worst abs error {:.3g})", shape.describe(), error.worst);
          }
        }
        if (failed != 0) {
          const std::string what = fmt::format("{} of {} shapes differ from the host softmax beyond {:.3g}; first: {}",
                                               failed, kivu_attention::encoder_shapes().size(),
                                               kivu_attention::attention_tolerance, first_failure);
          // A value beyond the tolerance places the failure on its tile; a
          // wrong output size places it nowhere.
          if (!tally.any()) return std::unexpected(RunError::failed(what + " (not tied to one tile)"));
          return tally.verdict(what);
        }
        return {};
      });
}
