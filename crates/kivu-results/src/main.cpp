// kivu-results: records the suite's results and cycle profiles in a store
// and answers questions over them (see cli.hpp).
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"

namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    kivu_results::Environment environment{variable("KIVU_RESULTS_DB"), variable("XDG_DATA_HOME"), variable("HOME"), {}};
    if (const auto stop = variable("KIVU_RESULTS_STOP_BEFORE_COMMIT"); stop && *stop == "1") {
      environment.before_commit = [] { std::raise(SIGSTOP); };
    }
    const int code = kivu_results::run(args, environment, std::cout, std::cerr);
    std::cout.flush();
    if (code == kivu_results::exit_success && !std::cout) {
      std::cerr << "kivu-results: cannot write to standard output\n";
      return kivu_results::exit_failure;
    }
    return code;
  } catch (const std::exception& error) {
    std::cerr << "kivu-results: " << error.what() << '\n';
    return kivu_results::exit_failure;
  }
}
