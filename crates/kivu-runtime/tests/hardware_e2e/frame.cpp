#include "frame.hpp"

#include <cstdlib>

namespace kivu_e2e {

ExitStatus run(const Command& command, std::string_view launch_message, std::source_location where) {
  auto status = command.status();
  if (!status) {
    std::string message(launch_message);
    message += ": ";
    message += status.error().text();
    fail(std::move(message), where);
  }
  return *status;
}

void require_success(std::string_view capability, ExitStatus status, std::source_location where) {
  if (status.success()) return;
  fail("hardware capability " + debug_quote(capability) + " failed with " + status.text(), where);
}

void configure_host_write_jitter(Command& command) {
  if (const char* max_delay = std::getenv("KIVU_TEST_HOST_WRITE_JITTER_MAX_US")) {
    command.env("KIVU_HOST_WRITE_JITTER_MAX_US", max_delay);
  }
  if (const char* seed = std::getenv("KIVU_TEST_HOST_WRITE_JITTER_SEED")) {
    command.env("KIVU_HOST_WRITE_JITTER_SEED", seed);
  }
}

ExitStatus host_test(std::initializer_list<EnvVar> environment, std::source_location where) {
  Command command(runner_path("kivu-host-e2e"));
  for (const auto& [name, value] : environment) command.env(name, value);
  configure_host_write_jitter(command);
  return run(command, "launch host exchange test runner", where);
}

}  // namespace kivu_e2e
