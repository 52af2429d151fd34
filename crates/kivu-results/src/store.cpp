#include "kivu_results/store.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "database.hpp"
#include "kivu_expected.hpp"

namespace kivu_results {

using detail::Row;
using detail::Value;

namespace {

// =============================================================================
// The schema and its migrations

// Migration N brings a store from version N - 1 to N. "{id}" stands for the
// back end's increasing row id column. The index on (commit_id, case_name,
// verdict) covers the flaky question's GROUP BY, so that it reads the index
// alone.
constexpr std::array<std::string_view, schema_version> migrations = {
    R"sql(
CREATE TABLE runs (
  id {id},
  commit_id TEXT NOT NULL,
  recorded_at TEXT NOT NULL,
  content_hash TEXT NOT NULL UNIQUE,
  passed BIGINT NOT NULL,
  failed BIGINT NOT NULL,
  missing BIGINT NOT NULL,
  profiles BIGINT NOT NULL);
CREATE TABLE run_labels (
  run_id BIGINT NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (run_id, name));
CREATE TABLE case_results (
  run_id BIGINT NOT NULL,
  commit_id TEXT NOT NULL,
  case_name TEXT NOT NULL,
  verdict INTEGER NOT NULL,
  seconds DOUBLE PRECISION NOT NULL,
  board TEXT NOT NULL,
  failure TEXT NOT NULL);
CREATE INDEX case_results_by_commit_case ON case_results (commit_id, case_name, verdict, run_id);
CREATE TABLE case_properties (
  run_id BIGINT NOT NULL,
  case_name TEXT NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL);
CREATE TABLE profiles (
  run_id BIGINT NOT NULL,
  position INTEGER NOT NULL,
  case_name TEXT NOT NULL,
  total_cycles BIGINT NOT NULL,
  compute_cycles BIGINT NOT NULL,
  exchange_cycles BIGINT NOT NULL,
  sync_cycles BIGINT NOT NULL,
  idle_cycles BIGINT NOT NULL,
  busiest_tile BIGINT NOT NULL,
  busiest_tile_cycles BIGINT NOT NULL,
  tile_count BIGINT NOT NULL,
  clock_hz BIGINT NOT NULL,
  PRIMARY KEY (run_id, position));
)sql",
};

std::string with_id_column(std::string_view sql, std::string_view id_column) {
  std::string text(sql);
  for (auto at = text.find("{id}"); at != std::string::npos; at = text.find("{id}", at)) {
    text.replace(at, 4, id_column);
  }
  return text;
}

StoreError newer_schema(int found) {
  return {StoreErrorKind::NewerSchema, "the store has schema version " + std::to_string(found) +
                                           ", newer than this kivu-results knows (version " +
                                           std::to_string(schema_version) + "); use a newer kivu-results"};
}

std::int64_t to_integer(const std::optional<std::string>& cell) {
  std::int64_t value = 0;
  if (cell) std::from_chars(cell->data(), cell->data() + cell->size(), value);
  return value;
}

double to_real(const std::optional<std::string>& cell) {
  if (!cell) return 0;
  return std::strtod(cell->c_str(), nullptr);
}

std::string to_text(const std::optional<std::string>& cell) { return cell.value_or(""); }

std::expected<int, StoreError> stored_version(detail::Database& db) {
  KIVU_ASSIGN_OR_RETURN(const auto rows, db.query("SELECT MAX(version) FROM kivu_schema", {}));
  return rows.empty() ? 0 : static_cast<int>(to_integer(rows.front().front()));
}

std::expected<void, StoreError> migrate(detail::Database& db) {
  KIVU_ASSIGN_OR_RETURN(const bool has_schema, db.table_exists("kivu_schema"));
  if (has_schema) {
    KIVU_ASSIGN_OR_RETURN(const int version, stored_version(db));
    if (version > schema_version) return std::unexpected(newer_schema(version));
    if (version == schema_version) return {};
  }
  // Another process may be migrating at the same time: the migration
  // transaction waits for it and then reads the version again.
  KIVU_RETURN_IF_ERROR(db.begin_migration());
  const auto applied = [&]() -> std::expected<void, StoreError> {
    KIVU_RETURN_IF_ERROR(db.execute("CREATE TABLE IF NOT EXISTS kivu_schema (version INTEGER NOT NULL)"));
    KIVU_ASSIGN_OR_RETURN(const int version, stored_version(db));
    if (version > schema_version) return std::unexpected(newer_schema(version));
    for (int next = version + 1; next <= schema_version; ++next) {
      KIVU_RETURN_IF_ERROR(db.execute(with_id_column(migrations[static_cast<std::size_t>(next - 1)], db.id_column())));
      const std::array<Value, 1> parameters = {std::int64_t{next}};
      KIVU_RETURN_IF_ERROR(db.query("INSERT INTO kivu_schema (version) VALUES (?)", parameters));
    }
    return db.execute("COMMIT");
  }();
  if (!applied) (void)db.execute("ROLLBACK");
  return applied;
}

bool scheme_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

constexpr std::array<std::string_view, 6> metrics = {"total_cycles", "compute_cycles", "exchange_cycles",
                                                     "sync_cycles",  "idle_cycles",    "busiest_tile_cycles"};

}  // namespace

// =============================================================================
// Addresses

std::expected<StoreAddress, StoreError> parse_store_address(std::string_view text) {
  if (text.empty()) return std::unexpected(StoreError{StoreErrorKind::Address, "an empty store address"});
  if (text.starts_with("postgresql://") || text.starts_with("postgres://"))
    return StoreAddress{StoreAddress::Kind::Postgres, std::string(text)};
  if (text.starts_with("sqlite:")) {
    const auto path = text.substr(7);
    if (path.empty()) return std::unexpected(StoreError{StoreErrorKind::Address, "sqlite: needs a file's path"});
    return StoreAddress{StoreAddress::Kind::Sqlite, std::string(path)};
  }
  const auto colon = text.find(':');
  const auto slash = text.find('/');
  if (colon != std::string_view::npos && colon >= 2 && (slash == std::string_view::npos || colon < slash) &&
      std::ranges::all_of(text.substr(0, colon), scheme_character)) {
    return std::unexpected(
        StoreError{StoreErrorKind::Address, "unknown store address scheme '" + std::string(text.substr(0, colon)) +
                                                ":' (a file path, sqlite:PATH or postgresql://...)"});
  }
  return StoreAddress{StoreAddress::Kind::Sqlite, std::string(text)};
}

std::string default_store_path(std::optional<std::string_view> xdg_data_home, std::optional<std::string_view> home) {
  if (xdg_data_home && xdg_data_home->starts_with('/')) return std::string(*xdg_data_home) + "/kivu/results.sqlite";
  if (home && !home->empty()) return std::string(*home) + "/.local/share/kivu/results.sqlite";
  return "results.sqlite";
}

std::string_view verdict_name(Verdict verdict) noexcept {
  switch (verdict) {
    case Verdict::Passed: return "passed";
    case Verdict::Failed: return "failed";
    case Verdict::Skipped: return "skipped";
    case Verdict::Missing: return "missing";
  }
  return "missing";
}

std::span<const std::string_view> metric_names() noexcept { return metrics; }

bool is_metric(std::string_view name) noexcept { return std::ranges::find(metrics, name) != metrics.end(); }

// =============================================================================
// The store

Store::Store(std::unique_ptr<detail::Database> database) noexcept : database_(std::move(database)) {}
Store::Store(Store&&) noexcept = default;
Store& Store::operator=(Store&&) noexcept = default;
Store::~Store() = default;

std::expected<Store, StoreError> Store::open(const StoreAddress& address) {
  KIVU_ASSIGN_OR_RETURN(auto database, address.kind == StoreAddress::Kind::Sqlite
                                           ? detail::open_sqlite(address.location)
                                           : detail::open_postgres(address.location));
  KIVU_RETURN_IF_ERROR(migrate(*database));
  return Store(std::move(database));
}

namespace {

// Adds the run's row, counting its cases by verdict. Its content stored
// already (perhaps by a record that committed while this one waited) is
// counted once: the outcome is then that run, already recorded.
std::expected<RecordOutcome, StoreError> insert_run(detail::Database& db, const Recording& recording) {
  std::int64_t passed = 0;
  std::int64_t failed = 0;
  std::int64_t missing = 0;
  for (const auto& result : recording.cases) {
    switch (result.verdict) {
      case Verdict::Passed: ++passed; break;
      case Verdict::Failed: ++failed; break;
      case Verdict::Skipped:
      case Verdict::Missing: ++missing; break;
    }
  }
  const std::array<Value, 8> run = {recording.commit,
                                    recording.recorded_at,
                                    recording.content_hash,
                                    passed,
                                    failed,
                                    missing,
                                    static_cast<std::int64_t>(recording.profiles.size()),
                                    nullptr};
  KIVU_ASSIGN_OR_RETURN(const auto inserted,
                        db.query("INSERT INTO runs (commit_id, recorded_at, content_hash, passed, failed, missing, "
                                 "profiles) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (content_hash) DO NOTHING "
                                 "RETURNING id",
                                 std::span(run).first(7)));
  if (!inserted.empty()) return RecordOutcome{to_integer(inserted.front().front()), false};
  KIVU_ASSIGN_OR_RETURN(const auto existing,
                        db.query("SELECT id FROM runs WHERE content_hash = ?", std::span(run).subspan(2, 1)));
  if (existing.empty()) return std::unexpected(StoreError{StoreErrorKind::Failed, "the run vanished while recorded"});
  return RecordOutcome{to_integer(existing.front().front()), true};
}

// The run's labels, and its cases with their properties.
std::expected<void, StoreError> insert_cases(detail::Database& db, std::int64_t id, const Recording& recording) {
  for (const auto& [name, value] : recording.labels) {
    const std::array<Value, 3> label = {id, name, value};
    KIVU_RETURN_IF_ERROR(db.query("INSERT INTO run_labels (run_id, name, value) VALUES (?, ?, ?)", label));
  }
  for (const auto& result : recording.cases) {
    std::string host;
    std::string board;
    for (const auto& [name, value] : result.properties) {
      if (name == "host") host = value;
      if (name == "board") board = value;
      const std::array<Value, 4> property = {id, result.case_name, name, value};
      KIVU_RETURN_IF_ERROR(
          db.query("INSERT INTO case_properties (run_id, case_name, name, value) VALUES (?, ?, ?, ?)", property));
    }
    const std::string where = host.empty() && board.empty() ? std::string() : host + ":" + board;
    const std::array<Value, 7> row = {
        id,    recording.commit, result.case_name, static_cast<std::int64_t>(result.verdict), result.seconds,
        where, result.failure};
    KIVU_RETURN_IF_ERROR(
        db.query("INSERT INTO case_results (run_id, commit_id, case_name, verdict, seconds, board, "
                 "failure) VALUES (?, ?, ?, ?, ?, ?, ?)",
                 row));
  }
  return {};
}

std::expected<void, StoreError> insert_profiles(detail::Database& db, std::int64_t id, const Recording& recording) {
  std::int64_t position = 0;
  for (const auto& profile : recording.profiles) {
    const auto big = [](std::uint64_t value) { return static_cast<std::int64_t>(value); };
    const std::array<Value, 12> row = {id,
                                       position++,
                                       profile.case_name,
                                       big(profile.total_cycles),
                                       big(profile.compute_cycles),
                                       big(profile.exchange_cycles),
                                       big(profile.sync_cycles),
                                       big(profile.idle_cycles),
                                       big(profile.busiest_tile),
                                       big(profile.busiest_tile_cycles),
                                       big(profile.tile_count),
                                       big(profile.clock_hz)};
    KIVU_RETURN_IF_ERROR(db.query(
        "INSERT INTO profiles (run_id, position, case_name, total_cycles, compute_cycles, exchange_cycles, "
        "sync_cycles, idle_cycles, busiest_tile, busiest_tile_cycles, tile_count, clock_hz) VALUES (?, ?, ?, ?, ?, "
        "?, ?, ?, ?, ?, ?, ?)",
        row));
  }
  return {};
}

}  // namespace

std::expected<RecordOutcome, StoreError> Store::record(const Recording& recording,
                                                       const std::function<void()>& before_commit) {
  auto& db = *database_;
  KIVU_RETURN_IF_ERROR(db.begin_write());
  const auto stored = [&]() -> std::expected<RecordOutcome, StoreError> {
    KIVU_ASSIGN_OR_RETURN(const auto run, insert_run(db, recording));
    if (run.already_recorded) return run;
    KIVU_RETURN_IF_ERROR(insert_cases(db, run.run_id, recording));
    KIVU_RETURN_IF_ERROR(insert_profiles(db, run.run_id, recording));
    return run;
  }();
  if (!stored) {
    (void)db.execute("ROLLBACK");
    return stored;
  }
  if (stored->already_recorded) {
    (void)db.execute("ROLLBACK");
    return stored;
  }
  if (before_commit) before_commit();
  if (auto committed = db.execute("COMMIT"); !committed) {
    (void)db.execute("ROLLBACK");
    return std::unexpected(committed.error());
  }
  return stored;
}

namespace {

// The lowest run id of the last `last` runs (0 without a limit).
std::expected<std::int64_t, StoreError> first_run_of_last(detail::Database& db, std::optional<std::size_t> last) {
  if (!last) return 0;
  const std::array<Value, 1> limit = {static_cast<std::int64_t>(*last)};
  KIVU_ASSIGN_OR_RETURN(
      const auto rows,
      db.query("SELECT MIN(id) FROM (SELECT id FROM runs ORDER BY id DESC LIMIT ?) AS last_runs", limit));
  // No runs: nothing to show; an id above any is as good as none.
  if (rows.empty() || !rows.front().front()) return std::numeric_limits<std::int64_t>::max();
  return to_integer(rows.front().front());
}

}  // namespace

std::expected<std::vector<RunSummary>, StoreError> Store::runs(std::optional<std::size_t> last) {
  auto& db = *database_;
  KIVU_ASSIGN_OR_RETURN(const std::int64_t first, first_run_of_last(db, last));
  const std::array<Value, 1> from = {first};
  KIVU_ASSIGN_OR_RETURN(const auto rows,
                        db.query("SELECT id, commit_id, recorded_at, passed, failed, missing, profiles "
                                 "FROM runs WHERE id >= ? ORDER BY id DESC",
                                 from));
  KIVU_ASSIGN_OR_RETURN(const auto labels,
                        db.query("SELECT run_id, name, value FROM run_labels WHERE run_id >= ?", from));
  std::vector<RunSummary> runs;
  runs.reserve(rows.size());
  std::map<std::int64_t, std::size_t> index;
  for (const auto& row : rows) {
    RunSummary run;
    run.id = to_integer(row[0]);
    run.commit = to_text(row[1]);
    run.recorded_at = to_text(row[2]);
    run.passed = static_cast<std::size_t>(to_integer(row[3]));
    run.failed = static_cast<std::size_t>(to_integer(row[4]));
    run.missing = static_cast<std::size_t>(to_integer(row[5]));
    run.profiles = static_cast<std::size_t>(to_integer(row[6]));
    index.emplace(run.id, runs.size());
    runs.push_back(std::move(run));
  }
  for (const auto& row : labels) {
    if (const auto found = index.find(to_integer(row[0])); found != index.end())
      runs[found->second].labels.emplace(to_text(row[1]), to_text(row[2]));
  }
  return runs;
}

std::expected<std::vector<FlakyCase>, StoreError> Store::flaky(std::optional<std::size_t> last) {
  auto& db = *database_;
  KIVU_ASSIGN_OR_RETURN(const std::int64_t first, first_run_of_last(db, last));
  const std::array<Value, 1> from = {first};
  // The aggregation over every case result is the database's.
  KIVU_ASSIGN_OR_RETURN(
      const auto rows, db.query("SELECT commit_id, case_name, SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END), "
                                "SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) FROM case_results WHERE run_id >= ? "
                                "GROUP BY commit_id, case_name HAVING SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END) > 0 "
                                "AND SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) > 0",
                                from));
  std::vector<FlakyCase> flaky;
  for (const auto& row : rows) {
    FlakyCase found;
    found.commit = to_text(row[0]);
    found.case_name = to_text(row[1]);
    found.passes = static_cast<std::size_t>(to_integer(row[2]));
    found.failures = static_cast<std::size_t>(to_integer(row[3]));
    // The few results of one flaky case, in recording order: its flips and
    // the boards it failed on.
    const std::array<Value, 3> key = {found.commit, found.case_name, first};
    KIVU_ASSIGN_OR_RETURN(const auto results,
                          db.query("SELECT verdict, board FROM case_results WHERE commit_id = ? AND case_name = ? AND "
                                   "run_id >= ? AND verdict IN (0, 1) ORDER BY run_id",
                                   key));
    std::optional<std::string> previous;
    for (const auto& result : results) {
      if (previous && *previous != result[0]) ++found.flips;
      previous = result[0];
      if (to_integer(result[0]) == 1 && result[1] && !result[1]->empty()) found.boards.push_back(*result[1]);
    }
    std::ranges::sort(found.boards);
    found.boards.erase(std::ranges::unique(found.boards).begin(), found.boards.end());
    flaky.push_back(std::move(found));
  }
  std::ranges::sort(flaky, [](const FlakyCase& a, const FlakyCase& b) {
    return std::tie(b.flips, b.failures, a.case_name, a.commit) < std::tie(a.flips, a.failures, b.case_name, b.commit);
  });
  return flaky;
}

std::expected<std::vector<SeriesPoint>, StoreError> Store::series(const SeriesQuery& query) {
  if (!is_metric(query.metric))
    return std::unexpected(StoreError{StoreErrorKind::Failed, "unknown metric '" + query.metric + "'"});
  // The metric is one of the known column names, never the user's text.
  std::string sql = "SELECT p.run_id, r.commit_id, r.recorded_at, p." +
                    std::string(*std::ranges::find(metrics, query.metric)) +
                    " FROM profiles p JOIN runs r ON r.id = p.run_id WHERE 1 = 1";
  std::vector<Value> parameters;
  if (query.case_name) {
    sql += " AND p.case_name = ?";
    parameters.emplace_back(*query.case_name);
  }
  for (const auto& [name, value] : query.labels) {
    sql += " AND EXISTS (SELECT 1 FROM run_labels l WHERE l.run_id = p.run_id AND l.name = ? AND l.value = ?)";
    parameters.emplace_back(name);
    parameters.emplace_back(value);
  }
  sql += " ORDER BY p.run_id, p.position";
  KIVU_ASSIGN_OR_RETURN(const auto rows, database_->query(sql, parameters));
  std::vector<SeriesPoint> points;
  points.reserve(rows.size());
  for (const auto& row : rows) {
    points.push_back({to_integer(row[0]), to_text(row[1]), to_text(row[2]), to_real(row[3])});
  }
  return points;
}

std::expected<std::vector<std::string>, StoreError> Store::profile_cases() {
  KIVU_ASSIGN_OR_RETURN(const auto rows, database_->query("SELECT DISTINCT case_name FROM profiles", {}));
  std::vector<std::string> names;
  for (const auto& row : rows) names.push_back(to_text(row[0]));
  std::ranges::sort(names);
  return names;
}

}  // namespace kivu_results
