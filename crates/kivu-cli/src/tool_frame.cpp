// The tool frame's run and its check of standard output (tool_frame.hpp).
#include "kivu_cli/tool_frame.hpp"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <ostream>
#include <system_error>
#include <vector>

namespace kivu_cli {

std::optional<std::string> standard_output_failure() {
  errno = 0;
  std::cout.flush();
  bool failed = !std::cout;
  // Runners print through C's stdout; std::cout shares its buffer.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) failed = true;
  if (!failed) return std::nullopt;
  const int code = errno;
  std::string reason = "cannot write to standard output";
  if (code != 0) reason += ": " + std::generic_category().message(code);
  return reason;
}

int finish_standard_output(std::string_view tool, int status, std::ostream& err) {
  const auto failure = standard_output_failure();
  if (!failure) return status;
  if (status != exit_failure) err << tool << ": " << *failure << '\n';
  return exit_failure;
}

int run_tool(std::string_view tool, int argc, const char* const* argv, const ToolWork& work) {
  install_signal_handlers(tool);
  const auto status = catch_escapes([&] {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return work(args, std::cout, std::cerr);
  });
  if (!status) std::cerr << tool << ": " << status.error().what << '\n';
  return finish_standard_output(tool, status.value_or(exit_failure), std::cerr);
}

}  // namespace kivu_cli
