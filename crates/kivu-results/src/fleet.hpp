// The subcommands that judge the boards from the recorded runs: health
// (src/health.cpp) and quarantine (src/quarantine.cpp), and what they share
// with the rest of the command line (src/cli.cpp).
#pragma once

#include <expected>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>

#include "cli.hpp"
#include "kivu_results/board_health.hpp"
#include "kivu_results/store.hpp"

namespace kivu_results {

// The store --db names, else KIVU_RESULTS_DB's, else the default one.
[[nodiscard]] std::expected<Store, StoreError> open_store_at(const std::optional<std::string>& db,
                                                             const Environment& environment);

// One line for a store's failure on `err`; its exit status.
int store_failure(std::ostream& err, const StoreError& error);

// The options health and quarantine share.
struct FleetOptions {
  std::optional<std::string> db;
  std::optional<std::size_t> last;
  double alpha = default_alpha;
  bool json = false;   // health
  bool apply = false;  // quarantine
};

// health and quarantine: `args` begins with the subcommand's name.
int health(std::span<const std::string> args, const Environment& environment, std::ostream& out, std::ostream& err);
int quarantine(std::span<const std::string> args, const Environment& environment, std::ostream& out, std::ostream& err);

// The reading of a fleet subcommand's options; the error is one line.
[[nodiscard]] std::expected<FleetOptions, std::string> parse_fleet_options(std::span<const std::string> args,
                                                                           bool quarantine);

// The boards' health over the store's runs.
[[nodiscard]] std::expected<std::vector<BoardHealth>, StoreError> fleet_health(Store& store,
                                                                               const FleetOptions& options);

}  // namespace kivu_results
