// kivu-host-e2e: host transfers and relays between tiles on the simulated
// board; see host_settings.hpp for the variables and host_scenarios.hpp for
// what each scenario checks. Exit 0 when every readback matched, 1 on a
// mismatch or a board error, 2 on bad input.
#include <fmt/core.h>

#include "host_scenarios.hpp"
#include "host_settings.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_runner/runner_help.hpp"
#include "kivu_runner/runner_main.hpp"

int main(int argc, char** argv) {
  using namespace kivu_host_e2e;
  const auto own = host_help_variables();
  return kivu_runner::run_runner_with_help(
      "kivu-host-e2e",
      "Host transfers and relays between tiles on the board, each readback checked\n"
      "against what was written. With none of the 0-or-1 scenario variables, each\n"
      "tile gets an H2D and D2H round trip; at most one of them may be 1.",
      own, argc, argv, [](const kivu_runner::Progress& progress) -> kivu_runner::Checked<void> {
        KIVU_ASSIGN_OR_RETURN(const auto settings, read_host_settings());
        KIVU_ASSIGN_OR_RETURN(const auto options, kivu_runner::board_options(progress));
        progress.line(fmt::format("{}: {} tile(s), {} bytes at {}", scenario_name(settings), settings.tiles.size(),
                                  settings.bytes, kivu_runner::hex(settings.address)));
        kivu_runtime::Board board(options);
        return run_scenario(board, settings, progress);
      });
}
