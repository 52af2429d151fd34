// kivu-boards: lists the boards of this host and writes the CTest resource
// file that spreads the suite's cases over them (see cli.hpp). The tools'
// frame (kivu_cli/tool_frame.hpp) runs it: signals, what escapes, and a
// standard output that fails.
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "cli.hpp"
#include "kivu_cli/tool_frame.hpp"
#include "kivu_host/board_identity.hpp"
#include "kivu_host/settings.hpp"

int main(int argc, char** argv) {
  return kivu_cli::run_tool(
      "kivu-boards", argc, argv, [](std::span<const std::string> args, std::ostream& out, std::ostream& err) {
        const auto sim_boards = kivu_host::board_setting_value(kivu_host::sim_boards_variable);
        return kivu_boards::run(args, sim_boards ? std::optional<std::string_view>(*sim_boards) : std::nullopt, out,
                                err);
      });
}
