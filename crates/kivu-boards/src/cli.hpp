// The command line of kivu-boards, kept out of main() so that tests can call
// it directly.
//
//   kivu-boards [--json]                    lists the host's boards and
//                                           whether each is free or held
//   kivu-boards resource-spec [-o FILE]     writes the CTest resource file
//   kivu-boards slurm-gres [-o FILE]        writes the Slurm configuration lines
//   kivu-boards release BOARD               takes a quarantined board back
//
// Quarantined boards (board_quarantine.hpp) are listed as such and left out
// of the resource file and the Slurm count.
//
// A subcommand's text goes to standard output without -o or with "-o -",
// otherwise to FILE through the workspace's output-file writer (replaced
// atomically; a symbolic link given as FILE is followed to its target).
// Exit codes: 0 done (also for --help), 1 the output could not be written
// or the boards' locks could not be read (the reason is printed; the listing
// is still written, its states "unknown"), 2 bad arguments (one line saying
// what is wrong, then a short usage line) or a bad KIVU_SIM_BOARDS (one line
// naming it and its value).
//
// The command line is read with the workspace's shared rules (kivu_cli):
// "--" ends the options, and -o is refused when given twice.
#pragma once

#include <expected>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kivu_cli/exit_status.hpp"
#include "kivu_host/board_identity.hpp"

namespace kivu_boards {

// Exit codes of run: the tools' shared ones.
using kivu_cli::exit_failure;
using kivu_cli::exit_success;
using kivu_cli::exit_usage;

// The usage text printed by --help.
[[nodiscard]] std::string_view usage() noexcept;

// The one usage line printed after a bad command line `args`: that of the
// subcommand named first, or of the whole tool.
[[nodiscard]] std::string_view short_usage(std::span<const std::string> args) noexcept;

// What the command line asks for.
struct Command {
  enum class Action { Help, List, ResourceFile, SlurmGres, Release, Version };
  Action action = Action::List;
  std::uint32_t board = 0;                      // Release: the board taken back
  std::optional<std::filesystem::path> output;  // a subcommand's: "-" or none is standard output
  bool json = false;                            // List: as JSON
  bool operator==(const Command&) const = default;
};

// Parses the arguments after the program name. A bad command line yields
// the reason as one line without the usage.
[[nodiscard]] std::expected<Command, std::string> parse_arguments(std::span<const std::string> args);

// Runs the command line `args` (without the program name) on a host whose
// KIVU_SIM_BOARDS has the value `sim_boards` (absent when unset), writing
// results to `out` and messages to `err`; returns the exit code. The boards'
// locks are named under `lock_prefix` (tests use their own names).
[[nodiscard]] int run(std::span<const std::string> args, std::optional<std::string_view> sim_boards, std::ostream& out,
                      std::ostream& err, std::string_view lock_prefix = kivu_host::board_lock_prefix);

}  // namespace kivu_boards
