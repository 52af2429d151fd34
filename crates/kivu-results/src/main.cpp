// kivu-results: records the suite's results and cycle profiles in a store
// and answers questions over them (see cli.hpp). The tools' frame
// (kivu_cli/tool_frame.hpp) runs it: signals, what escapes, and a standard
// output that fails.
#include <csignal>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "cli.hpp"
#include "kivu_cli/tool_frame.hpp"

namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  return kivu_cli::run_tool("kivu-results", argc, argv,
                            [](std::span<const std::string> args, std::ostream& out, std::ostream& err) {
                              kivu_results::Environment environment{
                                  variable("KIVU_RESULTS_DB"), variable("XDG_DATA_HOME"), variable("HOME"), {}};
                              if (const auto stop = variable("KIVU_RESULTS_STOP_BEFORE_COMMIT"); stop && *stop == "1") {
                                environment.before_commit = [] { std::raise(SIGSTOP); };
                              }
                              return kivu_results::run(args, environment, out, err);
                            });
}
