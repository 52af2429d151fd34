// The command line of a workspace tool, read with CLI11. The tools keep
// their own subcommands, help text and messages; what they share lives here
// so that both behave alike:
//   - -h/--help and --version, answered by the tool with its own texts;
//   - "--" ends the options, so a file named "-x" can be given after it;
//   - an option that takes a value may be given once: a repeat is refused;
//   - -o/--output FILE: one output, never an empty path;
//   - a usage error is one line naming what is wrong and one short usage
//     line, on standard error, with exit status 2 (the full help is only
//     for --help, on standard output).
#pragma once

#include <expected>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "kivu_cli/exit_status.hpp"

namespace kivu_cli {

// The flags every tool has.
struct StandardFlags {
  const CLI::Option* help = nullptr;     // -h, --help
  const CLI::Option* version = nullptr;  // --version
};

// Prepares `app` for a tool: CLI11's own help flag is replaced by plain
// -h/--help and --version flags, and unknown options are kept for parse()
// to name. Call before adding the tool's options.
StandardFlags prepare(CLI::App& app);

// Adds an option that takes one value, such as "--kind" or "-o,--output".
// Each use is kept, so that single_value can refuse a repeat in the tool's
// words.
CLI::Option* add_value_option(CLI::App& app, const std::string& names);

// Adds -o, --output FILE.
CLI::Option* add_output_option(CLI::App& app);

// The value of `option`: nothing when it was not given, "more than one
// <what>" when it was given twice or more.
[[nodiscard]] std::expected<std::optional<std::string>, std::string> single_value(const CLI::Option& option,
                                                                                  std::string_view what);

// The path of an output option: nothing when it was not given; refused when
// given twice ("more than one output") or empty ("empty output path"). "-"
// (standard output) is returned as it is.
[[nodiscard]] std::expected<std::optional<std::filesystem::path>, std::string> output_path(const CLI::Option& option);

// Reads `args` (without the program name) with `app`. The reason of a bad
// command line is one line: "-o needs a value" (naming the option as it was
// written), "--json takes no value" (a flag given "=value"), "unknown option
// \"--colour\"", "unexpected argument \"x\"" (the word in its debug form,
// kivu_debug_form.hpp), or CLI11's own text for anything else. "--name=" gives the option an empty value. CLI11's
// exceptions stay inside.
[[nodiscard]] std::expected<void, std::string> parse(CLI::App& app, std::span<const std::string> args);

// Writes "<tool>: <reason>" and `short_usage` on their own lines to `err`;
// returns exit_usage.
int usage_error(std::ostream& err, std::string_view tool, std::string_view reason, std::string_view short_usage);

// Writes "<tool> <the workspace's version>" on one line to `out`.
void print_version(std::ostream& out, std::string_view tool);

}  // namespace kivu_cli
