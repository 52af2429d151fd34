// kivu-profile's command line: the help text, the short usage line of a bad
// command line, and reading the arguments into a Command (cli.hpp).
#include "kivu_cli/command_line.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "cli.hpp"
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

std::string_view subcommand_usage(std::string_view subcommand) noexcept {
  if (subcommand == "summary") {
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
  if (subcommand == "diff") {
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
  if (subcommand == "trace") {
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
  if (subcommand == "heatmap") {
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

std::expected<Command, std::string> parse_arguments(std::span<const std::string> args) {
  // Every option is known to every subcommand, so that one given to the
  // wrong subcommand is named as such rather than as unknown.
  CLI::App app{"", "kivu-profile"};
  const auto flags = kivu_cli::prepare(app);
  const auto* output = kivu_cli::add_output_option(app);
  const auto* kind = kivu_cli::add_value_option(app, "--kind");
  const auto* baseline = kivu_cli::add_value_option(app, "--baseline");
  const auto* threshold = kivu_cli::add_value_option(app, "--threshold");
  const auto* top = kivu_cli::add_value_option(app, "--top");
  const auto* json = app.add_flag("--json");
  // The subcommand, then its profiles.
  std::vector<std::string> words;
  app.add_option("words", words);
  KIVU_RETURN_IF_ERROR(kivu_cli::parse(app, args));
  if (flags.help->count() > 0) {
    // "SUBCOMMAND --help" is that subcommand's help; the tool's otherwise.
    Command help;
    if (!words.empty()) help.help_topic = words.front();
    return help;
  }
  if (flags.version->count() > 0) return Command{.action = Command::Action::Version};

  Command command;
  if (words.empty()) return std::unexpected(std::string("missing subcommand"));
  const std::string& action = words.front();
  if (action == "summary") {
    command.action = Command::Action::Summary;
  } else if (action == "trace") {
    command.action = Command::Action::Trace;
  } else if (action == "heatmap") {
    command.action = Command::Action::Heatmap;
  } else if (action == "diff") {
    command.action = Command::Action::Diff;
  } else {
    return std::unexpected("unknown subcommand '" + action + "'");
  }
  const bool is_diff = command.action == Command::Action::Diff;
  const bool is_heatmap = command.action == Command::Action::Heatmap;

  if (output->count() > 0 && (command.action == Command::Action::Summary || is_diff)) {
    return std::unexpected(action + " writes no file");
  }
  KIVU_ASSIGN_OR_RETURN(const auto output_path, kivu_cli::output_path(*output));
  if (output_path) command.output = *output_path;

  if (kind->count() > 0 && !is_heatmap) return std::unexpected(std::string("--kind belongs to heatmap"));
  KIVU_ASSIGN_OR_RETURN(const auto kind_text, kivu_cli::single_value(*kind, "--kind"));
  if (kind_text) {
    command.kind = parse_kind(*kind_text);
    if (!command.kind) {
      return std::unexpected("unknown step kind '" + *kind_text + "' (exchange, compute, synchronization or idle)");
    }
  }

  if (baseline->count() > 0 && !is_heatmap) return std::unexpected(std::string("--baseline belongs to heatmap"));
  KIVU_ASSIGN_OR_RETURN(const auto baseline_path, kivu_cli::single_value(*baseline, "--baseline"));
  if (baseline_path) {
    if (baseline_path->empty()) return std::unexpected(std::string("empty baseline path"));
    command.baseline = *baseline_path;
  }

  if (threshold->count() > 0 && !is_diff) return std::unexpected(std::string("--threshold belongs to diff"));
  KIVU_ASSIGN_OR_RETURN(const auto threshold_text, kivu_cli::single_value(*threshold, "--threshold"));
  if (threshold_text) {
    const auto parsed = parse_threshold(*threshold_text);
    if (!parsed) {
      return std::unexpected("bad --threshold '" + *threshold_text + "' (a percentage from 0 to " +
                             std::to_string(max_threshold_percent) + ", at most 6 decimals)");
    }
    command.threshold = *parsed;
  }

  if (top->count() > 0 && !is_diff) return std::unexpected(std::string("--top belongs to diff"));
  KIVU_ASSIGN_OR_RETURN(const auto top_text, kivu_cli::single_value(*top, "--top"));
  if (top_text) {
    const auto count = kivu_base::parse_digits(*top_text, 10, SIZE_MAX);
    if (!count) return std::unexpected("bad --top '" + *top_text + "' (a count of 0 or more)");
    command.top = static_cast<std::size_t>(*count);
  }

  if (json->count() > 0) {
    if (command.action != Command::Action::Summary && !is_diff) {
      return std::unexpected(std::string("--json belongs to summary and diff"));
    }
    command.json = true;
  }

  std::vector<std::filesystem::path> profiles;
  for (auto word = words.begin() + 1; word != words.end(); ++word) {
    if (profiles.size() == (is_diff ? 2u : 1u)) return std::unexpected("unexpected argument '" + *word + "'");
    if (word->empty()) return std::unexpected(std::string("empty profile path"));
    profiles.emplace_back(*word);
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
    return command;
  }
  if (profiles.empty()) return std::unexpected(std::string("missing profile FILE"));
  command.input = profiles[0];
  if (command.action != Command::Action::Summary && !output_path) {
    return std::unexpected(std::string("missing -o OUT"));
  }
  return command;
}

}  // namespace kivu_profile
