// kivu-profile's front end: opening a profile (a file or standard input),
// one-line reasons for a profile that cannot be read, and running a Command
// (cli.hpp); the command line itself is read in command_line.cpp.
#include "cli.hpp"

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

#include <nlohmann/json.hpp>

#include "heatmap.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_cli/command_line.hpp"
#include "kivu_cli/tool_frame.hpp"
#include "kivu_output_file/output_file.hpp"
#include "profile_stats.hpp"
#include "summary.hpp"
#include "trace.hpp"

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
      return "the profile's schema version is " + *version + "; this tool reads versions " +
             std::to_string(kivu_package::oldest_profile_schema_version) + " to " +
             std::to_string(kivu_package::profile_schema_version);
    }
    return message;
  }
  // Cap'n Proto's texts for a framing or pointer that does not hold.
  const std::string& text = error.as<PackageError::Capnp>().error.description;
  if (text.find("too many segments") != std::string::npos) {
    const auto count = number_after(text, "too many segments");
    return "not a profile: the segment table claims " + (count ? *count : std::string("too many")) + " segments";
  }
  if (text.find("the message is empty") != std::string::npos) return "the file is empty";
  // A profile has a handful of segments; a table claiming more than any
  // writer makes is not a profile's.
  if (text.find("segment table") != std::string::npos) {
    if (claimed_segments && *claimed_segments > max_plausible_segments) {
      return "not a profile: the segment table claims " + std::to_string(*claimed_segments) + " segments";
    }
    if (text.find("in the segment table") != std::string::npos) {
      return "the file is cut short: it ends inside its segment table";
    }
  }
  if (text.find("root pointer") != std::string::npos) return "the file holds no message";
  if (text.find("Premature EOF") != std::string::npos) {
    return "the file is cut short: it ends before the data its message points to";
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
// Files

std::expected<ProfileFile, std::string> open_profile(const std::filesystem::path& path) {
  kivu_cli::note_file_being_read(profile_name(path));
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
  KIVU_ASSIGN_OR_RETURN(const auto file, open_profile(path));
  ProfileStats stats;
  const auto walked = file.visit([&](const ProfileView& profile) { stats = compute_stats(profile); });
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

// Says `message` on `err` as the tool's line; returns exit_failure.
int fail(std::ostream& err, const std::string& message) {
  err << "kivu-profile: " << message << '\n';
  return exit_failure;
}

// Why the command's output may not be written: it is one of the profiles
// it reads. Writing over a profile would destroy the only copy of its data;
// that includes a file redirected to standard input ("- < FILE").
std::optional<std::string> output_over_profile(const Command& command) {
  if (command.output.empty() || writes_standard_output(command)) return std::nullopt;
  for (const auto* profile : {&command.input, &command.baseline}) {
    std::error_code ec;
    const std::filesystem::path read_from = reads_standard_input(*profile) ? "/dev/stdin" : *profile;
    if (!profile->empty() && std::filesystem::equivalent(read_from, command.output, ec)) {
      return "the output " + command.output.string() +
             (profile == &command.input ? " is the profile itself" : " is the base profile");
    }
  }
  return std::nullopt;
}

// The figures of the base profile and of the new one, in that order.
// Comparisons hold each profile only while its figures are taken, so that
// two large profiles never sit in memory together.
std::expected<std::pair<ProfileStats, ProfileStats>, std::string> load_both(const Command& command) {
  KIVU_ASSIGN_OR_RETURN(auto base, load_stats(command.baseline));
  KIVU_ASSIGN_OR_RETURN(auto next, load_stats(command.input));
  return std::pair(std::move(base), std::move(next));
}

int run_summary(const Command& command, std::ostream& out, std::ostream& err) {
  const auto stats = load_stats(command.input);
  if (!stats) return fail(err, stats.error());
  if (command.json) {
    out << summary_json(*stats).dump(2) << '\n';
    return exit_success;
  }
  out << "profile:  " << profile_name(command.input) << '\n';
  write_summary(*stats, out);
  return exit_success;
}

int run_diff(const Command& command, std::ostream& out, std::ostream& err) {
  auto both = load_both(command);
  if (!both) return fail(err, both.error());
  const auto diff = compare_profiles(std::move(both->first), std::move(both->second), command.threshold, command.top);
  if (command.json) {
    if (diff.clocks_differ()) err << "kivu-profile: " << clock_warning(diff) << '\n';
    out << diff_json(diff).dump(2) << '\n';
  } else {
    write_diff(diff, profile_name(command.baseline), profile_name(command.input), out);
  }
  return diff.regression() ? exit_regression : exit_success;
}

// Trace writes as it walks the profile. A regular file is replaced only
// when the walk got through, so a profile that turns out undecodable leaves
// nothing; any other output (standard output, a FIFO, a device) is written
// in place, so there the whole profile is checked first.
int run_trace(const Command& command, std::ostream& out, std::ostream& err) {
  const auto file = open_profile(command.input);
  if (!file) return fail(err, file.error());
  std::error_code ec;
  const auto output_type = std::filesystem::status(command.output, ec).type();
  const bool replaced_whole = !writes_standard_output(command) &&
                              (output_type == std::filesystem::file_type::regular ||
                               output_type == std::filesystem::file_type::not_found);
  if (!replaced_whole) {
    if (const auto checked = file->check(); !checked) return fail(err, decode_failure(command.input, checked.error()));
  }
  const bool written = write_output(command, out, err, [&](std::ostream& stream) -> std::expected<void, std::string> {
    std::expected<TraceCounts, std::string> traced;
    const auto walked = file->visit([&](const ProfileView& profile) { traced = write_trace(profile, stream); });
    if (!walked) return std::unexpected(decode_failure(command.input, walked.error()));
    if (!traced) return std::unexpected(std::move(traced.error()));
    return {};
  });
  return written ? exit_success : exit_failure;
}

// Writes the picture `draw` makes as the command's output.
int write_picture(const Command& command, std::ostream& out, std::ostream& err,
                  const std::function<void(std::ostream&)>& draw) {
  const bool written = write_output(command, out, err, [&](std::ostream& stream) {
    draw(stream);
    return std::expected<void, std::string>{};
  });
  return written ? exit_success : exit_failure;
}

// A heatmap of the change from --baseline BASE to FILE.
int run_change_heatmap(const Command& command, std::ostream& out, std::ostream& err) {
  const auto both = load_both(command);
  if (!both) return fail(err, both.error());
  const HeatmapOptions options{command.kind, title_name(command.input) + " against " + title_name(command.baseline)};
  return write_picture(command, out, err,
                       [&](std::ostream& stream) { write_change_heatmap(both->first, both->second, stream, options); });
}

int run_heatmap(const Command& command, std::ostream& out, std::ostream& err) {
  if (!command.baseline.empty()) return run_change_heatmap(command, out, err);
  const auto stats = load_stats(command.input);
  if (!stats) return fail(err, stats.error());
  const HeatmapOptions options{command.kind, title_name(command.input)};
  return write_picture(command, out, err, [&](std::ostream& stream) { write_heatmap(*stats, stream, options); });
}

}  // namespace

int run(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  const auto command = parse_arguments(args);
  if (!command) return kivu_cli::usage_error(err, "kivu-profile", command.error(), short_usage(args));
  if (const auto clash = output_over_profile(*command)) {
    return kivu_cli::usage_error(err, "kivu-profile", *clash, short_usage(args));
  }
  switch (command->action) {
    case Command::Action::Help: out << subcommand_usage(command->help_topic); return exit_success;
    case Command::Action::Version: kivu_cli::print_version(out, "kivu-profile"); return exit_success;
    case Command::Action::Summary: return run_summary(*command, out, err);
    case Command::Action::Diff: return run_diff(*command, out, err);
    case Command::Action::Trace: return run_trace(*command, out, err);
    case Command::Action::Heatmap: return run_heatmap(*command, out, err);
  }
  return exit_success;
}

}  // namespace kivu_profile
