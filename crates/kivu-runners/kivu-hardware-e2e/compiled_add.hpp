// compiler-segmented-add: an elementwise add of two float tensors of 147163
// elements, compiled by segmented_compiler.hpp over all 1472 tiles with
// SRAM split into uneven arenas, and run on the board: host loads of a and
// b, one exchange that stages b beside a, the add on every tile, host
// stores of out, compared bit for bit with the add computed on the host.
#pragma once

#include "kivu_runner/progress.hpp"
#include "kivu_runtime/board.hpp"

namespace kivu_hardware_e2e {

[[nodiscard]] kivu_runner::Checked<void> run_compiled_add(kivu_runtime::Board& board,
                                                          const kivu_runner::Progress& progress);

}  // namespace kivu_hardware_e2e
