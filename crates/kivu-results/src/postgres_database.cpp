// The PostgreSQL back end, through libpq: a lab's many hosts record into one
// server. Statements are sent with their parameters as text and the server
// infers their types; migrations take a transaction-scoped advisory lock, so that two hosts upgrading the schema
// at once do not trip over each other. Records need no lock: the unique
// content hash keeps a run from being stored twice.
//
// libpq is loaded when a PostgreSQL store is first opened, not linked: with
// its own dependencies (TLS, Kerberos, LDAP, ...) it is twenty more
// libraries, and loading them cost each start of the program about as much
// CPU as the rest of a record into SQLite.
#include <dlfcn.h>

#include <expected>
#include <memory>
#include <string>
#include <type_traits>

#include <libpq-fe.h>

#include "database.hpp"

namespace kivu_results::detail {

namespace {

// The libpq functions the back end calls, with the header's own types.
struct Libpq {
  decltype(&::PQconnectdb) connectdb = nullptr;
  decltype(&::PQstatus) status = nullptr;
  decltype(&::PQerrorMessage) errorMessage = nullptr;
  decltype(&::PQfinish) finish = nullptr;
  decltype(&::PQsetNoticeProcessor) setNoticeProcessor = nullptr;
  decltype(&::PQexec) exec = nullptr;
  decltype(&::PQexecParams) execParams = nullptr;
  decltype(&::PQresultStatus) resultStatus = nullptr;
  decltype(&::PQresultErrorField) resultErrorField = nullptr;
  decltype(&::PQresultErrorMessage) resultErrorMessage = nullptr;
  decltype(&::PQclear) clear = nullptr;
  decltype(&::PQntuples) ntuples = nullptr;
  decltype(&::PQnfields) nfields = nullptr;
  decltype(&::PQgetisnull) getisnull = nullptr;
  decltype(&::PQgetvalue) getvalue = nullptr;
  decltype(&::PQgetlength) getlength = nullptr;
};

// libpq's shared object (its soname: the same since PostgreSQL 8.0).
constexpr const char* libpq_file = "libpq.so.5";

// Loads libpq once; the error text when it cannot be loaded.
const std::expected<Libpq, std::string>& load_libpq() {
  static const std::expected<Libpq, std::string> loaded = []() -> std::expected<Libpq, std::string> {
    void* handle = dlopen(libpq_file, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = dlerror();
      return std::unexpected(std::string("cannot load ") + libpq_file +
                             " for a PostgreSQL store: " + (reason != nullptr ? reason : "unknown reason") +
                             " (scripts/install-deps.sh postgres installs it)");
    }
    Libpq api;
    std::string missing;
    const auto bind = [&](auto& function, const char* name) {
      void* found = dlsym(handle, name);
      if (found == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(found);
    };
    bind(api.connectdb, "PQconnectdb");
    bind(api.status, "PQstatus");
    bind(api.errorMessage, "PQerrorMessage");
    bind(api.finish, "PQfinish");
    bind(api.setNoticeProcessor, "PQsetNoticeProcessor");
    bind(api.exec, "PQexec");
    bind(api.execParams, "PQexecParams");
    bind(api.resultStatus, "PQresultStatus");
    bind(api.resultErrorField, "PQresultErrorField");
    bind(api.resultErrorMessage, "PQresultErrorMessage");
    bind(api.clear, "PQclear");
    bind(api.ntuples, "PQntuples");
    bind(api.nfields, "PQnfields");
    bind(api.getisnull, "PQgetisnull");
    bind(api.getvalue, "PQgetvalue");
    bind(api.getlength, "PQgetlength");
    if (!missing.empty()) return std::unexpected(std::string(libpq_file) + " lacks " + missing);
    return api;
  }();
  return loaded;
}

// The loaded libpq: only called once open_postgres has loaded it.
const Libpq& pq() { return *load_libpq(); }

// The advisory lock key of the store's migrations ("kivu" in ASCII).
constexpr std::string_view migration_lock = "SELECT pg_advisory_xact_lock(1802073717)";

struct ResultDeleter {
  void operator()(PGresult* result) const noexcept { pq().clear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

std::string one_line(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// The kind of a failed statement, from its SQLSTATE.
StoreError statement_error(PGconn* connection, const PGresult* result) {
  const char* state = result != nullptr ? pq().resultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state != nullptr ? state : "";
  StoreErrorKind kind = StoreErrorKind::Failed;
  // libpq's own failures (a closed socket, a server that died) carry no
  // SQLSTATE: the server is gone.
  if (pq().status(connection) == CONNECTION_BAD || code.empty() || code.starts_with("08") || code == "57P01" ||
      code == "57P02" || code == "57P03") {
    kind = StoreErrorKind::Unavailable;  // connection lost, or the server shutting down
  } else if (code == "53100") {
    kind = StoreErrorKind::DiskFull;
  } else if (code == "25006" || code == "42501") {
    kind = StoreErrorKind::ReadOnly;  // a read-only transaction (standby), or no write privilege
  }
  const char* message = result != nullptr ? pq().resultErrorMessage(result) : nullptr;
  std::string text = message != nullptr && *message != '\0' ? message : pq().errorMessage(connection);
  if (kind == StoreErrorKind::Unavailable) return {kind, "the PostgreSQL server went away: " + one_line(text)};
  return {kind, "the PostgreSQL store: " + one_line(text)};
}

// "... WHERE a = ? AND b = ?" as "... WHERE a = $1 AND b = $2".
std::string numbered(std::string_view sql) {
  std::string text;
  text.reserve(sql.size() + 8);
  int number = 0;
  for (const char c : sql) {
    if (c == '?') {
      text += '$';
      text += std::to_string(++number);
    } else {
      text += c;
    }
  }
  return text;
}

class PostgresDatabase final : public Database {
public:
  explicit PostgresDatabase(PGconn* connection) noexcept : connection_(connection) {}
  ~PostgresDatabase() override { pq().finish(connection_); }

  std::expected<void, StoreError> execute(std::string_view sql) override {
    const Result result(pq().exec(connection_, std::string(sql).c_str()));
    const auto status = result != nullptr ? pq().resultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      return std::unexpected(statement_error(connection_, result.get()));
    return {};
  }

  std::expected<std::vector<Row>, StoreError> query(std::string_view sql, std::span<const Value> parameters) override {
    std::vector<std::string> texts;
    std::vector<const char*> values;
    texts.reserve(parameters.size());
    for (const auto& parameter : parameters) {
      if (const auto* integer = std::get_if<std::int64_t>(&parameter)) {
        texts.push_back(std::to_string(*integer));
      } else if (const auto* real = std::get_if<double>(&parameter)) {
        texts.push_back(real_text(*real));
      } else if (const auto* text = std::get_if<std::string>(&parameter)) {
        texts.push_back(*text);
      } else {
        texts.emplace_back();
      }
    }
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      values.push_back(std::holds_alternative<std::nullptr_t>(parameters[i]) ? nullptr : texts[i].c_str());
    }
    const Result result(pq().execParams(connection_, numbered(sql).c_str(), static_cast<int>(values.size()), nullptr,
                                        values.data(), nullptr, nullptr, 0));
    const auto status = result != nullptr ? pq().resultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      return std::unexpected(statement_error(connection_, result.get()));
    std::vector<Row> rows;
    const int count = pq().ntuples(result.get());
    const int columns = pq().nfields(result.get());
    rows.reserve(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r) {
      Row row;
      for (int c = 0; c < columns; ++c) {
        if (pq().getisnull(result.get(), r, c)) {
          row.emplace_back(std::nullopt);
        } else {
          row.emplace_back(std::string(pq().getvalue(result.get(), r, c),
                                       static_cast<std::size_t>(pq().getlength(result.get(), r, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  std::expected<void, StoreError> begin_write() override { return execute("BEGIN"); }

  std::expected<void, StoreError> begin_migration() override {
    if (auto begun = execute("BEGIN"); !begun) return begun;
    return execute(migration_lock);
  }

  std::expected<bool, StoreError> table_exists(std::string_view name) override {
    const Value parameter = std::string(name);
    auto rows = query("SELECT to_regclass(?) IS NOT NULL", std::span(&parameter, 1));
    if (!rows) return std::unexpected(rows.error());
    return !rows->empty() && rows->front().front() == "t";
  }

  std::string_view id_column() const noexcept override { return "BIGSERIAL PRIMARY KEY"; }

private:
  PGconn* connection_;
};

}  // namespace

std::expected<std::unique_ptr<Database>, StoreError> open_postgres(const std::string& uri) {
  if (const auto& loaded = load_libpq(); !loaded)
    return std::unexpected(StoreError{StoreErrorKind::Failed, loaded.error()});
  PGconn* connection = pq().connectdb(uri.c_str());
  if (connection == nullptr) return std::unexpected(StoreError{StoreErrorKind::Failed, "out of memory"});
  if (pq().status(connection) != CONNECTION_OK) {
    StoreError error{StoreErrorKind::Unavailable,
                     "cannot reach the PostgreSQL store: " + one_line(pq().errorMessage(connection))};
    pq().finish(connection);
    return std::unexpected(std::move(error));
  }
  auto database = std::make_unique<PostgresDatabase>(connection);
  // Notices (such as "relation already exists, skipping") are not printed:
  // the library prints nothing.
  pq().setNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  if (auto quiet = database->execute("SET client_min_messages = warning; SET extra_float_digits = 1"); !quiet)
    return std::unexpected(quiet.error());
  return database;
}

}  // namespace kivu_results::detail
