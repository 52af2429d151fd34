// The exchange graphs of kivu-hardware-e2e, selected by KIVU_GRAPH_TEST.
// Every graph runs across all 1472 tiles of the board and checks what it
// reads back against a reference computed on the host.
//
//   fanout       the host writes a buffer to tile 0, which multicasts it to
//                every other tile in one phase; every tile must hold it.
//   reduction    every tile initialises 64 words; a binary tree of exchange
//                phases and compute adds (11 levels) sums them on tile 0,
//                which must hold the wrapping sum of all tiles' words.
//   permutation  every tile sends its own buffer to tile (577 t + 131) mod
//                1472 in one phase; every tile must hold its sender's data.
//   reduction-permutation
//                a compute step on a sparse eighth of the tiles replaces
//                their words by prefix sums, then every tile sends its words
//                to the tile 611 further on; every receiver must hold the
//                (reduced or untouched) words of its sender.
//   multicast    tile 0 multicasts to every odd tile, overwriting its
//                buffer, while in the same phase every odd tile sends that
//                same buffer to the tile before it: receivers must get what
//                the odd tile held before the phase, not tile 0's data.
//   compiler-segmented-add
//                see compiled_add.hpp.
#pragma once

#include <string_view>

#include "kivu_runner/progress.hpp"
#include "kivu_runtime/board.hpp"

namespace kivu_hardware_e2e {

// Runs the graph named `name`; false when there is no such graph.
using GraphFunction = kivu_runner::Checked<void> (*)(kivu_runtime::Board&, const kivu_runner::Progress&);

// The graph of that name, or nullptr.
[[nodiscard]] GraphFunction find_graph(std::string_view name);

// The names accepted, for the bad-input message.
inline constexpr const char* graph_names =
    "one of \"fanout\", \"reduction\", \"permutation\", \"reduction-permutation\", \"multicast\", "
    "\"compiler-segmented-add\"";

}  // namespace kivu_hardware_e2e
