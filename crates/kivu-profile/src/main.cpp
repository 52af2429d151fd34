// kivu-profile: shows a per-tile cycle profile as a text summary, a trace
// for a timeline viewer, or a heatmap of the board, and compares two
// profiles (see cli.hpp).
#include <cerrno>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli.hpp"
#include "signals.hpp"

int main(int argc, char** argv) {
  kivu_profile::install_signal_handlers();
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int code = kivu_profile::run(args, std::cout, std::cerr);
    errno = 0;
    std::cout.flush();
    if (!std::cout) {
      // A run that failed has said why already (also when standard output
      // was its output).
      if (code != kivu_profile::exit_failure) {
        std::cerr << "kivu-profile: cannot write to standard output"
                  << (errno != 0 ? ": " + std::generic_category().message(errno) : std::string()) << '\n';
      }
      return kivu_profile::exit_failure;
    }
    return code;
  } catch (const std::exception& error) {
    std::cerr << "kivu-profile: " << error.what() << '\n';
    return kivu_profile::exit_failure;
  }
}
