#include "merge_command.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <vector>

#include "kivu_base/expected.hpp"
#include "kivu_cli/command_line.hpp"
#include "kivu_output_file/output_file.hpp"
#include "kivu_results/inputs.hpp"
#include "kivu_results/merge.hpp"

namespace kivu_results {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view tool = "kivu-results merge";
constexpr std::string_view short_usage = "usage: kivu-results merge --expected LIST [-o REPORT] RESULT...";

std::string_view merge_usage() {
  return "usage: kivu-results merge --expected LIST [-o REPORT] RESULT...\n"
         "  LIST    what `hardware_e2e --gtest_list_tests` prints: the cases that must\n"
         "          have a result\n"
         "  RESULT  a GoogleTest XML file (--gtest_output=xml:FILE), or a folder of them\n"
         "  -o      where the JUnit report goes (\"-\" or no -o: standard output)\n"
         "Exit status: 0 every case passed, 1 a case failed or has no result (or a file\n"
         "could not be read or written), 2 bad arguments.\n";
}

struct MergeCommand {
  bool help = false;
  bool version = false;
  std::string expected_file;
  std::string output = "-";
  std::vector<std::string> inputs;
};

std::expected<MergeCommand, std::string> parse_merge_arguments(std::span<const std::string> args) {
  CLI::App app{"", std::string(tool)};
  const auto flags = kivu_cli::prepare(app);
  const auto* expected = kivu_cli::add_value_option(app, "--expected");
  const auto* output = kivu_cli::add_output_option(app);
  MergeCommand command;
  app.add_option("results", command.inputs);
  KIVU_RETURN_IF_ERROR(kivu_cli::parse(app, args));
  if (flags.help->count() > 0) return MergeCommand{.help = true};
  if (flags.version->count() > 0) return MergeCommand{.version = true};
  KIVU_ASSIGN_OR_RETURN(const auto list, kivu_cli::single_value(*expected, "--expected"));
  if (!list) return std::unexpected(std::string("--expected is needed: the cases that must have a result"));
  if (list->empty()) return std::unexpected(std::string("--expected needs a value"));
  command.expected_file = *list;
  KIVU_ASSIGN_OR_RETURN(const auto path, kivu_cli::output_path(*output));
  if (path) command.output = path->string();
  if (command.inputs.empty()) return std::unexpected(std::string("no result files"));
  return command;
}

// The result files named on the command line: files as given, folders'
// *.xml files in name order.
std::expected<std::vector<fs::path>, std::string> result_files(std::span<const std::string> inputs) {
  std::vector<fs::path> files;
  for (const auto& input : inputs) {
    auto named = kivu_results::named_files(input, {".xml"});
    if (!named) return std::unexpected("cannot read the folder " + input + ": " + named.error().message());
    files.insert(files.end(), named->begin(), named->end());
  }
  return files;
}

std::optional<std::string> file_bytes(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream bytes;
  bytes << stream.rdbuf();
  if (!stream) return std::nullopt;
  return bytes.str();
}

// Every line on standard error is one line, its control characters shown
// escaped.
class Messages {
public:
  explicit Messages(std::ostream& err) : err_(err) {}
  void say(std::string_view line) const { err_ << tool << ": " << terminal_text(line) << '\n'; }
  void detail(std::string_view line) const { err_ << "  " << terminal_text(line) << '\n'; }

private:
  std::ostream& err_;
};

// The results of every file; false in `.second` when a file could not be
// read or was refused (each said).
std::pair<std::vector<CaseResult>, bool> read_all_results(const MergeCommand& command, const Messages& messages) {
  bool all_read = true;
  std::vector<CaseResult> results;
  const auto files = result_files(command.inputs);
  if (!files) {
    messages.say(files.error());
    all_read = false;
  }
  for (const auto& file : files.value_or(std::vector<fs::path>{})) {
    // A folder of results may hold the report of an earlier merge into it.
    std::error_code same_error;
    if (command.output != "-" && fs::equivalent(file, command.output, same_error)) {
      messages.say(file.string() + ": passed over: it is the report this merge writes (-o)");
      continue;
    }
    const auto bytes = file_bytes(file);
    auto read = bytes ? read_results(*bytes, file.string()) : std::unexpected(std::string("cannot be read"));
    if (!read) {
      messages.say(file.string() + ": " + read.error());
      all_read = false;
      continue;
    }
    std::ranges::move(*read, std::back_inserter(results));
  }
  return {std::move(results), all_read};
}

void summarise(const Merged& merged, const Messages& messages) {
  messages.say(std::to_string(merged.cases.size()) + " cases, " + std::to_string(merged.count(Outcome::Passed)) +
               " passed, " + std::to_string(merged.count(Outcome::Failed)) + " failed, " +
               std::to_string(merged.count(Outcome::Skipped)) + " skipped, " +
               std::to_string(merged.count(Outcome::Missing)) + " without a result");
  for (const auto& result : merged.cases) {
    std::string line;
    switch (result.outcome) {
      case Outcome::Passed: continue;
      case Outcome::Failed: line = "FAILED "; break;
      case Outcome::Missing: line = "NO RESULT "; break;
      case Outcome::Skipped: line = "SKIPPED "; break;
    }
    line += result.full_name();
    for (const auto& property : result.properties) line += " " + property.name + "=" + property.value;
    if (result.outcome == Outcome::Skipped) line += ": " + result.message;
    messages.detail(line);
  }
}

}  // namespace

int merge_command(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  const auto command = parse_merge_arguments(args);
  if (!command) return kivu_cli::usage_error(err, tool, terminal_text(command.error()), short_usage);
  if (command->help) {
    out << merge_usage();
    return kivu_cli::exit_success;
  }
  if (command->version) {
    kivu_cli::print_version(out, "kivu-results");
    return kivu_cli::exit_success;
  }
  const Messages messages(err);
  const auto listing = file_bytes(command->expected_file);
  if (!listing) {
    messages.say("cannot read the list of cases " + command->expected_file);
    return kivu_cli::exit_failure;
  }
  const auto expected = parse_case_list(*listing);
  if (expected.empty()) {
    messages.say(command->expected_file + " names no case");
    return kivu_cli::exit_failure;
  }

  auto [results, all_read] = read_all_results(*command, messages);
  const Merged merged = merge(expected, std::move(results));
  for (const auto& note : merged.notes) messages.say(note);
  const auto written = kivu_output_file::write_command_text(command->output, junit_report(merged), out);
  if (!written) {
    messages.say("cannot write " + command->output + ": " + kivu_output_file::output_failure_reason(written.error()));
    return kivu_cli::exit_failure;
  }
  summarise(merged, messages);
  if (!all_read) messages.say("a result file could not be read or is not a result (above): the merge fails");
  const bool passed = merged.count(Outcome::Failed) + merged.count(Outcome::Missing) == 0 && all_read;
  return passed ? kivu_cli::exit_success : kivu_cli::exit_failure;
}

}  // namespace kivu_results
