// The one small interface both back ends of the store implement, so that the
// store's SQL is written once. Statements use "?" for their parameters (the
// PostgreSQL back end numbers them $1, $2, ...); every result cell comes back
// as text (NULL as nullopt), integers in decimal and reals in their shortest
// exact form, so that both back ends hand the same answers to the same code.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kivu_results/store.hpp"

namespace kivu_results::detail {

using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string>;
using Row = std::vector<std::optional<std::string>>;

class Database {
public:
  virtual ~Database() = default;

  // Runs one statement without parameters or results (DDL, COMMIT, ...).
  [[nodiscard]] virtual std::expected<void, StoreError> execute(std::string_view sql) = 0;
  // Runs one statement with `parameters`, returning its rows. Statements are
  // prepared once per connection and reused.
  [[nodiscard]] virtual std::expected<std::vector<Row>, StoreError> query(std::string_view sql,
                                                                          std::span<const Value> parameters) = 0;
  // Starts a transaction that writes a run: in SQLite it holds the file's
  // write lock from its start, so that two writers never deadlock.
  [[nodiscard]] virtual std::expected<void, StoreError> begin_write() = 0;
  // Starts a transaction that changes the schema: other connections'
  // migrations wait until it ends.
  [[nodiscard]] virtual std::expected<void, StoreError> begin_migration() = 0;
  // Whether the table `name` exists.
  [[nodiscard]] virtual std::expected<bool, StoreError> table_exists(std::string_view name) = 0;
  // The column type of a table's own increasing row id.
  [[nodiscard]] virtual std::string_view id_column() const noexcept = 0;
  // The type of a large integer column.
  [[nodiscard]] std::string_view big_integer() const noexcept { return "BIGINT"; }
};

[[nodiscard]] std::expected<std::unique_ptr<Database>, StoreError> open_sqlite(const std::string& path);
[[nodiscard]] std::expected<std::unique_ptr<Database>, StoreError> open_postgres(const std::string& uri);

// A real's text: the shortest form that reads back to the same double.
[[nodiscard]] std::string real_text(double value);

}  // namespace kivu_results::detail
