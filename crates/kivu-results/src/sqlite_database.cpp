// The SQLite back end: one file, WAL journal (readers never wait for a
// writer), a busy timeout so that writers of several processes take turns,
// and write transactions that take the lock at BEGIN (BEGIN IMMEDIATE) so
// that two writers never deadlock upgrading a read lock.
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "database.hpp"

namespace kivu_results::detail {

namespace {

// How long a writer waits for another to finish before it gives up.
constexpr int busy_timeout_ms = 60'000;

// Turns the store's journal into a WAL. On a file still in the rollback
// journal's format (a new store) this reads the header and then takes the
// write lock, and SQLite does not wait for a lock that it would have to
// upgrade to: when processes create one store at once, all but one get
// "database is locked" at once. Holding no lock between tries, this one
// waits its turn as a busy writer would, up to the same timeout.
std::expected<void, StoreError> use_wal(Database& database, sqlite3* db) {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busy_timeout_ms);
  auto pause = 1ms;
  while (true) {
    auto wal = database.query("PRAGMA journal_mode = WAL", {});
    if (wal) return {};
    if ((sqlite3_errcode(db) & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
      return std::unexpected(wal.error());
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

StoreError sqlite_error(sqlite3* db, int code, std::string_view doing) {
  const int primary = code & 0xff;
  StoreErrorKind kind = StoreErrorKind::Failed;
  if (primary == SQLITE_READONLY || primary == SQLITE_PERM) kind = StoreErrorKind::ReadOnly;
  if (primary == SQLITE_FULL) kind = StoreErrorKind::DiskFull;
  std::string text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  if (primary == SQLITE_CANTOPEN) {
    // The file, its journal or its folder cannot be opened: read-only when
    // the system said so, otherwise its reason (a missing folder, ...).
    const int error = db != nullptr ? sqlite3_system_errno(db) : 0;
    if (error == EACCES || error == EPERM || error == EROFS) kind = StoreErrorKind::ReadOnly;
    text = "cannot open the store file (" + text + (error != 0 ? ": " + std::generic_category().message(error) : "") +
           ")";
  }
  if (primary == SQLITE_NOTADB) text = "not a kivu-results store (" + text + ")";
  return StoreError{kind, std::string(doing) + ": " + text};
}

// The store must be a file, or not exist yet: SQLite would otherwise read a
// FIFO, write into a device, or, given /dev/null, leave its journal in /dev.
// A symbolic link is followed; one to a missing file is made as a file.
std::expected<void, StoreError> check_store_file(const std::filesystem::path& file) {
  namespace fs = std::filesystem;
  std::error_code error;
  const auto status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) return {};
  if (error) {
    return std::unexpected(
        StoreError{error == std::errc::permission_denied ? StoreErrorKind::ReadOnly : StoreErrorKind::Failed,
                   "cannot use the store " + file.string() + ": " + error.message()});
  }
  std::string_view what;
  switch (status.type()) {
    case fs::file_type::regular: return {};
    case fs::file_type::directory: what = "a folder"; break;
    case fs::file_type::fifo: what = "a FIFO"; break;
    case fs::file_type::character:
    case fs::file_type::block: what = "a device"; break;
    case fs::file_type::socket: what = "a socket"; break;
    default: what = "not a regular file"; break;
  }
  return std::unexpected(
      StoreError{StoreErrorKind::Failed, "the store " + file.string() + " is " + std::string(what) + ", not a file"});
}

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};

class SqliteDatabase final : public Database {
public:
  SqliteDatabase(sqlite3* db, std::string path) noexcept : db_(db), doing_("the store " + std::move(path)) {}
  ~SqliteDatabase() override {
    statements_.clear();
    sqlite3_close_v2(db_);
  }

  std::expected<void, StoreError> execute(std::string_view sql) override {
    const std::string text(sql);
    char* message = nullptr;
    const int code = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message);
    if (message != nullptr) sqlite3_free(message);
    if (code != SQLITE_OK) return std::unexpected(sqlite_error(db_, code, doing_));
    return {};
  }

  std::expected<std::vector<Row>, StoreError> query(std::string_view sql, std::span<const Value> parameters) override {
    auto found = statements_.find(std::string(sql));
    if (found == statements_.end()) {
      sqlite3_stmt* raw = nullptr;
      const int code = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                          &raw, nullptr);
      if (code != SQLITE_OK) return std::unexpected(sqlite_error(db_, code, doing_));
      found = statements_.emplace(std::string(sql), std::unique_ptr<sqlite3_stmt, StatementDeleter>(raw)).first;
    }
    sqlite3_stmt* statement = found->second.get();
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    int index = 1;
    for (const auto& parameter : parameters) {
      if (const auto* integer = std::get_if<std::int64_t>(&parameter)) {
        sqlite3_bind_int64(statement, index, *integer);
      } else if (const auto* real = std::get_if<double>(&parameter)) {
        sqlite3_bind_double(statement, index, *real);
      } else if (const auto* text = std::get_if<std::string>(&parameter)) {
        sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
      } else {
        sqlite3_bind_null(statement, index);
      }
      ++index;
    }
    std::vector<Row> rows;
    while (true) {
      const int code = sqlite3_step(statement);
      if (code == SQLITE_DONE) break;
      if (code != SQLITE_ROW) {
        auto error = sqlite_error(db_, code, doing_);
        sqlite3_reset(statement);
        return std::unexpected(std::move(error));
      }
      const int columns = sqlite3_column_count(statement);
      Row row;
      row.reserve(static_cast<std::size_t>(columns));
      for (int c = 0; c < columns; ++c) {
        switch (sqlite3_column_type(statement, c)) {
          case SQLITE_NULL: row.emplace_back(std::nullopt); break;
          case SQLITE_INTEGER: row.emplace_back(std::to_string(sqlite3_column_int64(statement, c))); break;
          case SQLITE_FLOAT: row.emplace_back(real_text(sqlite3_column_double(statement, c))); break;
          default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
            row.emplace_back(std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
          }
        }
      }
      rows.push_back(std::move(row));
    }
    sqlite3_reset(statement);
    return rows;
  }

  std::expected<void, StoreError> begin_write() override { return execute("BEGIN IMMEDIATE"); }
  std::expected<void, StoreError> begin_migration() override { return execute("BEGIN IMMEDIATE"); }

  std::expected<bool, StoreError> table_exists(std::string_view name) override {
    const Value parameter = std::string(name);
    auto rows = query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", std::span(&parameter, 1));
    if (!rows) return std::unexpected(rows.error());
    return !rows->empty();
  }

  std::string_view id_column() const noexcept override { return "INTEGER PRIMARY KEY"; }

private:
  sqlite3* db_;
  std::string doing_;  // "the store PATH", the start of its error lines
  std::map<std::string, std::unique_ptr<sqlite3_stmt, StatementDeleter>, std::less<>> statements_;
};

}  // namespace

std::string real_text(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::expected<std::unique_ptr<Database>, StoreError> open_sqlite(const std::string& path) {
  // The store's folder is made when missing (the default lies under ~/.local/share).
  const std::filesystem::path file(path);
  if (auto usable = check_store_file(file); !usable) return std::unexpected(usable.error());
  if (file.has_parent_path()) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error) {
      return std::unexpected(StoreError{
          error == std::errc::read_only_file_system || error == std::errc::permission_denied ? StoreErrorKind::ReadOnly
                                                                                             : StoreErrorKind::Failed,
          "cannot make the store's folder " + file.parent_path().string() + ": " + error.message()});
    }
  }
  sqlite3* db = nullptr;
  const int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
  if (code != SQLITE_OK) {
    auto error = sqlite_error(db, code, "cannot open the store " + path);
    sqlite3_close_v2(db);
    return std::unexpected(std::move(error));
  }
  auto database = std::make_unique<SqliteDatabase>(db, path);
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, busy_timeout_ms);
  // A read-only file is opened for reading: questions work, a record is refused.
  if (sqlite3_db_readonly(db, "main") != 1) {
    // WAL: readers see the last commit while a record is being written; a
    // commit is durable once in the log (synchronous=NORMAL), and a process
    // killed at any point leaves the last commit intact.
    if (auto wal = use_wal(*database, db); !wal) return std::unexpected(wal.error());
  }
  if (auto synchronous = database->execute("PRAGMA synchronous = NORMAL"); !synchronous)
    return std::unexpected(synchronous.error());
  // A database of another program is left alone rather than given tables.
  auto foreign = database->query(
      "SELECT (SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'), "
      "(SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'kivu_schema')",
      {});
  if (!foreign) return std::unexpected(foreign.error());
  if (foreign->front()[0] != "0" && foreign->front()[1] == "0") {
    return std::unexpected(StoreError{StoreErrorKind::Failed, "the store " + path +
                                                                  " is a SQLite database of another program (tables, "
                                                                  "but no kivu_schema): left alone"});
  }
  return database;
}

}  // namespace kivu_results::detail
