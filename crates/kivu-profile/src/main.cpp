// kivu-profile: shows a per-tile cycle profile as a text summary, a trace
// for a timeline viewer, or a heatmap of the board, and compares two
// profiles (see cli.hpp). The tools' frame (kivu_cli/tool_frame.hpp) runs
// it: signals, what escapes, and a standard output that fails.
#include <ostream>
#include <span>
#include <string>

#include "cli.hpp"
#include "kivu_cli/tool_frame.hpp"

int main(int argc, char** argv) {
  return kivu_cli::run_tool("kivu-profile", argc, argv,
                            [](std::span<const std::string> args, std::ostream& out, std::ostream& err) {
                              return kivu_profile::run(args, out, err);
                            });
}
