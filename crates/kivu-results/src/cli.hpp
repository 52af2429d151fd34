// The command line of kivu-results, kept out of main() so that tests can
// call it directly. The usage text (usage()) documents every subcommand;
// docs/results.md shows a lab's routine with them.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kivu_cli/exit_status.hpp"

namespace kivu_results {

// Exit statuses: the tools' shared ones, then this tool's own. Each bad
// input has its own, with one line on standard error; nothing is written to
// the store then.
using kivu_cli::exit_failure;
using kivu_cli::exit_success;
using kivu_cli::exit_usage;
inline constexpr int exit_outside = 3;           // check: the figure lies outside what the series has shown
inline constexpr int exit_bad_input = 4;         // an input is not a result, truncated, has a DOCTYPE, or is too large
inline constexpr int exit_bad_address = 5;       // the store's address has an unknown scheme
inline constexpr int exit_read_only = 6;         // the store cannot be written
inline constexpr int exit_disk_full = 7;         // the store's disk (or server) is full
inline constexpr int exit_newer_schema = 8;      // the store was written by a newer kivu-results
inline constexpr int exit_unavailable = 9;       // the PostgreSQL server cannot be reached, or went away
inline constexpr int exit_suspect = 3;           // health: a board fails more than the rest of the pool
inline constexpr int exit_quarantine_file = 10;  // the quarantine file is unreadable or corrupt

// The usage text printed by --help; `default_store` is the default store's place.
[[nodiscard]] std::string usage(std::string_view default_store);

// The value of --last: a whole number of runs above 0, or the reason it is
// none.
[[nodiscard]] std::expected<std::size_t, std::string> parse_last(const std::string& text);

// What run reads from the environment.
struct Environment {
  std::optional<std::string> results_db;     // KIVU_RESULTS_DB
  std::optional<std::string> xdg_data_home;  // XDG_DATA_HOME
  std::optional<std::string> home;           // HOME
  // Called by record after every row is written, before the commit: main()
  // stops the process there when KIVU_RESULTS_STOP_BEFORE_COMMIT is set, so
  // that tests can kill a record in flight.
  std::function<void()> before_commit;
};

// Runs the command line `args` (without the program name); results go to
// `out`, messages to `err`. Returns the exit status.
[[nodiscard]] int run(std::span<const std::string> args, const Environment& environment, std::ostream& out,
                      std::ostream& err);

}  // namespace kivu_results
