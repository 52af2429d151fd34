// hardware_e2e_merge: one JUnit report from the suite's per-case results
// (report/merge.hpp).
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "merge.hpp"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return kivu_e2e::report::run(args, std::cout, std::cerr);
  } catch (const std::exception& error) {
    std::cerr << "hardware_e2e_merge: " << error.what() << '\n';
    return kivu_e2e::report::exit_failed;
  }
}
