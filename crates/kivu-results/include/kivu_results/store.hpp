// The results store: every recorded run, its case results and its profile
// figures, in SQLite (an embedded file, the default) or in PostgreSQL (one
// server that many hosts record into). Both back ends run the same SQL
// through one small interface (detail::Database); the aggregation of the
// questions (runs, flaky, series) is done by the database with GROUP BY.
//
// Opening a store applies its schema migrations in one transaction; a store
// written by a newer version of this library is refused (NewerSchema). A
// record is one transaction: a run is stored whole or not at all. Each run
// carries the content hash of what was recorded, under a unique constraint,
// so that recording the same files twice, even at the same moment from two
// processes, keeps one run.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kivu_results/model.hpp"

namespace kivu_results {

// The schema version this library writes.
inline constexpr int schema_version = 3;

// What went wrong with a store; the tool gives each its own exit status.
enum class StoreErrorKind {
  Address,      // the --db address is not understood (an unknown scheme)
  ReadOnly,     // the store cannot be written (permissions, a read-only file system)
  DiskFull,     // the file system or the server is out of space
  NewerSchema,  // the store was written by a newer version
  Unavailable,  // the server cannot be reached, or went away
  Failed,       // anything else the database reported
};

struct StoreError {
  StoreErrorKind kind = StoreErrorKind::Failed;
  std::string message;  // one line
};

// Where a store lives.
struct StoreAddress {
  enum class Kind { Sqlite, Postgres };
  Kind kind = Kind::Sqlite;
  std::string location;  // the SQLite file's path, or the PostgreSQL connection URI as given
};

// Reads a --db value: a plain path or "sqlite:PATH" is SQLite,
// "postgresql://..." or "postgres://..." PostgreSQL; any other
// "scheme:..." (letters, digits, + - . before the colon, at least two
// characters so that "C:" style names stay paths) is refused as Address.
[[nodiscard]] std::expected<StoreAddress, StoreError> parse_store_address(std::string_view text);

// The default SQLite file: $XDG_DATA_HOME/kivu/results.sqlite when
// XDG_DATA_HOME is set to an absolute path, otherwise
// $HOME/.local/share/kivu/results.sqlite; "results.sqlite" in the current
// folder when neither is known. Arguments are the variables' values.
[[nodiscard]] std::string default_store_path(std::optional<std::string_view> xdg_data_home,
                                             std::optional<std::string_view> home);

// =============================================================================
// What a record holds

enum class Verdict { Passed = 0, Failed = 1, Skipped = 2, Missing = 3 };

[[nodiscard]] std::string_view verdict_name(Verdict verdict) noexcept;

struct CaseRecord {
  std::string case_name;  // "hardware_e2e.<case>"
  Verdict verdict = Verdict::Passed;
  double seconds = 0;
  std::vector<std::pair<std::string, std::string>> properties;  // as the suite recorded them
  std::string failure;                                          // the failure's message and text
};

// Figures of one cycle profile.
struct ProfileRecord {
  std::string case_name;  // the case it belongs to; empty when none was named
  std::uint64_t total_cycles = 0;
  std::uint64_t compute_cycles = 0;
  std::uint64_t exchange_cycles = 0;
  std::uint64_t sync_cycles = 0;
  std::uint64_t idle_cycles = 0;
  std::uint32_t busiest_tile = 0;
  std::uint64_t busiest_tile_cycles = 0;  // its busy cycles (every kind but idle)
  std::uint64_t tile_count = 0;
  std::uint64_t clock_hz = 0;
};

struct Recording {
  std::string commit;
  std::map<std::string, std::string> labels;
  std::string recorded_at;   // UTC, ISO 8601
  std::string content_hash;  // identifies the recorded inputs (see content_hash.hpp)
  std::vector<CaseRecord> cases;
  std::vector<ProfileRecord> profiles;
};

struct RecordOutcome {
  std::int64_t run_id = 0;
  bool already_recorded = false;  // the same content was recorded before as run_id
};

// The metrics a series can be drawn of: the columns of a profile.
[[nodiscard]] std::span<const std::string_view> metric_names() noexcept;
[[nodiscard]] bool is_metric(std::string_view name) noexcept;

struct SeriesQuery {
  std::string metric;                         // one of metric_names()
  std::optional<std::string> case_name;       // only this case's profiles
  std::map<std::string, std::string> labels;  // only runs with all these labels
};

// What the boards' health is computed from: per board ("host:board", as
// the suite's host and board properties give it) its runs, and its passed
// and failed case results together and failed alone; per board and
// failed_tile property value, the failed cases that name it.
struct BoardCount {
  std::string board;  // "host:board"
  std::size_t runs = 0;
  std::size_t cases = 0;
  std::size_t failed = 0;
};

struct TileCount {
  std::string board;  // "host:board"
  std::string tile;   // the failed_tile property's text
  std::size_t failures = 0;
};

struct BoardCounts {
  std::vector<BoardCount> boards;
  std::vector<TileCount> tiles;
};

// A board taken out of service or back into it.
struct QuarantineEvent {
  std::string host;
  std::uint32_t board = 0;
  std::string action;  // "quarantined" or "released"
  std::string reason;
  std::string at;  // UTC, ISO 8601

  bool operator==(const QuarantineEvent&) const = default;
};

// =============================================================================
// The store

namespace detail {
class Database;
}

class Store {
public:
  // Opens (creating when missing) the store at `address` and brings its
  // schema up to schema_version.
  [[nodiscard]] static std::expected<Store, StoreError> open(const StoreAddress& address);

  Store(Store&&) noexcept;
  Store& operator=(Store&&) noexcept;
  ~Store();

  // Stores `recording` as one run in one transaction. `before_commit`, when
  // given, is called after every row is written and before the commit (a
  // test stops the process there).
  [[nodiscard]] std::expected<RecordOutcome, StoreError> record(const Recording& recording,
                                                                const std::function<void()>& before_commit = {});

  // The runs, newest first; the last `last` of them when given.
  [[nodiscard]] std::expected<std::vector<RunSummary>, StoreError> runs(std::optional<std::size_t> last = {});

  // Cases that both passed and failed on one commit, over the last `last`
  // runs when given; most flips first, then most failures, then by case and
  // commit.
  [[nodiscard]] std::expected<std::vector<FlakyCase>, StoreError> flaky(std::optional<std::size_t> last = {});

  // The metric's values in recording order.
  [[nodiscard]] std::expected<std::vector<SeriesPoint>, StoreError> series(const SeriesQuery& query);

  // The counts of the boards' health over the last `last` runs when given.
  [[nodiscard]] std::expected<BoardCounts, StoreError> board_counts(std::optional<std::size_t> last = {});

  // Keeps `event` in the boards' history; false when it was kept before
  // (the same host, board, action and time).
  [[nodiscard]] std::expected<bool, StoreError> record_quarantine_event(const QuarantineEvent& event);

  // The boards' history, oldest first.
  [[nodiscard]] std::expected<std::vector<QuarantineEvent>, StoreError> quarantine_history();

  // The distinct case names of the recorded profiles, sorted.
  [[nodiscard]] std::expected<std::vector<std::string>, StoreError> profile_cases();

private:
  explicit Store(std::unique_ptr<detail::Database> database) noexcept;
  std::unique_ptr<detail::Database> database_;
};

}  // namespace kivu_results
