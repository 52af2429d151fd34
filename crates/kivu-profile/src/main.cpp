// kivu-profile: shows a per-tile cycle profile as a text summary, a trace
// for a timeline viewer, or a heatmap of the board, and compares two
// profiles (see cli.hpp).
#include <cerrno>
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli.hpp"
#include "kivu_output_file/output_file.hpp"

namespace {

// SIGINT and SIGTERM: remove the temporary file of an output being written,
// then end as the signal would have, so that the exit status still shows it.
extern "C" void end_on_signal(int signal_number) {
  kivu_output_file::remove_output_temporaries();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = end_on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (const int signal_number : {SIGINT, SIGTERM}) ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  install_signal_handlers();
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
