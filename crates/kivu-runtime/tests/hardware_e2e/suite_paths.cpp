// Compiled once per suite binary, with its own definitions:
//   KIVU_RUNNER_DIR              the runner directory (absolute)
//   KIVU_SELFTEST_OVERRIDES      1 in the self-test build only
#include "suite_paths.hpp"

#include <cstdlib>

#include "kivu_host/board_identity.hpp"

#ifndef KIVU_RUNNER_DIR
#error "KIVU_RUNNER_DIR must name the runner directory"
#endif
#ifndef KIVU_SELFTEST_OVERRIDES
#define KIVU_SELFTEST_OVERRIDES 0
#endif

namespace kivu_e2e {

namespace {

// The built-in `fallback`, or in the self-test build the value of `variable`
// when it is set.
std::string configured(const char* fallback, [[maybe_unused]] const char* variable) {
#if KIVU_SELFTEST_OVERRIDES
  if (const char* value = std::getenv(variable)) return value;
#endif
  return fallback;
}

}  // namespace

const std::string& runner_directory() {
  static const std::string directory = [] {
    std::string path = configured(KIVU_RUNNER_DIR, "KIVU_SELFTEST_RUNNER_DIR");
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  }();
  return directory;
}

const std::string& device_lock_prefix() {
  static const std::string prefix = configured(kivu_host::board_lock_prefix, "KIVU_SELFTEST_DEVICE_LOCK");
  return prefix;
}

std::string device_lock_name(std::uint32_t board) { return kivu_host::board_lock_name(board, device_lock_prefix()); }

std::string runner_path(std::string_view name) {
  std::string path = runner_directory();
  path += '/';
  path += name;
  return path;
}

}  // namespace kivu_e2e
