// A connection to a results database: an SQLite file for one machine, a PostgreSQL
// server for a team. Both speak the same SQL here: statements use `?` placeholders,
// every value comes back as text (or null), and numbers are bound with their type so
// that a double survives the trip exactly.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "exec/errors.hpp"

namespace bench32::store {

using Value = std::variant<std::monostate, std::int64_t, double, std::string>;
using Field = std::optional<std::string>; // null, or the value as text
using Row = std::vector<Field>;

// The columns of a table as one list: the SELECT, INSERT and UPDATE texts are made from
// it, and a row's values and a new row's values are taken by name, so a new column
// shifts nothing.
class Columns {
public:
  Columns(std::initializer_list<const char*> names) : names_(names.begin(), names.end()) {}
  explicit Columns(std::vector<std::string> names) : names_(std::move(names)) {}
  // These columns after the ones given.
  Columns after(std::initializer_list<const char*> first) const;
  std::size_t size() const { return names_.size(); }
  const std::vector<std::string>& names() const { return names_; }
  std::string list() const;         // "a, b, c"
  std::string placeholders() const; // "?, ?, ?"
  std::string assignments() const;  // "a = ?, b = ?, c = ?"
  // The row's value of a column; `first` skips the columns selected before these.
  const Field& of(const Row& row, std::string_view name, std::size_t first = 0) const;
  // The values of a new row, in column order; every column must be given.
  std::vector<Value> values(const std::map<std::string, Value, std::less<>>& byName) const;

private:
  std::size_t index(std::string_view name) const;
  std::vector<std::string> names_;
};

class Database {
public:
  virtual ~Database() = default;
  virtual std::string kind() const = 0; // "sqlite" or "postgresql"
  // What messages call the database: the file's path, or the URL without its password.
  virtual std::string name() const = 0;
  // Runs one statement with its `?` placeholders bound in order; returns its rows.
  virtual std::vector<Row> query(const std::string& sql, const std::vector<Value>& params = {}) = 0;
  // Starts a transaction that holds the write lock from its first statement, so that
  // concurrent writers queue up instead of failing halfway.
  virtual void begin() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;
  // Inside a transaction: waits until no other connection is changing the schema.
  virtual void lockSchema() = 0;
  // The column type of an automatically numbered key.
  virtual std::string serialKey() const = 0;
};

// A `postgresql://` or `postgres://` URL opens a PostgreSQL connection (libpq reads
// what the URL leaves out from the PG* variables); anything else is an SQLite file,
// created when missing. Throws BadInput for a url that cannot be a database, and
// std::runtime_error when the server or the file refuses.
std::unique_ptr<Database> openDatabase(const std::string& url);
bool isPostgresUrl(const std::string& url);
// The url with any password in it replaced by "***", for what is recorded or shown.
std::string withoutPassword(const std::string& url);

std::unique_ptr<Database> openSqlite(const std::string& path);
std::unique_ptr<Database> openPostgres(const std::string& url);

// Commits at the end of its scope only when commit() was called; rolls back
// otherwise, so an exception never leaves half a checkpoint behind.
class Transaction {
public:
  explicit Transaction(Database& db) : db_(db) { db_.begin(); }
  ~Transaction() {
    if (!done_) try {
        db_.rollback();
      } catch (...) {
      }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    db_.commit();
    done_ = true;
  }

private:
  Database& db_;
  bool done_ = false;
};

// A stored row that does not read as what its columns hold (a value of the wrong type, a
// NULL where a value is required, a run missing from its unit): the database is
// damaged there, and the message names the table and the row.
struct BadRow : BadInput {
  using BadInput::BadInput;
};

// Numbers from a row. asInt and asDouble read what this harness has just written (a key
// it was given back, a count); a reader of stored values takes integerIn or numberIn,
// which accept the whole text of a number or nothing.
std::int64_t asInt(const Field& field);
double asDouble(const Field& field);
std::string asText(const Field& field); // null as ""
std::optional<std::int64_t> integerIn(const std::string& text);
std::optional<double> numberIn(const std::string& text); // finite numbers only

} // namespace bench32::store
