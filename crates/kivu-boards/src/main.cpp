// kivu-boards: lists the boards of this host and writes the CTest resource
// file that spreads the suite's cases over them (see cli.hpp).
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "kivu_host/board_identity.hpp"
#include "kivu_host/settings.hpp"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto sim_boards = kivu_host::board_setting_value(kivu_host::sim_boards_variable);
    const int code = kivu_boards::run(args, sim_boards ? std::optional<std::string_view>(*sim_boards) : std::nullopt,
                                      std::cout, std::cerr);
    std::cout.flush();
    if (code == kivu_boards::exit_success && !std::cout) {
      std::cerr << "kivu-boards: cannot write to standard output\n";
      return kivu_boards::exit_failure;
    }
    return code;
  } catch (const std::exception& error) {
    std::cerr << "kivu-boards: " << error.what() << '\n';
    return kivu_boards::exit_failure;
  }
}
