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
#include "kivu_base/debug_form.hpp"
#include "kivu_base/expected.hpp"

namespace kivu_results {

using detail::Row;
using detail::Value;

namespace {

// =============================================================================
// The schema and its migrations

// Migration N brings a store from version N - 1 to N. "{id}" stands for the
// back end's increasing row id column.
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
    // The boards' health: the counts per board read one covering index, and
    // the failed tiles are found from their property, by name, then their
    // case's result. Quarantines and releases are kept for each board's
    // history, each once.
    R"sql(
CREATE INDEX case_results_by_board ON case_results (board, run_id, verdict);
CREATE INDEX case_results_by_run_case ON case_results (run_id, case_name);
CREATE INDEX case_properties_by_name ON case_properties (name, run_id, case_name);
CREATE TABLE quarantine_history (
  host TEXT NOT NULL,
  board BIGINT NOT NULL,
  action TEXT NOT NULL,
  reason TEXT NOT NULL,
  at TEXT NOT NULL,
  UNIQUE (host, board, action, at));
)sql",
    // The flaky question's indexes. A case's results on one commit in
    // recording order, with their verdicts: the GROUP BY reads this index
    // alone, and the result before or after a failure is one search in it.
    // The failures alone, with their boards: few, read without the table.
    R"sql(
DROP INDEX case_results_by_commit_case;
CREATE INDEX case_results_in_order ON case_results (commit_id, case_name, run_id, verdict);
CREATE INDEX case_results_failed ON case_results (commit_id, case_name, run_id, board) WHERE verdict = 1;
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

// Rows written by one INSERT at most: a run's cases go in a few statements,
// each one round trip to a PostgreSQL server, rather than one per case.
// 128 rows of 12 columns stay far below either back end's parameter limit.
constexpr std::size_t rows_per_insert = 128;

// Writes `values` (whole rows of `columns` values each) into `into`
// ("table (column, ...)") with as few statements as rows_per_insert allows.
// A statement of a given row count is prepared once per connection: a long
// record reuses the full one, and the last, shorter one of each run has the
// same count whenever the runs have the same size.
std::expected<void, StoreError> insert_rows(detail::Database& db, std::string_view into, std::size_t columns,
                                            std::span<const Value> values) {
  std::string tuple = "(?";
  for (std::size_t c = 1; c < columns; ++c) tuple += ", ?";
  tuple += ')';
  const std::size_t rows = values.size() / columns;
  for (std::size_t first = 0; first < rows; first += rows_per_insert) {
    const std::size_t count = std::min(rows_per_insert, rows - first);
    std::string sql = "INSERT INTO " + std::string(into) + " VALUES ";
    sql.reserve(sql.size() + count * (tuple.size() + 2));
    for (std::size_t r = 0; r < count; ++r) {
      if (r > 0) sql += ", ";
      sql += tuple;
    }
    KIVU_RETURN_IF_ERROR(db.query(sql, values.subspan(first * columns, count * columns)));
  }
  return {};
}

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
    return std::unexpected(StoreError{StoreErrorKind::Address, "unknown store address scheme " +
                                                                   kivu_base::debug_quoted(text.substr(0, colon + 1)) +
                                                                   " (a file path, sqlite:PATH or postgresql://...)"});
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

// The run's row, with its verdict counts: the new run's id, or nothing when a
// run of the same content is stored already.
struct RunRow {
  std::int64_t id = 0;
  bool already_recorded = false;
};

std::expected<RunRow, StoreError> insert_run(detail::Database& db, const Recording& recording) {
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
  const std::array<Value, 7> run = {recording.commit,
                                    recording.recorded_at,
                                    recording.content_hash,
                                    passed,
                                    failed,
                                    missing,
                                    static_cast<std::int64_t>(recording.profiles.size())};
  KIVU_ASSIGN_OR_RETURN(const auto inserted,
                        db.query("INSERT INTO runs (commit_id, recorded_at, content_hash, passed, failed, missing, "
                                 "profiles) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (content_hash) DO NOTHING "
                                 "RETURNING id",
                                 run));
  if (!inserted.empty()) return RunRow{to_integer(inserted.front().front()), false};
  // The same content is stored already (perhaps by a record that committed
  // while this one waited): count it once.
  KIVU_ASSIGN_OR_RETURN(const auto existing,
                        db.query("SELECT id FROM runs WHERE content_hash = ?", std::span(run).subspan(2, 1)));
  if (existing.empty()) return std::unexpected(StoreError{StoreErrorKind::Failed, "the run vanished while recorded"});
  return RunRow{to_integer(existing.front().front()), true};
}

std::expected<void, StoreError> insert_labels(detail::Database& db, std::int64_t id, const Recording& recording) {
  std::vector<Value> values;
  values.reserve(3 * recording.labels.size());
  for (const auto& [name, value] : recording.labels) {
    values.insert(values.end(), {id, name, value});
  }
  return insert_rows(db, "run_labels (run_id, name, value)", 3, values);
}

std::expected<void, StoreError> insert_case_properties(detail::Database& db, std::int64_t id,
                                                       const Recording& recording) {
  std::vector<Value> values;
  for (const auto& result : recording.cases) {
    for (const auto& [name, value] : result.properties) {
      values.insert(values.end(), {id, result.case_name, name, value});
    }
  }
  return insert_rows(db, "case_properties (run_id, case_name, name, value)", 4, values);
}

// A case's board as the health questions group it: "HOST:BOARD" from its
// properties, or empty when it names neither.
std::string case_board(const CaseRecord& result) {
  std::string host;
  std::string board;
  for (const auto& [name, value] : result.properties) {
    if (name == "host") host = value;
    if (name == "board") board = value;
  }
  return host.empty() && board.empty() ? std::string() : host + ":" + board;
}

std::expected<void, StoreError> insert_case_results(detail::Database& db, std::int64_t id, const Recording& recording) {
  std::vector<Value> values;
  values.reserve(7 * recording.cases.size());
  for (const auto& result : recording.cases) {
    values.insert(values.end(), {id, recording.commit, result.case_name, static_cast<std::int64_t>(result.verdict),
                                 result.seconds, case_board(result), result.failure});
  }
  return insert_rows(db, "case_results (run_id, commit_id, case_name, verdict, seconds, board, failure)", 7, values);
}

std::expected<void, StoreError> insert_profiles(detail::Database& db, std::int64_t id, const Recording& recording) {
  std::vector<Value> values;
  values.reserve(12 * recording.profiles.size());
  std::int64_t position = 0;
  for (const auto& profile : recording.profiles) {
    const auto big = [](std::uint64_t value) { return static_cast<std::int64_t>(value); };
    values.insert(values.end(), {id, position++, profile.case_name, big(profile.total_cycles),
                                 big(profile.compute_cycles), big(profile.exchange_cycles), big(profile.sync_cycles),
                                 big(profile.idle_cycles), big(profile.busiest_tile), big(profile.busiest_tile_cycles),
                                 big(profile.tile_count), big(profile.clock_hz)});
  }
  return insert_rows(db,
                     "profiles (run_id, position, case_name, total_cycles, compute_cycles, exchange_cycles, "
                     "sync_cycles, idle_cycles, busiest_tile, busiest_tile_cycles, tile_count, clock_hz)",
                     12, values);
}

// Everything of one run inside the open write transaction: the run's row,
// then its labels, case properties, case results and profiles in batches.
std::expected<RecordOutcome, StoreError> insert_recording(detail::Database& db, const Recording& recording) {
  KIVU_ASSIGN_OR_RETURN(const RunRow run, insert_run(db, recording));
  if (run.already_recorded) return RecordOutcome{run.id, true};
  KIVU_RETURN_IF_ERROR(insert_labels(db, run.id, recording));
  KIVU_RETURN_IF_ERROR(insert_case_properties(db, run.id, recording));
  KIVU_RETURN_IF_ERROR(insert_case_results(db, run.id, recording));
  KIVU_RETURN_IF_ERROR(insert_profiles(db, run.id, recording));
  return RecordOutcome{run.id, false};
}

}  // namespace

std::expected<RecordOutcome, StoreError> Store::record(const Recording& recording,
                                                       const std::function<void()>& before_commit) {
  auto& db = *database_;
  KIVU_RETURN_IF_ERROR(db.begin_write());
  const auto stored = insert_recording(db, recording);
  if (!stored || stored->already_recorded) {
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
  // One statement, worked out by the database. `pairs`: the (commit, case)
  // pairs with both verdicts, read from the index alone. A flip is a pass
  // next to a failure in recording order (skips and missing results left
  // out), so that each flip has exactly one failure at one of its ends:
  // counting, for every failure, whether the result before it and the one
  // after it passed counts every flip once. Failures are few, and each
  // neighbour is one search of the (commit, case, run) index, where a window
  // over every result of a flaky pair would read and sort all of them. The
  // answer comes per pair and failing board ('' for none), with that
  // board's failures' share of the flips.
  const std::array<Value, 3> from = {first, first, first};
  KIVU_ASSIGN_OR_RETURN(const auto rows, db.query(R"sql(
WITH pairs AS MATERIALIZED (
  SELECT commit_id, case_name, SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END) AS passes,
         SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) AS failures
  FROM case_results WHERE run_id >= ? GROUP BY commit_id, case_name
  HAVING SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END) > 0 AND SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) > 0),
failed AS (
  SELECT f.commit_id, f.case_name, f.board,
         CASE WHEN (SELECT b.verdict FROM case_results b
                    WHERE b.commit_id = f.commit_id AND b.case_name = f.case_name AND b.run_id < f.run_id
                      AND b.run_id >= ? AND b.verdict IN (0, 1)
                    ORDER BY b.run_id DESC LIMIT 1) = 0 THEN 1 ELSE 0 END +
         CASE WHEN (SELECT a.verdict FROM case_results a
                    WHERE a.commit_id = f.commit_id AND a.case_name = f.case_name AND a.run_id > f.run_id
                      AND a.verdict IN (0, 1)
                    ORDER BY a.run_id LIMIT 1) = 0 THEN 1 ELSE 0 END AS flips
  FROM case_results f WHERE f.verdict = 1 AND f.run_id >= ?)
SELECT p.commit_id, p.case_name, p.passes, p.failures, SUM(f.flips), f.board
FROM pairs p JOIN failed f ON f.commit_id = p.commit_id AND f.case_name = p.case_name
GROUP BY p.commit_id, p.case_name, p.passes, p.failures, f.board)sql",
                                                  from));
  std::map<std::pair<std::string, std::string>, FlakyCase> found;
  for (const auto& row : rows) {
    auto& entry = found[{to_text(row[0]), to_text(row[1])}];
    entry.commit = to_text(row[0]);
    entry.case_name = to_text(row[1]);
    entry.passes = static_cast<std::size_t>(to_integer(row[2]));
    entry.failures = static_cast<std::size_t>(to_integer(row[3]));
    entry.flips += static_cast<std::size_t>(to_integer(row[4]));
    if (row[5] && !row[5]->empty()) entry.boards.push_back(*row[5]);
  }
  std::vector<FlakyCase> flaky;
  flaky.reserve(found.size());
  for (auto& [key, entry] : found) {
    std::ranges::sort(entry.boards);
    flaky.push_back(std::move(entry));
  }
  std::ranges::sort(flaky, [](const FlakyCase& a, const FlakyCase& b) {
    return std::tie(b.flips, b.failures, a.case_name, a.commit) < std::tie(a.flips, a.failures, b.case_name, b.commit);
  });
  return flaky;
}

std::expected<std::vector<SeriesPoint>, StoreError> Store::series(const SeriesQuery& query) {
  if (!is_metric(query.metric))
    return std::unexpected(
        StoreError{StoreErrorKind::Failed, "unknown metric " + kivu_base::debug_quoted(query.metric)});
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

std::expected<BoardCounts, StoreError> Store::board_counts(std::optional<std::size_t> last) {
  auto& db = *database_;
  KIVU_ASSIGN_OR_RETURN(const std::int64_t first, first_run_of_last(db, last));
  const std::array<Value, 1> from = {first};
  // Both aggregations are the database's: the counts over every case result
  // of the runs, and the failed tiles over the few failures that name one.
  KIVU_ASSIGN_OR_RETURN(const auto rows,
                        db.query("SELECT board, COUNT(DISTINCT run_id), COUNT(*), "
                                 "SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) FROM case_results "
                                 "WHERE board <> '' AND run_id >= ? AND verdict IN (0, 1) GROUP BY board",
                                 from));
  KIVU_ASSIGN_OR_RETURN(const auto tiles,
                        db.query("SELECT r.board, p.value, COUNT(*) FROM case_properties p JOIN case_results r "
                                 "ON r.run_id = p.run_id AND r.case_name = p.case_name WHERE p.name = 'failed_tile' "
                                 "AND p.run_id >= ? AND r.verdict = 1 AND r.board <> '' GROUP BY r.board, p.value",
                                 from));
  BoardCounts counts;
  for (const auto& row : rows) {
    counts.boards.push_back({to_text(row[0]), static_cast<std::size_t>(to_integer(row[1])),
                             static_cast<std::size_t>(to_integer(row[2])),
                             static_cast<std::size_t>(to_integer(row[3]))});
  }
  for (const auto& row : tiles) {
    counts.tiles.push_back({to_text(row[0]), to_text(row[1]), static_cast<std::size_t>(to_integer(row[2]))});
  }
  return counts;
}

std::expected<bool, StoreError> Store::record_quarantine_event(const QuarantineEvent& event) {
  const std::array<Value, 5> row = {event.host, static_cast<std::int64_t>(event.board), event.action, event.reason,
                                    event.at};
  KIVU_ASSIGN_OR_RETURN(const auto inserted,
                        database_->query("INSERT INTO quarantine_history (host, board, action, reason, at) VALUES "
                                         "(?, ?, ?, ?, ?) ON CONFLICT (host, board, action, at) DO NOTHING "
                                         "RETURNING board",
                                         row));
  return !inserted.empty();
}

std::expected<std::vector<QuarantineEvent>, StoreError> Store::quarantine_history() {
  KIVU_ASSIGN_OR_RETURN(const auto rows, database_->query("SELECT host, board, action, reason, at FROM "
                                                          "quarantine_history ORDER BY at, host, board, action",
                                                          {}));
  std::vector<QuarantineEvent> events;
  for (const auto& row : rows) {
    events.push_back({to_text(row[0]), static_cast<std::uint32_t>(to_integer(row[1])), to_text(row[2]), to_text(row[3]),
                      to_text(row[4])});
  }
  return events;
}

std::expected<std::vector<std::string>, StoreError> Store::profile_cases() {
  KIVU_ASSIGN_OR_RETURN(const auto rows, database_->query("SELECT DISTINCT case_name FROM profiles", {}));
  std::vector<std::string> names;
  for (const auto& row : rows) names.push_back(to_text(row[0]));
  std::ranges::sort(names);
  return names;
}

}  // namespace kivu_results
