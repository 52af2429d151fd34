// How a runner program fails.
//
// A runner ends in one of three ways: exit 0 when everything it checked
// matched; exit 2 when its input (its environment variables) is not
// acceptable; exit 1 when the board reported an error or a result did not
// match its host reference. Every step of a runner returns Checked<T>, and
// the first RunError travels up to run_runner (runner_main.hpp), which
// prints its one-line message on stderr and exits with its status.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
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
// Where a mismatch was found

// The first value of a check that differed from its host reference, and how
// much differed in that check.
struct MismatchLocation {
  std::uint32_t board = 0;
  std::uint16_t tile = 0;           // logical
  std::uint16_t physical_tile = 0;  // its physical number: row and position
  std::uint32_t address = 0;        // SRAM address of the value
  std::uint64_t actual = 0;         // the value read
  std::uint64_t expected = 0;       // the host reference's value
  unsigned width = 1;               // bytes per value (1 to 8)
  std::uint64_t values = 0;         // values of the check that differ
  std::uint64_t tiles = 0;          // tiles on which they differ

  bool operator==(const MismatchLocation&) const = default;
};

// "on board 0, tile 5 (physical 133: row 2, position 5) at 0x1003: got 0x4f,
// expected 0x0f", the values with two hexadecimal digits per byte.
[[nodiscard]] std::string describe(const MismatchLocation& location);

// The machine-readable line of a location, for the suite (no line break):
// "location board=0 tile=5 physical_tile=133 row=2 position=5
// address=0x1003 expected=0x0f actual=0x4f values=1 tiles=1".
[[nodiscard]] std::string location_line(const MismatchLocation& location);

// The same line for a failure that is not tied to one tile: "location none".
inline constexpr const char* untied_location_line = "location none";

// =============================================================================
// Errors

class RunError {
public:
  // Bad input: a variable whose value is not acceptable. Implicit, so that
  // a parse error converts where a Checked<T> is returned.
  RunError(const kivu_host::EnvironmentError& error);  // NOLINT(google-explicit-constructor)

  // Bad input: a required variable that is unset.
  [[nodiscard]] static RunError missing(std::string_view variable, std::string_view expected);
  // A failure of the scenario that is not tied to one tile: an error of the
  // board or the host link, a wrong count.
  [[nodiscard]] static RunError failed(std::string message);
  // A failure of the scenario: a value read from a tile differs.
  [[nodiscard]] static RunError mismatch(std::string message, MismatchLocation location);

  // One line, without a line break.
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // exit_bad_input or exit_failed.
  [[nodiscard]] int exit_status() const noexcept { return status_; }
  // Where the mismatch was found; nothing for other failures and bad input.
  [[nodiscard]] const std::optional<MismatchLocation>& location() const noexcept { return location_; }

private:
  RunError(int status, std::string message) : status_(status), message_(std::move(message)) {}

  int status_;
  std::string message_;
  std::optional<MismatchLocation> location_;
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
