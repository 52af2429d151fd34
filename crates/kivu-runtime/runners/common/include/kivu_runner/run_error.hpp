// How a runner program fails.
//
// A runner ends in one of three ways: exit 0 when everything it checked
// matched; exit 2 when its input (its environment variables) is not
// acceptable; exit 1 when the board reported an error or a result did not
// match its host reference. Every step of a runner returns Checked<T>, and
// the first RunError travels up to run_runner (runner_main.hpp), which
// prints its one-line message on stderr and exits with its status.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "kivu_cli/exit_status.hpp"
#include "kivu_exchange.hpp"
#include "kivu_runtime/environment.hpp"

namespace kivu_runner {

// =============================================================================
// Exit statuses: the workspace's one set (kivu_cli/exit_status.hpp), under
// the names of what they mean for a runner, whose settings are its input.

inline constexpr int exit_passed = kivu_cli::exit_success;
inline constexpr int exit_failed = kivu_cli::exit_failure;
inline constexpr int exit_bad_input = kivu_cli::exit_usage;

// =============================================================================
// Errors

class RunError {
public:
  // Bad input: a variable whose value is not acceptable. Implicit, so that
  // a parse error converts where a Checked<T> is returned.
  RunError(const kivu_host::EnvironmentError& error);  // NOLINT(google-explicit-constructor)

  // Bad input: a required variable that is unset.
  [[nodiscard]] static RunError missing(std::string_view variable, std::string_view expected);
  // A failure of the scenario: an error of the board, a mismatch.
  [[nodiscard]] static RunError failed(std::string message);

  // One line, without a line break.
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // exit_bad_input or exit_failed.
  [[nodiscard]] int exit_status() const noexcept { return status_; }

private:
  RunError(int status, std::string message) : status_(status), message_(std::move(message)) {}

  int status_;
  std::string message_;
};

template <typename T>
using Checked = std::expected<T, RunError>;

// =============================================================================
// Board results

// The debug form of an ExchangeError, e.g. Schedule("overlapping writes ...").
[[nodiscard]] std::string error_text(const kivu_exchange::ExchangeError& error);

// A board result as Checked: an error becomes the failure
// "<what> failed: <debug form of the error>".
template <typename T>
[[nodiscard]] Checked<T> check(std::expected<T, kivu_exchange::ExchangeError> result, std::string_view what) {
  if (!result) return std::unexpected(RunError::failed(std::string(what) + " failed: " + error_text(result.error())));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*result);
  }
}

}  // namespace kivu_runner
