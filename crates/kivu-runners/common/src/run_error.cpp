#include "kivu_runner/run_error.hpp"

#include <sstream>

namespace kivu_runner {

RunError::RunError(const kivu_host::EnvironmentError& error) : status_(exit_bad_input), message_(error.message()) {}

RunError RunError::missing(std::string_view variable, std::string_view expected) {
  return RunError(exit_bad_input, "missing " + std::string(variable) + ": expected " + std::string(expected));
}

RunError RunError::failed(std::string message) { return RunError(exit_failed, std::move(message)); }

std::string error_text(const kivu_exchange::ExchangeError& error) {
  std::ostringstream out;
  out << error;
  return out.str();
}

}  // namespace kivu_runner
