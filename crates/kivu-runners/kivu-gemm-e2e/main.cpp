// kivu-gemm-e2e: a blocked matrix multiplication on the board, verified
// against the host, with an optional per-tile cycle profile.
//
// Variables (all optional):
//   KIVU_GEMM_DIMENSION         matrix dimension, 1 .. 1216 (default 128)
//   KIVU_GEMM_SRAM_CHECK_BLOCK  "row,column" of the output block whose tile
//                               memory is also checked byte for byte (default "0,0")
//   KIVU_GEMM_SCHEDULE          how blocks reach the tiles: broadcast (default)
//                               or ring (gemm_scenario.hpp)
//   KIVU_PROFILE_OUTPUT         where to write the cycle profile; profiling is
//                               on only when it is set. A symbolic link there
//                               is replaced, not followed; a character device
//                               or FIFO is written in place. When it is the
//                               runner's standard output (/dev/stdout, a pipe
//                               or a file), the runner's own lines go to
//                               standard error and a file is written through
//   KIVU_SIM_BOARDS, KIVU_BOARD, KIVU_HOST_WRITE_JITTER_MAX_US,
//   KIVU_HOST_WRITE_JITTER_SEED, KIVU_SIM_FAULT, KIVU_SIM_FAULT_BOARD
//                               the board and its settings (kivu_runtime/board.hpp)
// Exit status: 0 when everything matched, 1 on a board error or a mismatch,
// 2 on bad input (one line on stderr naming the variable and its value).
// The profile's path is checked with the other settings, before the board
// does anything (a path that cannot be written is bad input); the profile is
// written once the multiplication has run and been verified.
#include <fmt/core.h>

#include "gemm_scenario.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_runner/runner_help.hpp"
#include "kivu_runner/runner_main.hpp"

using kivu_runner::Checked;
using kivu_runner::Progress;

int main(int argc, char** argv) {
  using namespace kivu_gemm;
  const kivu_runner::HelpVariable own[] = {
      {dimension_variable, fmt::format("1 to {}; default {}", max_dimension, default_dimension),
       fmt::format("the dimension of the square matrices, in blocks of {0} x {0}", block_size)},
      {check_block_variable, "\"row,column\", each below the block grid's side; default \"0,0\"",
       "the output block whose tile memory is also checked byte for byte"},
      {schedule_variable, "broadcast or ring; default broadcast", "how the blocks reach the tiles"},
      {profile_output_variable, "a file path that can be written; default unset (no profile)",
       "where the per-tile cycle profile is written once the product is verified"},
  };
  return kivu_runner::run_runner_with_help(
      "kivu-gemm-e2e",
      "Multiplies two matrices block by block on the board and checks the product\n"
      "against the host's, with an optional per-tile cycle profile.",
      own, argc, argv, [](const Progress& progress) -> Checked<void> {
        // All input is checked before the board does anything.
        KIVU_ASSIGN_OR_RETURN(const auto settings, kivu_gemm::gemm_settings_from_environment());
        // The profile's bytes alone on standard output, before the first line.
        if (settings.profile_on_standard_output) progress.to_standard_error();
        KIVU_ASSIGN_OR_RETURN(auto options, kivu_runner::board_options(progress));
        options.profile = settings.profile_output.has_value();

        kivu_runtime::Board board(options);
        KIVU_RETURN_IF_ERROR(kivu_gemm::run_gemm(board, settings, [&](std::string_view line) { progress.line(line); }));

        if (settings.profile_output) {
          KIVU_ASSIGN_OR_RETURN(const auto report, kivu_gemm::write_gemm_profile(board, *settings.profile_output));
          progress.line(fmt::format("cycle profile of {} tiles, {} cycles at {} Hz written to {}", report.tiles.size(),
                                    board.cycle(), report.clock_hz, settings.profile_output->string()));
        }
        return {};
      });
}
