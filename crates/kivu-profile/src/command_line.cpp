// kivu-profile's command line: the help text, the short usage line of a bad
// command line, and reading the arguments into a Command (cli.hpp).
#include "kivu_cli/command_line.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "cli.hpp"
#include "kivu_base/debug_form.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"

namespace kivu_profile {

// =============================================================================
// Arguments

std::string_view usage() noexcept {
  return "usage: kivu-profile summary FILE [--json]\n"
         "       kivu-profile diff BASE NEW [--threshold PCT] [--top N] [--json]\n"
         "       kivu-profile trace FILE -o OUT.json\n"
         "       kivu-profile heatmap FILE -o OUT.svg [--kind exchange|compute|synchronization|idle]\n"
         "                            [--baseline BASE]\n"
         "       kivu-profile --help | --version\n"
         "\n"
         "Shows a per-tile cycle profile (a file written by the GEMM runner); a profile\n"
         "given as - is read from standard input (one profile per command).\n"
         "  summary  prints the clock, tile and sample counts, the run's span, cycles per step\n"
         "           kind, the busiest and idlest tiles and the tiles without samples\n"
         "  diff     compares two profiles of the same workload, in cycles: span, cycles per\n"
         "           step kind, busy cycles, the tiles that changed most and the tiles in\n"
         "           only one of them; exit status 3 when the span, the busy cycles or the\n"
         "           exchange, compute or synchronization cycles grew by more than PCT%\n"
         "  trace    writes Chrome Trace Event JSON with one track per tile; open it in\n"
         "           speedscope, which works offline, or in Perfetto UI (Open trace file)\n"
         "  heatmap  writes an SVG of the board's 23 x 64 physical tile grid, each tile\n"
         "           coloured by its busy share (cycles in every step kind but idle, over\n"
         "           the run's span) or, with --kind, by that step kind's share; with\n"
         "           --baseline, by the change of those cycles from BASE to FILE\n"
         "\n"
         "Options: -o, --output OUT    where trace and heatmap write: a file (replaced whole;\n"
         "                             a link is followed to its target) or - for standard output\n"
         "         --kind KIND         heatmap of one step kind\n"
         "         --baseline BASE     heatmap of the change from the profile BASE\n"
         "         --threshold PCT     diff: growth that counts as a regression, in percent\n"
         "                             (default 5; growth of exactly PCT does not)\n"
         "         --top N             diff: how many changed tiles to list (default 10)\n"
         "         --json              summary, diff: one JSON document on standard output\n"
         "         -h, --help          this text; after a subcommand, its own help\n"
         "         --version           the workspace's version\n"
         "         --                  ends the options, so a profile named -x may follow\n"
         "Exit status: 0 done, 1 the profile could not be read or decoded or the output\n"
         "not written, 2 bad arguments, 3 diff found a regression.\n";
}

namespace {

std::string_view summary_usage() noexcept {
  return "usage: kivu-profile summary FILE [--json]\n"
         "\n"
         "Prints the profile's clock, tile and sample counts, the run's span, cycles per\n"
         "step kind, the busiest and idlest tiles and the tiles without samples. FILE -\n"
         "is read from standard input.\n"
         "\n"
         "Options: --json      one JSON document on standard output instead of text\n"
         "         -h, --help  this text\n"
         "         --          ends the options, so a profile named -x may follow\n"
         "Exit status: 0 done, 1 the profile could not be read or decoded, 2 bad arguments.\n";
}

std::string_view diff_usage() noexcept {
  return "usage: kivu-profile diff BASE NEW [--threshold PCT] [--top N] [--json]\n"
         "\n"
         "Compares two profiles of the same workload, in cycles: span, cycles per step\n"
         "kind, busy cycles, the tiles that changed most and the tiles in only one of\n"
         "them. One of BASE and NEW may be -, standard input.\n"
         "\n"
         "Options: --threshold PCT  growth that counts as a regression, in percent, from 0\n"
         "                          to 1000000000 with at most 6 decimals (default 5;\n"
         "                          growth of exactly PCT does not)\n"
         "         --top N          how many changed tiles to list (default 10)\n"
         "         --json           one JSON document on standard output instead of text\n"
         "         -h, --help       this text\n"
         "         --               ends the options, so a profile named -x may follow\n"
         "Exit status: 0 nothing grew beyond PCT, 1 a profile could not be read or\n"
         "decoded, 2 bad arguments, 3 the span, the busy cycles or the exchange, compute\n"
         "or synchronization cycles grew by more than PCT%.\n";
}

std::string_view trace_usage() noexcept {
  return "usage: kivu-profile trace FILE -o OUT.json\n"
         "\n"
         "Writes Chrome Trace Event JSON with one track per tile; open it in speedscope,\n"
         "which works offline, or in Perfetto UI (Open trace file). FILE - is read from\n"
         "standard input. Prints nothing when it succeeds.\n"
         "\n"
         "Options: -o, --output OUT  a file (replaced whole; a link is followed to its\n"
         "                           target) or - for standard output; required\n"
         "         -h, --help        this text\n"
         "         --                ends the options, so a profile named -x may follow\n"
         "Exit status: 0 done, 1 the profile could not be read or decoded or OUT not\n"
         "written, 2 bad arguments.\n";
}

std::string_view heatmap_usage() noexcept {
  return "usage: kivu-profile heatmap FILE -o OUT.svg [--kind KIND] [--baseline BASE]\n"
         "\n"
         "Writes an SVG of the board's 23 x 64 physical tile grid, each tile coloured by\n"
         "its busy share (cycles in every step kind but idle, over the run's span) or,\n"
         "with --kind, by that step kind's share; with --baseline, by the change of those\n"
         "cycles from BASE to FILE. FILE - is read from standard input. Prints nothing\n"
         "when it succeeds.\n"
         "\n"
         "Options: -o, --output OUT  a file (replaced whole; a link is followed to its\n"
         "                           target) or - for standard output; required\n"
         "         --kind KIND       exchange, compute, synchronization or idle (default:\n"
         "                           every kind but idle)\n"
         "         --baseline BASE   colour by the change from the profile BASE\n"
         "         -h, --help        this text\n"
         "         --                ends the options, so a profile named -x may follow\n"
         "Exit status: 0 done, 1 a profile could not be read or decoded or OUT not\n"
         "written, 2 bad arguments.\n";
}

}  // namespace

std::string_view subcommand_usage(std::string_view subcommand) noexcept {
  if (subcommand == "summary") return summary_usage();
  if (subcommand == "diff") return diff_usage();
  if (subcommand == "trace") return trace_usage();
  if (subcommand == "heatmap") return heatmap_usage();
  return usage();
}

std::string_view short_usage(std::span<const std::string> args) noexcept {
  const std::string_view action = args.empty() ? std::string_view() : std::string_view(args.front());
  if (action == "summary") return "usage: kivu-profile summary FILE [--json]";
  if (action == "diff") return "usage: kivu-profile diff BASE NEW [--threshold PCT] [--top N] [--json]";
  if (action == "trace") return "usage: kivu-profile trace FILE -o OUT.json";
  if (action == "heatmap") return "usage: kivu-profile heatmap FILE -o OUT.svg [--kind KIND] [--baseline BASE]";
  return "usage: kivu-profile summary|diff|trace|heatmap ARGS... | --help | --version";
}

namespace {

using kivu_base::debug_quoted;

// The options of every subcommand, each offered to all of them, so that one
// given to the wrong subcommand is named as such rather than as unknown.
struct Options {
  explicit Options(CLI::App& app)
      : flags(kivu_cli::prepare(app)),
        output(kivu_cli::add_output_option(app)),
        kind(kivu_cli::add_value_option(app, "--kind")),
        baseline(kivu_cli::add_value_option(app, "--baseline")),
        threshold(kivu_cli::add_value_option(app, "--threshold")),
        top(kivu_cli::add_value_option(app, "--top")),
        json(app.add_flag("--json")) {
    app.add_option("words", words);
  }
  kivu_cli::StandardFlags flags;
  const CLI::Option* output;
  const CLI::Option* kind;
  const CLI::Option* baseline;
  const CLI::Option* threshold;
  const CLI::Option* top;
  const CLI::Option* json;
  std::vector<std::string> words;  // the subcommand, then its profiles
};

using Checked = std::expected<void, std::string>;

std::expected<Command::Action, std::string> subcommand_action(const std::string& word) {
  if (word == "summary") return Command::Action::Summary;
  if (word == "trace") return Command::Action::Trace;
  if (word == "heatmap") return Command::Action::Heatmap;
  if (word == "diff") return Command::Action::Diff;
  return std::unexpected("unknown subcommand " + debug_quoted(word));
}

// -o: trace's and heatmap's.
Checked read_output(const Options& options, const std::string& subcommand, Command& command) {
  if (options.output->count() > 0 &&
      (command.action == Command::Action::Summary || command.action == Command::Action::Diff)) {
    return std::unexpected(subcommand + " writes no file");
  }
  KIVU_ASSIGN_OR_RETURN(const auto output_path, kivu_cli::output_path(*options.output));
  if (output_path) command.output = *output_path;
  return {};
}

// --kind and --baseline: heatmap's.
Checked read_heatmap_options(const Options& options, Command& command) {
  const bool is_heatmap = command.action == Command::Action::Heatmap;
  if (options.kind->count() > 0 && !is_heatmap) return std::unexpected(std::string("--kind belongs to heatmap"));
  KIVU_ASSIGN_OR_RETURN(const auto kind_text, kivu_cli::single_value(*options.kind, "--kind"));
  if (kind_text) {
    command.kind = parse_kind(*kind_text);
    if (!command.kind) {
      return std::unexpected("unknown step kind " + debug_quoted(*kind_text) +
                             " (exchange, compute, synchronization or idle)");
    }
  }
  if (options.baseline->count() > 0 && !is_heatmap) {
    return std::unexpected(std::string("--baseline belongs to heatmap"));
  }
  KIVU_ASSIGN_OR_RETURN(const auto baseline_path, kivu_cli::single_value(*options.baseline, "--baseline"));
  if (baseline_path) {
    if (baseline_path->empty()) return std::unexpected(std::string("empty baseline path"));
    command.baseline = *baseline_path;
  }
  return {};
}

// --threshold and --top: diff's.
Checked read_diff_options(const Options& options, Command& command) {
  const bool is_diff = command.action == Command::Action::Diff;
  if (options.threshold->count() > 0 && !is_diff) return std::unexpected(std::string("--threshold belongs to diff"));
  KIVU_ASSIGN_OR_RETURN(const auto threshold_text, kivu_cli::single_value(*options.threshold, "--threshold"));
  if (threshold_text) {
    const auto parsed = parse_threshold(*threshold_text);
    if (!parsed) {
      return std::unexpected("bad --threshold " + debug_quoted(*threshold_text) + " (a percentage from 0 to " +
                             std::to_string(max_threshold_percent) + ", at most 6 decimals)");
    }
    command.threshold = *parsed;
  }
  if (options.top->count() > 0 && !is_diff) return std::unexpected(std::string("--top belongs to diff"));
  KIVU_ASSIGN_OR_RETURN(const auto top_text, kivu_cli::single_value(*options.top, "--top"));
  if (top_text) {
    const auto count = kivu_base::parse_digits(*top_text, 10, SIZE_MAX);
    if (!count) return std::unexpected("bad --top " + debug_quoted(*top_text) + " (a count of 0 or more)");
    command.top = static_cast<std::size_t>(*count);
  }
  return {};
}

// --json: summary's and diff's.
Checked read_json(const Options& options, Command& command) {
  if (options.json->count() == 0) return {};
  if (command.action != Command::Action::Summary && command.action != Command::Action::Diff) {
    return std::unexpected(std::string("--json belongs to summary and diff"));
  }
  command.json = true;
  return {};
}

// The profiles named after the subcommand: diff's BASE and NEW, the one FILE
// of the others (with trace's and heatmap's required -o).
Checked read_profiles(std::span<const std::string> words, Command& command) {
  const bool is_diff = command.action == Command::Action::Diff;
  std::vector<std::filesystem::path> profiles;
  for (const std::string& word : words) {
    if (profiles.size() == (is_diff ? 2u : 1u)) return std::unexpected("unexpected argument " + debug_quoted(word));
    if (word.empty()) return std::unexpected(std::string("empty profile path"));
    profiles.emplace_back(word);
  }
  // Standard input holds one profile.
  if (std::ranges::count_if(profiles, reads_standard_input) + (reads_standard_input(command.baseline) ? 1 : 0) > 1) {
    return std::unexpected(std::string("only one profile can come from standard input (-)"));
  }
  if (is_diff) {
    if (profiles.empty()) return std::unexpected(std::string("missing profiles BASE and NEW"));
    if (profiles.size() == 1) return std::unexpected(std::string("missing the NEW profile"));
    command.baseline = profiles[0];
    command.input = profiles[1];
    return {};
  }
  if (profiles.empty()) return std::unexpected(std::string("missing profile FILE"));
  command.input = profiles[0];
  if (command.action != Command::Action::Summary && command.output.empty()) {
    return std::unexpected(std::string("missing -o OUT"));
  }
  return {};
}

}  // namespace

std::expected<Command, std::string> parse_arguments(std::span<const std::string> args) {
  CLI::App app{"", "kivu-profile"};
  const Options options(app);
  KIVU_RETURN_IF_ERROR(kivu_cli::parse(app, args));
  if (options.flags.help->count() > 0) {
    // "SUBCOMMAND --help" is that subcommand's help; the tool's otherwise.
    Command help;
    if (!options.words.empty()) help.help_topic = options.words.front();
    return help;
  }
  if (options.flags.version->count() > 0) return Command{.action = Command::Action::Version};

  if (options.words.empty()) return std::unexpected(std::string("missing subcommand"));
  const std::string& subcommand = options.words.front();
  Command command;
  KIVU_ASSIGN_OR_RETURN(command.action, subcommand_action(subcommand));
  KIVU_RETURN_IF_ERROR(read_output(options, subcommand, command));
  KIVU_RETURN_IF_ERROR(read_heatmap_options(options, command));
  KIVU_RETURN_IF_ERROR(read_diff_options(options, command));
  KIVU_RETURN_IF_ERROR(read_json(options, command));
  KIVU_RETURN_IF_ERROR(read_profiles(std::span(options.words).subspan(1), command));
  return command;
}

}  // namespace kivu_profile
