#include "cli.hpp"

#include "heatmap.hpp"
#include "profile_stats.hpp"
#include "summary.hpp"
#include "trace.hpp"

#include "kivu_cli/command_line.hpp"
#include "kivu_expected.hpp"
#include "kivu_output_file/output_file.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <system_error>
#include <vector>

namespace kivu_profile {

namespace {

using kivu_package::ProfileFile;
using kivu_package::ProfileView;

// The first decimal number in `text` that follows `after`, if any.
std::optional<std::string> number_after(std::string_view text, std::string_view after) {
  const auto at = text.find(after);
  if (at == std::string_view::npos) return std::nullopt;
  const auto start = text.find_first_of("0123456789", at + after.size());
  if (start == std::string_view::npos) return std::nullopt;
  const auto end = text.find_first_not_of("0123456789", start);
  return std::string(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

// The number of segments that the segment table of the file at `path`
// claims: its first 32-bit word plus one. Nothing for standard input, which
// has been read already, or a file shorter than a word.
std::optional<std::uint64_t> claimed_segments(const std::filesystem::path& path) {
  if (reads_standard_input(path)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  unsigned char word[4] = {};
  if (!in.read(reinterpret_cast<char*>(word), sizeof word)) return std::nullopt;
  return std::uint64_t{word[0]} + (std::uint64_t{word[1]} << 8) + (std::uint64_t{word[2]} << 16) +
         (std::uint64_t{word[3]} << 24) + 1;
}

std::string decode_failure(const std::filesystem::path& path, const kivu_package::PackageError& error) {
  std::optional<std::uint64_t> segments;
  if (error.is<kivu_package::PackageError::Capnp>() &&
      error.as<kivu_package::PackageError::Capnp>().error.description.find("segment table") != std::string::npos) {
    segments = claimed_segments(path);
  }
  return "cannot decode " + profile_name(path) + ": " + decode_reason(error, segments) + " (" +
         kivu_package::debug_string(error) + ")";
}

}  // namespace

// =============================================================================
// Errors and names

namespace {

// Cap'n Proto's own readers refuse streams of more segments than this.
constexpr std::uint64_t max_plausible_segments = 512;

}  // namespace

std::string profile_name(const std::filesystem::path& path) {
  return reads_standard_input(path) ? std::string("standard input") : path.string();
}

std::string decode_reason(const kivu_package::PackageError& error, std::optional<std::uint64_t> claimed_segments) {
  using kivu_package::PackageError;
  if (error.is<PackageError::Io>()) return error.as<PackageError::Io>().error.message();
  if (error.is<PackageError::Utf8>()) {
    return "a text in the profile is not UTF-8 (bad byte " +
           std::to_string(error.as<PackageError::Utf8>().error.valid_up_to) + " of the text)";
  }
  if (error.is<PackageError::SchemaEnum>()) {
    return "a step has an unknown kind, " + std::to_string(error.as<PackageError::SchemaEnum>().error.value) +
           " (0 to 3 are exchange, compute, synchronization and idle)";
  }
  if (error.is<PackageError::Invalid>()) {
    const std::string& message = error.as<PackageError::Invalid>().message;
    if (const auto version = number_after(message, "unsupported profile schema version")) {
      return "the profile's schema version is " + *version + "; this tool reads versions 1 to 3";
    }
    return message;
  }
  // Cap'n Proto's texts for a framing or pointer that does not hold.
  const std::string& text = error.as<PackageError::Capnp>().error.description;
  if (text.find("too many segments") != std::string::npos) {
    const auto count = number_after(text, "too many segments");
    return "not a profile: the segment table claims " + (count ? *count : std::string("too many")) + " segments";
  }
  // A profile has a handful of segments; a table claiming more than any
  // writer makes is not a profile's.
  if (text.find("segment table") != std::string::npos) {
    if (claimed_segments && *claimed_segments > max_plausible_segments) {
      return "not a profile: the segment table claims " + std::to_string(*claimed_segments) + " segments";
    }
    if (!claimed_segments) return "not a profile, or cut short: the segment table claims more than the file holds";
  }
  if (text.find("empty") != std::string::npos || text.find("root pointer") != std::string::npos) {
    return "the file is empty, or holds no message";
  }
  if (text.find("prematurely") != std::string::npos || text.find("out-of-bounds") != std::string::npos) {
    return "the file is cut short: it ends before the data its message points to";
  }
  if (text.find("traversal limit") != std::string::npos) {
    return "damaged: the message points at far more data than the file holds";
  }
  return "not a profile, or a damaged one";
}

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
         "         -h, --help          this text\n"
         "         --version           the workspace's version\n"
         "         --                  ends the options, so a profile named -x may follow\n"
         "Exit status: 0 done, 1 the profile could not be read or decoded or the output\n"
         "not written, 2 bad arguments, 3 diff found a regression.\n";
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
  if (flags.help->count() > 0) return Command{};
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
    const std::string& text = *top_text;
    std::size_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isdigit(static_cast<unsigned char>(text.front()))) {
      return std::unexpected("bad --top '" + text + "' (a count of 0 or more)");
    }
    command.top = count;
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

// =============================================================================
// Files

std::expected<ProfileFile, std::string> open_profile(const std::filesystem::path& path) {
  // Standard input is read through its descriptor's name: mapped when it is
  // a regular file, read to its end when it is a pipe or a terminal.
  auto file = ProfileFile::open(reads_standard_input(path) ? std::filesystem::path("/dev/stdin") : path);
  if (!file) {
    if (file.error().is<kivu_package::PackageError::Io>()) {
      return std::unexpected("cannot read " + profile_name(path) + ": " +
                             file.error().as<kivu_package::PackageError::Io>().error.message());
    }
    return std::unexpected(decode_failure(path, file.error()));
  }
  return std::move(*file);
}

// =============================================================================
// Running

namespace {

// How a heatmap's heading names a profile: its file name.
std::string title_name(const std::filesystem::path& path) {
  return reads_standard_input(path) ? std::string("standard input") : path.filename().string();
}

// The figures of the profile at `path`, taken in one walk of the file; it
// is unmapped before this returns.
std::expected<ProfileStats, std::string> load_stats(const std::filesystem::path& path) {
  const auto file = open_profile(path);
  if (!file) return std::unexpected(file.error());
  ProfileStats stats;
  const auto walked = file->visit([&](const ProfileView& profile) { stats = compute_stats(profile); });
  if (!walked) return std::unexpected(decode_failure(path, walked.error()));
  return stats;
}

// Writes the command's output through `write`: to `out` for "-", else to
// the file, following a symbolic link given as the output to its target
// (write_command_output). When that fails, says why on `err` and returns false.
bool write_output(const Command& command, std::ostream& out, std::ostream& err,
                  const std::function<std::expected<void, std::string>(std::ostream&)>& write) {
  const auto written = kivu_output_file::write_command_output(command.output, write, out);
  if (!written) {
    err << "kivu-profile: cannot write "
        << (writes_standard_output(command) ? std::string("to standard output") : command.output.string()) << ": "
        << kivu_output_file::output_failure_reason(written.error()) << '\n';
  }
  return written.has_value();
}

}  // namespace

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  const auto command = parse_arguments(args);
  if (!command) return kivu_cli::usage_error(err, "kivu-profile", command.error(), short_usage(args));
  if (command->action == Command::Action::Help) {
    out << usage();
    return exit_success;
  }
  if (command->action == Command::Action::Version) {
    kivu_cli::print_version(out, "kivu-profile");
    return exit_success;
  }

  // Writing over a profile would destroy the only copy of its data; that
  // includes a file redirected to standard input ("- < FILE").
  for (const auto* profile : {&command->input, &command->baseline}) {
    std::error_code ec;
    const std::filesystem::path read_from = reads_standard_input(*profile) ? "/dev/stdin" : *profile;
    if (!command->output.empty() && !writes_standard_output(*command) && !profile->empty() &&
        std::filesystem::equivalent(read_from, command->output, ec)) {
      return kivu_cli::usage_error(err, "kivu-profile",
                                   "the output " + command->output.string() +
                                       (profile == &command->input ? " is the profile itself" : " is the base profile"),
                                   short_usage(args));
    }
  }

  // Comparisons hold each profile only while its figures are taken, so that
  // two large profiles never sit in memory together.
  if (command->action == Command::Action::Diff ||
      (command->action == Command::Action::Heatmap && !command->baseline.empty())) {
    auto base = load_stats(command->baseline);
    if (!base) {
      err << "kivu-profile: " << base.error() << '\n';
      return exit_failure;
    }
    auto next = load_stats(command->input);
    if (!next) {
      err << "kivu-profile: " << next.error() << '\n';
      return exit_failure;
    }
    if (command->action == Command::Action::Heatmap) {
      const HeatmapOptions options{command->kind,
                                   title_name(command->input) + " against " + title_name(command->baseline)};
      if (!write_output(*command, out, err, [&](std::ostream& stream) {
            write_change_heatmap(*base, *next, stream, options);
            return std::expected<void, std::string>{};
          })) {
        return exit_failure;
      }
      return exit_success;
    }
    const auto diff = compare_profiles(std::move(*base), std::move(*next), command->threshold, command->top);
    if (command->json) {
      if (diff.clocks_differ()) err << "kivu-profile: " << clock_warning(diff) << '\n';
      out << diff_json(diff).dump(2) << '\n';
    } else {
      write_diff(diff, profile_name(command->baseline), profile_name(command->input), out);
    }
    return diff.regression() ? exit_regression : exit_success;
  }

  // Trace writes as it walks the profile. A regular file is replaced only
  // when the walk got through, so a profile that turns out undecodable
  // leaves nothing; any other output (standard output, a FIFO, a device) is
  // written in place, so there the whole profile is checked first. Summary
  // and heatmap need only the profile's figures.
  std::optional<ProfileFile> file;
  std::optional<ProfileStats> stats;
  if (command->action == Command::Action::Trace) {
    auto opened = open_profile(command->input);
    std::error_code ec;
    const auto output_type = std::filesystem::status(command->output, ec).type();
    const bool replaced_whole = !writes_standard_output(*command) &&
                                (output_type == std::filesystem::file_type::regular ||
                                 output_type == std::filesystem::file_type::not_found);
    const auto checked = opened && !replaced_whole ? opened->check()
                                                   : std::expected<void, kivu_package::PackageError>();
    if (!opened || !checked) {
      err << "kivu-profile: " << (opened ? decode_failure(command->input, checked.error()) : opened.error()) << '\n';
      return exit_failure;
    }
    file = std::move(*opened);
  } else {
    auto loaded = load_stats(command->input);
    if (!loaded) {
      err << "kivu-profile: " << loaded.error() << '\n';
      return exit_failure;
    }
    stats = std::move(*loaded);
  }

  switch (command->action) {
    case Command::Action::Help:
    case Command::Action::Version:
    case Command::Action::Diff: return exit_success;  // answered above
    case Command::Action::Summary:
      if (command->json) {
        out << summary_json(*stats).dump(2) << '\n';
        return exit_success;
      }
      out << "profile:  " << profile_name(command->input) << '\n';
      write_summary(*stats, out);
      return exit_success;
    case Command::Action::Trace: {
      const bool written = write_output(
          *command, out, err, [&](std::ostream& stream) -> std::expected<void, std::string> {
            std::expected<TraceCounts, std::string> traced;
            const auto walked = file->visit([&](const ProfileView& profile) { traced = write_trace(profile, stream); });
            if (!walked) return std::unexpected(decode_failure(command->input, walked.error()));
            if (!traced) return std::unexpected(std::move(traced.error()));
            return {};
          });
      return written ? exit_success : exit_failure;
    }
    case Command::Action::Heatmap: {
      HeatmapOptions options{command->kind, title_name(command->input)};
      const bool written = write_output(*command, out, err, [&](std::ostream& stream) {
        write_heatmap(*stats, stream, options);
        return std::expected<void, std::string>{};
      });
      return written ? exit_success : exit_failure;
    }
  }
  return exit_success;
}

}  // namespace kivu_profile
