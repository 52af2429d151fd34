// kivu-profile: shows a per-tile cycle profile as a text summary, a trace
// for a timeline viewer, or a heatmap of the board (see cli.hpp).
#include "cli.hpp"

#include <exception>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int code = kivu_profile::run(args, std::cout, std::cerr);
    std::cout.flush();
    if (!std::cout) {
      std::cerr << "kivu-profile: cannot write to standard output\n";
      return kivu_profile::exit_failure;
    }
    return code;
  } catch (const std::exception& error) {
    std::cerr << "kivu-profile: " << error.what() << '\n';
    return kivu_profile::exit_failure;
  }
}
