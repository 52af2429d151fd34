#include "cli.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <map>
#include <ostream>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "fleet.hpp"
#include "kivu_base/child_process.hpp"
#include "kivu_base/debug_form.hpp"
#include "kivu_base/expected.hpp"
#include "kivu_base/number.hpp"
#include "kivu_base/utc_time.hpp"
#include "kivu_cli/command_line.hpp"
#include "kivu_output_file/output_file.hpp"
#include "kivu_results/board_health.hpp"
#include "kivu_results/change_points.hpp"
#include "kivu_results/gate.hpp"
#include "kivu_results/inputs.hpp"
#include "kivu_results/report_page.hpp"
#include "kivu_results/store.hpp"
#include "merge_command.hpp"

extern char** environ;

namespace kivu_results {

std::expected<std::size_t, std::string> parse_last(const std::string& text) {
  const auto value = kivu_base::parse_digits(text, 10, SIZE_MAX);
  if (!value || *value == 0)
    return std::unexpected("--last needs a whole number above 0, not " + kivu_base::debug_quoted(text));
  return static_cast<std::size_t>(*value);
}

namespace {

constexpr std::string_view tool = "kivu-results";

// What the command line asks for.
struct Command {
  std::string action;  // record, runs, flaky, trend, check, report; "help", "version"
  std::optional<std::string> db;
  bool json = false;
  std::optional<std::size_t> last;
  std::optional<std::string> commit;
  std::map<std::string, std::string> labels;
  std::optional<std::string> case_name;
  std::optional<std::string> metric;
  std::optional<std::filesystem::path> output;
  std::vector<std::string> inputs;
};

std::string short_usage(std::span<const std::string> args) {
  const std::string_view action = args.empty() ? std::string_view() : std::string_view(args.front());
  if (action == "record")
    return "usage: kivu-results record [--db URL] [--commit ID] [--label KEY=VALUE]... [--case NAME] INPUT...";
  if (action == "runs" || action == "flaky")
    return fmt::format("usage: kivu-results {} [--db URL] [--last N] [--json]", action);
  if (action == "trend")
    return "usage: kivu-results trend [--db URL] --metric NAME [--case NAME] [--label KEY=VALUE]... [--json]";
  if (action == "check") return "usage: kivu-results check [--db URL] --metric NAME [--case NAME] [--json] PROFILE";
  if (action == "report") return "usage: kivu-results report [--db URL] -o FILE.html";
  return "usage: kivu-results record|runs|flaky|trend|check|report|merge|health|quarantine [OPTIONS] ... | --help "
         "| --version";
}

// The options of the top-level command line, as CLI11 read them.
struct Options {
  const CLI::Option* db = nullptr;
  const CLI::Option* json = nullptr;
  const CLI::Option* last = nullptr;
  const CLI::Option* commit = nullptr;
  const CLI::Option* labels = nullptr;
  const CLI::Option* case_name = nullptr;
  const CLI::Option* metric = nullptr;
  const CLI::Option* output = nullptr;
};

// The subcommand named first among `words`, or why there is none this
// command line can run.
std::expected<std::string, std::string> subcommand_of(const std::vector<std::string>& words) {
  if (words.empty()) return std::unexpected(std::string("no subcommand given"));
  const std::string& action = words.front();
  if (action == "health" || action == "quarantine")
    return std::unexpected(action + " takes its options after its name");
  static constexpr std::array<std::string_view, 6> actions = {"record", "runs", "flaky", "trend", "check", "report"};
  // merge reads its own options, after its name (run() hands them over).
  if (action == "merge") return std::unexpected(std::string("merge's options come after the word merge"));
  if (std::ranges::find(actions, action) == actions.end())
    return std::unexpected("unknown subcommand " + kivu_base::debug_quoted(action));
  return action;
}

// Refuses an option given to a subcommand it does not belong to.
std::expected<void, std::string> check_owners(const Options& options, const std::string& action) {
  const auto only = [&](const CLI::Option* option, std::string_view name,
                        std::initializer_list<std::string_view> owners) -> std::expected<void, std::string> {
    if (option->count() == 0 || std::ranges::find(owners, action) != owners.end()) return {};
    return std::unexpected(fmt::format("{} does not belong to {}", name, action));
  };
  KIVU_RETURN_IF_ERROR(only(options.json, "--json", {"runs", "flaky", "trend", "check"}));
  KIVU_RETURN_IF_ERROR(only(options.last, "--last", {"runs", "flaky"}));
  KIVU_RETURN_IF_ERROR(only(options.commit, "--commit", {"record"}));
  KIVU_RETURN_IF_ERROR(only(options.labels, "--label", {"record", "trend"}));
  KIVU_RETURN_IF_ERROR(only(options.case_name, "--case", {"record", "trend", "check"}));
  KIVU_RETURN_IF_ERROR(only(options.metric, "--metric", {"trend", "check"}));
  return only(options.output, "-o", {"report"});
}

// The --label options as a map, each KEY=VALUE with its key given once.
std::expected<std::map<std::string, std::string>, std::string> read_labels(const CLI::Option& labels) {
  std::map<std::string, std::string> read;
  for (const auto& label : labels.results()) {
    const auto equals = label.find('=');
    if (equals == std::string::npos || equals == 0)
      return std::unexpected("--label needs KEY=VALUE, not " + kivu_base::debug_quoted(label));
    if (!read.emplace(label.substr(0, equals), label.substr(equals + 1)).second)
      return std::unexpected("--label " + label.substr(0, equals) + " given twice");
  }
  return read;
}

// The --case option: a case's full name, suite and case.
std::expected<std::optional<std::string>, std::string> read_case_name(const CLI::Option& case_name) {
  KIVU_ASSIGN_OR_RETURN(auto name, kivu_cli::single_value(case_name, "--case"));
  if (name && name->find('.') == std::string::npos)
    return std::unexpected("--case takes the full name, hardware_e2e.<case>, not " + kivu_base::debug_quoted(*name));
  return name;
}

// The --metric option: one of the store's metrics.
std::expected<std::optional<std::string>, std::string> read_metric(const CLI::Option& metric) {
  KIVU_ASSIGN_OR_RETURN(auto name, kivu_cli::single_value(metric, "--metric"));
  if (name && !is_metric(*name)) {
    std::string known;
    for (const auto known_name : metric_names()) known += (known.empty() ? "" : ", ") + std::string(known_name);
    return std::unexpected("unknown metric " + kivu_base::debug_quoted(*name) + " (" + known + ")");
  }
  return name;
}

// Every option's value, read and checked, into `command`.
std::expected<void, std::string> read_options(const Options& options, Command& command) {
  KIVU_ASSIGN_OR_RETURN(command.db, kivu_cli::single_value(*options.db, "--db"));
  command.json = options.json->count() > 0;
  KIVU_ASSIGN_OR_RETURN(const auto last_text, kivu_cli::single_value(*options.last, "--last"));
  if (last_text) {
    KIVU_ASSIGN_OR_RETURN(command.last, parse_last(*last_text));
  }
  KIVU_ASSIGN_OR_RETURN(command.commit, kivu_cli::single_value(*options.commit, "--commit"));
  KIVU_ASSIGN_OR_RETURN(command.labels, read_labels(*options.labels));
  KIVU_ASSIGN_OR_RETURN(command.case_name, read_case_name(*options.case_name));
  KIVU_ASSIGN_OR_RETURN(command.metric, read_metric(*options.metric));
  KIVU_ASSIGN_OR_RETURN(command.output, kivu_cli::output_path(*options.output));
  return {};
}

// What each subcommand cannot go without, and the operands it takes.
std::expected<void, std::string> check_required(const Command& command) {
  const auto& action = command.action;
  if (action == "record" && command.inputs.empty()) return std::unexpected(std::string("no result files to record"));
  if ((action == "trend" || action == "check") && !command.metric)
    return std::unexpected(action + " needs --metric NAME");
  if (action == "check" && command.inputs.size() != 1) return std::unexpected(std::string("check takes one profile"));
  if (action == "report" && !command.output) return std::unexpected(std::string("report needs -o FILE.html"));
  if (action != "record" && action != "check" && !command.inputs.empty())
    return std::unexpected("unexpected argument " + kivu_base::debug_quoted(command.inputs.front()));
  return {};
}

std::expected<Command, std::string> parse_arguments(std::span<const std::string> args) {
  CLI::App app{"", std::string(tool)};
  const auto flags = kivu_cli::prepare(app);
  Options options;
  options.db = kivu_cli::add_value_option(app, "--db");
  options.json = app.add_flag("--json");
  options.last = kivu_cli::add_value_option(app, "--last");
  options.commit = kivu_cli::add_value_option(app, "--commit");
  options.labels = kivu_cli::add_value_option(app, "--label");
  options.case_name = kivu_cli::add_value_option(app, "--case");
  options.metric = kivu_cli::add_value_option(app, "--metric");
  options.output = kivu_cli::add_output_option(app);
  std::vector<std::string> words;
  app.add_option("words", words);
  KIVU_RETURN_IF_ERROR(kivu_cli::parse(app, args));
  if (flags.help->count() > 0) return Command{.action = "help"};
  if (flags.version->count() > 0) return Command{.action = "version"};

  Command command;
  KIVU_ASSIGN_OR_RETURN(command.action, subcommand_of(words));
  command.inputs.assign(words.begin() + 1, words.end());
  KIVU_RETURN_IF_ERROR(check_owners(options, command.action));
  KIVU_RETURN_IF_ERROR(read_options(options, command));
  KIVU_RETURN_IF_ERROR(check_required(command));
  return command;
}

}  // namespace

std::string default_store(const Environment& environment) {
  return default_store_path(environment.xdg_data_home, environment.home);
}

// The status and line of a store's failure.
int store_failure(std::ostream& err, const StoreError& error) {
  err << tool << ": " << error.message << '\n';
  switch (error.kind) {
    case StoreErrorKind::Address: return exit_bad_address;
    case StoreErrorKind::ReadOnly: return exit_read_only;
    case StoreErrorKind::DiskFull: return exit_disk_full;
    case StoreErrorKind::NewerSchema: return exit_newer_schema;
    case StoreErrorKind::Unavailable: return exit_unavailable;
    case StoreErrorKind::Failed: return exit_failure;
  }
  return exit_failure;
}

std::expected<Store, StoreError> open_store_at(const std::optional<std::string>& db, const Environment& environment) {
  const std::string text = db.value_or(environment.results_db.value_or(default_store(environment)));
  KIVU_ASSIGN_OR_RETURN(const auto address, parse_store_address(text));
  return Store::open(address);
}

namespace {

std::expected<Store, StoreError> open_store(const Command& command, const Environment& environment) {
  return open_store_at(command.db, environment);
}

// The commit of the current folder's checkout, or "" without one.
std::string checkout_commit() {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  kivu_base::restore_child_signal();
  char* argv[] = {const_cast<char*>("git"), const_cast<char*>("rev-parse"), const_cast<char*>("HEAD"), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "git", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  std::string text;
  if (spawned == 0) {
    char buffer[256];
    ssize_t got = 0;
    while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    }
  }
  close(pipe_ends[0]);
  if (spawned != 0) return "";
  const auto status = kivu_base::wait_for_child(pid);
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

int record(const Command& command, const Environment& environment, std::ostream& out, std::ostream& err) {
  // Every input is read before the store is opened: a bad one writes nothing.
  const std::string profile_case = command.case_name.value_or("");
  const auto content = read_inputs(command.inputs, profile_case);
  if (!content) {
    err << tool << ": " << content.error().message << '\n';
    return content.error().kind == InputError::Kind::Unreadable ? exit_failure : exit_bad_input;
  }
  if (content->cases.empty() && content->profiles.empty()) {
    err << tool << ": the inputs hold no case result and no profile\n";
    return exit_bad_input;
  }
  Recording recording;
  recording.commit = command.commit ? *command.commit : checkout_commit();
  recording.labels = command.labels;
  recording.recorded_at = kivu_base::utc_now_text();
  recording.content_hash = content_hash(content->digests, recording.commit, recording.labels, profile_case);
  recording.cases = content->cases;
  recording.profiles = content->profiles;
  auto store = open_store(command, environment);
  if (!store) return store_failure(err, store.error());
  const auto outcome = store->record(recording, environment.before_commit);
  if (!outcome) return store_failure(err, outcome.error());
  if (outcome->already_recorded) {
    out << fmt::format("already recorded as run {} (the same files, commit and labels): counted once\n",
                       outcome->run_id);
  } else {
    out << fmt::format("recorded run {}: {} cases, {} profiles\n", outcome->run_id, recording.cases.size(),
                       recording.profiles.size());
  }
  return exit_success;
}

std::string labels_text(const std::map<std::string, std::string>& labels) {
  std::string text;
  for (const auto& [name, value] : labels) text += (text.empty() ? "" : ",") + name + "=" + value;
  return text.empty() ? "-" : text;
}

// A figure without a needless fraction: cycles are whole numbers.
std::string detail_number(double value) {
  if (value == static_cast<double>(static_cast<std::int64_t>(value)))
    return std::to_string(static_cast<std::int64_t>(value));
  return fmt::format("{:.2f}", value);
}

std::string short_commit(const std::string& commit) {
  if (commit.empty()) return "-";
  return commit.size() > 12 ? commit.substr(0, 12) : commit;
}

int runs(const Command& command, Store& store, std::ostream& out, std::ostream& err) {
  const auto found = store.runs(command.last);
  if (!found) return store_failure(err, found.error());
  if (command.json) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& run : *found) {
      array.push_back({{"id", run.id},
                       {"commit", run.commit},
                       {"labels", run.labels},
                       {"recorded_at", run.recorded_at},
                       {"passed", run.passed},
                       {"failed", run.failed},
                       {"missing", run.missing},
                       {"profiles", run.profiles}});
    }
    out << array.dump(2) << '\n';
    return exit_success;
  }
  out << fmt::format("{:>6}  {:<12}  {:<20}  {:>6}  {:>6}  {:>7}  {:>8}  {}\n", "run", "commit", "recorded (UTC)",
                     "passed", "failed", "missing", "profiles", "labels");
  for (const auto& run : *found) {
    out << fmt::format("{:>6}  {:<12}  {:<20}  {:>6}  {:>6}  {:>7}  {:>8}  {}\n", run.id, short_commit(run.commit),
                       run.recorded_at, run.passed, run.failed, run.missing, run.profiles, labels_text(run.labels));
  }
  if (found->empty()) out << "no runs recorded\n";
  return exit_success;
}

int flaky(const Command& command, Store& store, std::ostream& out, std::ostream& err) {
  const auto found = store.flaky(command.last);
  if (!found) return store_failure(err, found.error());
  if (command.json) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& entry : *found) {
      array.push_back({{"case", entry.case_name},
                       {"commit", entry.commit},
                       {"passes", entry.passes},
                       {"failures", entry.failures},
                       {"flips", entry.flips},
                       {"boards", entry.boards}});
    }
    out << array.dump(2) << '\n';
    return exit_success;
  }
  if (found->empty()) {
    out << "no case both passed and failed on one commit\n";
    return exit_success;
  }
  out << fmt::format("{:<48}  {:<12}  {:>6}  {:>8}  {:>5}  {}\n", "case", "commit", "passes", "failures", "flips",
                     "failed on (host:board)");
  for (const auto& entry : *found) {
    std::string boards;
    for (const auto& board : entry.boards) boards += (boards.empty() ? "" : " ") + board;
    out << fmt::format("{:<48}  {:<12}  {:>6}  {:>8}  {:>5}  {}\n", entry.case_name, short_commit(entry.commit),
                       entry.passes, entry.failures, entry.flips, boards.empty() ? "-" : boards);
  }
  return exit_success;
}

// A metric's series and its change points.
struct Trend {
  std::vector<SeriesPoint> points;
  std::vector<ChangePoint> change_points;
};

std::expected<Trend, StoreError> trend_of(Store& store, const SeriesQuery& query) {
  KIVU_ASSIGN_OR_RETURN(auto points, store.series(query));
  std::vector<double> values;
  std::vector<std::string> commits;
  for (const auto& point : points) {
    values.push_back(point.value);
    commits.push_back(point.commit);
  }
  auto change_points = find_change_points(values, commits);
  return Trend{std::move(points), std::move(change_points)};
}

nlohmann::ordered_json change_points_json(const std::vector<ChangePoint>& change_points) {
  auto array = nlohmann::ordered_json::array();
  for (const auto& change : change_points) {
    array.push_back({{"index", change.index},
                     {"commit", change.commit},
                     {"before", change.before},
                     {"after", change.after},
                     {"relative_change", change.relative_change},
                     {"p_value", change.p_value}});
  }
  return array;
}

int trend(const Command& command, Store& store, std::ostream& out, std::ostream& err) {
  const SeriesQuery query{*command.metric, command.case_name, command.labels};
  const auto found = trend_of(store, query);
  if (!found) return store_failure(err, found.error());
  if (command.json) {
    auto points = nlohmann::ordered_json::array();
    for (const auto& point : found->points) {
      points.push_back({{"run", point.run_id},
                        {"commit", point.commit},
                        {"recorded_at", point.recorded_at},
                        {"value", point.value}});
    }
    const nlohmann::ordered_json answer = {
        {"metric", *command.metric}, {"points", points}, {"change_points", change_points_json(found->change_points)}};
    out << answer.dump(2) << '\n';
    return exit_success;
  }
  out << fmt::format("{}{}: {} points in recording order\n", *command.metric,
                     command.case_name ? " of " + *command.case_name : std::string(), found->points.size());
  out << fmt::format("{:>6}  {:<12}  {:<20}  {:>16}\n", "run", "commit", "recorded (UTC)", "value");
  for (const auto& point : found->points) {
    out << fmt::format("{:>6}  {:<12}  {:<20}  {:>16}\n", point.run_id, short_commit(point.commit), point.recorded_at,
                       detail_number(point.value));
  }
  if (found->change_points.empty()) {
    out << "change points: none\n";
    return exit_success;
  }
  out << "change points (the commit where the new level starts):\n";
  out << fmt::format("{:<12}  {:>16}  {:>16}  {:>8}  {:>8}\n", "commit", "mean before", "mean after", "change",
                     "p-value");
  for (const auto& change : found->change_points) {
    out << fmt::format("{:<12}  {:>16.1f}  {:>16.1f}  {:>+7.2f}%  {:>8.4f}\n", short_commit(change.commit),
                       change.before, change.after, 100 * change.relative_change, change.p_value);
  }
  return exit_success;
}

std::uint64_t profile_metric(const ProfileRecord& profile, std::string_view metric) {
  if (metric == "total_cycles") return profile.total_cycles;
  if (metric == "compute_cycles") return profile.compute_cycles;
  if (metric == "exchange_cycles") return profile.exchange_cycles;
  if (metric == "sync_cycles") return profile.sync_cycles;
  if (metric == "idle_cycles") return profile.idle_cycles;
  return profile.busiest_tile_cycles;
}

int check(const Command& command, Store& store, std::ostream& out, std::ostream& err) {
  const auto profile = read_profile(command.inputs.front(), command.case_name.value_or(""));
  if (!profile) {
    err << tool << ": " << profile.error().message << '\n';
    return profile.error().kind == InputError::Kind::Unreadable ? exit_failure : exit_bad_input;
  }
  const SeriesQuery query{*command.metric, command.case_name, {}};
  const auto found = trend_of(store, query);
  if (!found) return store_failure(err, found.error());
  std::vector<double> values;
  for (const auto& point : found->points) values.push_back(point.value);
  const auto value = static_cast<double>(profile_metric(*profile, *command.metric));
  const auto verdict = judge(values, found->change_points, value);
  if (!verdict) {
    err << tool << ": cannot judge " << *command.metric << ": " << verdict.error() << '\n';
    return exit_failure;
  }
  if (command.json) {
    const nlohmann::ordered_json answer = {{"metric", *command.metric},
                                           {"value", value},
                                           {"inside", verdict->inside},
                                           {"median", verdict->median},
                                           {"mad", verdict->mad},
                                           {"low", verdict->low},
                                           {"high", verdict->high},
                                           {"level_start", verdict->level_start},
                                           {"level_size", verdict->level_size}};
    out << answer.dump(2) << '\n';
  } else {
    out << fmt::format("{} {}: {} the last level ({} points from point {}: median {}, allowed {} to {})\n",
                       *command.metric, detail_number(value), verdict->inside ? "inside" : "OUTSIDE",
                       verdict->level_size, verdict->level_start, detail_number(verdict->median),
                       detail_number(verdict->low), detail_number(verdict->high));
  }
  return verdict->inside ? exit_success : exit_outside;
}

int report(const Command& command, Store& store, std::ostream& out, std::ostream& err) {
  ReportData data;
  auto runs = store.runs();
  if (!runs) return store_failure(err, runs.error());
  data.runs = std::move(*runs);
  auto flaky = store.flaky();
  if (!flaky) return store_failure(err, flaky.error());
  data.flaky = std::move(*flaky);
  const auto counts = store.board_counts();
  if (!counts) return store_failure(err, counts.error());
  data.boards = assess_boards(*counts, data.alpha);
  const auto cases = store.profile_cases();
  if (!cases) return store_failure(err, cases.error());
  for (const auto metric : metric_names()) {
    for (const auto& case_name : *cases) {
      auto found = trend_of(store, SeriesQuery{std::string(metric), case_name, {}});
      if (!found) return store_failure(err, found.error());
      data.series.push_back(
          {std::string(metric), case_name, std::move(found->points), std::move(found->change_points)});
    }
  }
  const auto written = kivu_output_file::write_command_text(*command.output, render_report(data), out);
  if (!written) {
    err << tool << ": cannot write " << command.output->string() << ": "
        << kivu_output_file::output_failure_reason(written.error()) << '\n';
    return exit_failure;
  }
  return exit_success;
}

}  // namespace

std::string usage(std::string_view default_store_place) {
  return fmt::format(
      "usage: kivu-results record [--db URL] [--commit ID] [--label KEY=VALUE]... [--case NAME] INPUT...\n"
      "       kivu-results runs [--db URL] [--last N] [--json]\n"
      "       kivu-results flaky [--db URL] [--last N] [--json]\n"
      "       kivu-results trend [--db URL] --metric NAME [--case NAME] [--label KEY=VALUE]... [--json]\n"
      "       kivu-results check [--db URL] --metric NAME [--case NAME] [--json] PROFILE\n"
      "       kivu-results report [--db URL] -o FILE.html\n"
      "       kivu-results merge --expected LIST [-o REPORT] RESULT...\n"
      "       kivu-results health [--db URL] [--last N] [--alpha A] [--json]\n"
      "       kivu-results quarantine [--db URL] [--last N] [--alpha A] [--apply]\n"
      "       kivu-results --help | --version\n"
      "\n"
      "Keeps every recorded run of the suite in a store and answers questions over them.\n"
      "  record  stores one run: INPUT is a GoogleTest/JUnit XML result (a single run, a\n"
      "          shard or the merged report), a folder of *.xml and *.capnp files, or a\n"
      "          cycle profile. Keeps per case its verdict, time, properties (host,\n"
      "          board, ...) and failure text; per profile its total cycles, cycles per\n"
      "          step kind, busiest tile and its cycles, tile count and clock. --commit\n"
      "          defaults to `git rev-parse HEAD` of the current folder's checkout;\n"
      "          --case ties the profiles to a case (its full name, hardware_e2e.<case>).\n"
      "          The same files with the same commit and labels are counted once.\n"
      "  runs    the runs, newest first: commit, labels, time, passed/failed/missing\n"
      "          (missing: expected cases without a result, and skips)\n"
      "  flaky   cases that both passed and failed on one commit, most flips first,\n"
      "          with the boards they failed on\n"
      "  trend   a metric's series in recording order and its change points\n"
      "  check   exit 3 when PROFILE's figure lies outside the series' last level (after\n"
      "          its last change point): outside its median +- 4 x 1.4826 x MAD\n"
      "  report  one self-contained HTML page: runs, flaky cases, board health (as\n"
      "          health judges it), one plot per metric\n"
      "  merge   joins the suite's per-case GoogleTest XML results into one JUnit report\n"
      "          (standard output without -o); exit 1 when a case failed or has no\n"
      "          result, or a file could not be read (kivu-results merge --help)\n"
      "  health  per host and board: runs, cases run and failed, failure rate, and the\n"
      "          one-sided Fisher exact test of \"fails more than the rest of the pool\",\n"
      "          Holm-corrected over the boards; suspect below --alpha (default 0.01),\n"
      "          with the tiles its failures name (failed_tile), most first; a tile\n"
      "          failing on several boards points at the software. Exit 3 when any\n"
      "          board is suspect\n"
      "  quarantine  lists the suspect boards; --apply adds them to the quarantine\n"
      "          file (KIVU_QUARANTINE_FILE, else $XDG_STATE_HOME/kivu/quarantine.json,\n"
      "          else ~/.local/state/kivu/quarantine.json) that the suite and\n"
      "          kivu-boards heed, and keeps each quarantine and each release\n"
      "          (kivu-boards release) in the store's history\n"
      "\n"
      "Metrics: total_cycles, compute_cycles, exchange_cycles, sync_cycles, idle_cycles,\n"
      "busiest_tile_cycles.\n"
      "Options: --db URL   the store: a file path or sqlite:PATH (SQLite), or\n"
      "                    postgresql://... (PostgreSQL); default KIVU_RESULTS_DB, else\n"
      "                    {}\n"
      "         --json     the answer as JSON\n"
      "         --last N   only the last N runs\n"
      "         --alpha A  health, quarantine: the corrected p-value below which a\n"
      "                    board is suspect, above 0 and below 1\n"
      "         --apply    quarantine: write the quarantine file and the history\n"
      "Inputs over 64 MiB of XML or 4 GiB of profile, XML with a DOCTYPE, truncated XML\n"
      "and files that are no result are refused.\n"
      "Exit status: 0 done, 1 failed, 2 bad arguments, 3 check: outside, health: a board\n"
      "suspect, 4 an input refused, 5 an unknown store address, 6 the store is\n"
      "read-only, 7 the disk is full, 8 the store's schema is newer, 9 the PostgreSQL\n"
      "server cannot be reached or went away, 10 the quarantine file is unreadable or\n"
      "corrupt.\n",
      default_store_place);
}

int run(std::span<const std::string> args, const Environment& environment, std::ostream& out, std::ostream& err) {
  if (!args.empty() && args.front() == "merge") return merge_command(args.subspan(1), out, err);
  // The boards' health and quarantine read their own options (fleet.hpp).
  if (!args.empty() && args.front() == "health") return health(args, environment, out, err);
  if (!args.empty() && args.front() == "quarantine") return quarantine(args, environment, out, err);
  const auto command = parse_arguments(args);
  if (!command) return kivu_cli::usage_error(err, tool, command.error(), short_usage(args));
  if (command->action == "help") {
    out << usage(default_store(environment));
    return exit_success;
  }
  if (command->action == "version") {
    kivu_cli::print_version(out, tool);
    return exit_success;
  }
  if (command->action == "record") return record(*command, environment, out, err);
  auto store = open_store(*command, environment);
  if (!store) return store_failure(err, store.error());
  if (command->action == "runs") return runs(*command, *store, out, err);
  if (command->action == "flaky") return flaky(*command, *store, out, err);
  if (command->action == "trend") return trend(*command, *store, out, err);
  if (command->action == "check") return check(*command, *store, out, err);
  return report(*command, *store, out, err);
}

}  // namespace kivu_results
