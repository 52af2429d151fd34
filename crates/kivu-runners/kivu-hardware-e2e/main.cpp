// kivu-hardware-e2e: the exchange graph named by KIVU_GRAPH_TEST, run across
// all tiles of the simulated board (graphs.hpp). Exit 0 when every
// readback matched, 1 on a mismatch or a board error, 2 on bad input (a
// missing or unknown graph name, or a bad board variable).
#include <fmt/core.h>

#include "graphs.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_runner/environment.hpp"
#include "kivu_runner/runner_help.hpp"
#include "kivu_runner/runner_main.hpp"

namespace {

constexpr const char* graph_variable = "KIVU_GRAPH_TEST";

}  // namespace

int main(int argc, char** argv) {
  using namespace kivu_hardware_e2e;
  const kivu_runner::HelpVariable own[] = {
      {graph_variable, std::string(graph_names) + "; required", "the exchange graph run across all tiles"},
  };
  return kivu_runner::run_runner_with_help(
      "kivu-hardware-e2e",
      "Runs an exchange graph across all tiles of the board and checks what\n"
      "every tile received against the host's model.",
      own, argc, argv, [](const kivu_runner::Progress& progress) -> kivu_runner::Checked<void> {
        const auto name = kivu_host::environment_value(graph_variable);
        const GraphFunction graph = name ? find_graph(*name) : nullptr;
        if (graph == nullptr) return std::unexpected(kivu_runner::bad_value(graph_variable, graph_names));
        KIVU_ASSIGN_OR_RETURN(auto options, kivu_runner::board_options(progress));
        progress.line(fmt::format("graph {} on {} tiles", *name, kivu_runtime::tile_count));
        kivu_runtime::Board board(options);
        return graph(board, progress);
      });
}
