// The command line of kivu-profile: argument parsing and the run of one
// subcommand, kept out of main() so that tests can call them directly.
//
//   kivu-profile summary FILE [--json]
//   kivu-profile diff BASE NEW [--threshold PCT] [--top N] [--json]
//   kivu-profile trace FILE -o OUT.json
//   kivu-profile heatmap FILE -o OUT.svg [--kind KIND] [--baseline BASE]
//   kivu-profile --version
//
// A profile given as "-" (FILE, BASE or NEW; one of them) is read from
// standard input; "-o -" is standard output, so the two never meet.
// Trace and heatmap print nothing when they succeed.
//
// Exit codes: 0 done (also for --help), 1 the profile could not be read or
// decoded or the output could not be written (with the system's reason),
// 2 bad arguments (one line saying what is wrong, then a short usage line),
// 3 diff found a regression beyond the threshold (diff.hpp).
//
// The command line is read with the workspace's shared rules (kivu_cli):
// "--" ends the options, and an option that takes a value is refused when
// given twice.
//
// Outputs are written with kivu_output_file::write_output_file: a regular file
// is replaced atomically and keeps its permissions, a device or FIFO is
// written in place, and a symbolic link given as the output is followed, so
// its final target is replaced and the link stays. "-o -" writes to
// standard output.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "diff.hpp"
#include "kivu_cli/exit_status.hpp"
#include "kivu_output_file/output_file.hpp"
#include "kivu_package.hpp"
#include "kivu_package/profile_file.hpp"

namespace kivu_profile {

// Exit codes of run: the tools' shared ones and a regression found by diff.
using kivu_cli::exit_failure;
using kivu_cli::exit_success;
using kivu_cli::exit_usage;
inline constexpr int exit_regression = 3;

// The usage text printed by --help.
[[nodiscard]] std::string_view usage() noexcept;

// The help of one subcommand ("summary --help"): its usage line, what it
// does, its options with their values and defaults, and its exit statuses.
// The whole tool's usage() for a name that is no subcommand.
[[nodiscard]] std::string_view subcommand_usage(std::string_view subcommand) noexcept;

// The one usage line printed after a bad command line `args`: that of the
// subcommand named first, or of the whole tool.
[[nodiscard]] std::string_view short_usage(std::span<const std::string> args) noexcept;

// What the command line asks for.
struct Command {
  enum class Action { Help, Summary, Trace, Heatmap, Diff, Version };
  Action action = Action::Help;
  // The profile shown; for diff the new one.
  std::filesystem::path input;
  std::filesystem::path output;
  std::optional<kivu_package::ProfileStepKind> kind;
  // The profile compared against: diff's BASE, heatmap's --baseline.
  std::filesystem::path baseline;
  // JSON on standard output instead of text (summary, diff).
  bool json = false;
  Threshold threshold;
  std::size_t top = default_diff_top;
  // For Help: the subcommand named before --help, if any.
  std::string help_topic;
  bool operator==(const Command&) const = default;
};

// Parses the arguments after the program name. A bad command line yields
// the reason as one line without the usage.
[[nodiscard]] std::expected<Command, std::string> parse_arguments(std::span<const std::string> args);

// True when the command writes its output to standard output ("-o -").
[[nodiscard]] inline bool writes_standard_output(const Command& command) {
  return kivu_output_file::names_standard_output(command.output);
}

// True when `path` names standard input ("-"), which is read as a profile.
[[nodiscard]] inline bool reads_standard_input(const std::filesystem::path& path) { return path == "-"; }

// How messages name the profile at `path`: the path, or "standard input".
[[nodiscard]] std::string profile_name(const std::filesystem::path& path);

// What is wrong with a profile that failed to decode, in plain words: "the
// file is empty", "the file is cut short: it ends inside its segment table",
// "not a profile: the segment table claims N segments", "a step has an
// unknown kind, 7 (...)". Taken from the library's error alone, which is the
// same whether the file was read whole or walked in place. `claimed_segments`, when known, is what
// the file's segment table claims (its first word plus one), which tells a
// file that is no profile at all from one cut short. Messages put the
// library's debug form after it, in parentheses.
[[nodiscard]] std::string decode_reason(const kivu_package::PackageError& error,
                                        std::optional<std::uint64_t> claimed_segments = std::nullopt);

// Opens the profile at `path` to be walked in place (its framing, root and
// version checked); the error is one line, holding the system's message or
// the PackageError's debug form.
[[nodiscard]] std::expected<kivu_package::ProfileFile, std::string> open_profile(const std::filesystem::path& path);

// Runs the command line `args` (without the program name), writing results
// to `out` and messages to `err`; returns the exit code.
[[nodiscard]] int run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace kivu_profile
