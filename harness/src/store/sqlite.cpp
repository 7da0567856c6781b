// The SQLite side of the results database: one file, shared by concurrent writers
// through SQLite's own locking (a write transaction takes the lock at BEGIN, and a
// writer that finds it taken waits for it).
#include <sqlite3.h>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"
#include "store/database.hpp"

namespace bench32::store {
namespace {

// Long enough for another shard's checkpoint, short enough that a stuck writer is
// reported rather than waited for without end.
constexpr int busyTimeoutMs = 120'000;

// The connection is closed by its owner on every path out, a failed open included:
// sqlite3_open_v2 hands back a handle even when it fails.
using Connection = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

Connection connect(const std::string& path) {
  sqlite3* raw = nullptr;
  const int code =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Connection db(raw, sqlite3_close_v2);
  if (code != SQLITE_OK) {
    if (code == SQLITE_NOMEM || !db) throw std::bad_alloc();
    throw std::runtime_error(
        fmt::format("{}: cannot open the database: {}", oneLine(path), sqlite3_errmsg(db.get())));
  }
  return db;
}

// What went wrong, in this harness's words. The database's own fault (damage, a schema
// that is not this harness's, a row that breaks its rules) is bad input; the system's
// (the disk, the locks, memory) is not.
bool isSystemFault(int code) {
  switch (code & 0xff) {
  case SQLITE_IOERR:
  case SQLITE_FULL:
  case SQLITE_CANTOPEN:
  case SQLITE_READONLY:
  case SQLITE_BUSY:
  case SQLITE_LOCKED:
  case SQLITE_NOMEM:
  case SQLITE_PERM:
  case SQLITE_PROTOCOL:
  case SQLITE_INTERRUPT:
    return true;
  default:
    return false;
  }
}

// SQLite's reason for a statement it could not prepare on this harness's own SQL: the
// schema is not the one it made.
std::string schemaFault(const std::string& reason) {
  for (const char* what : {"table", "column"}) {
    const std::string prefix = fmt::format("no such {}: ", what);
    if (reason.rfind(prefix, 0) == 0)
      return fmt::format("{} {} is missing", what, oneLine(reason.substr(prefix.size()), 60));
  }
  return oneLine(reason, 120);
}

class Sqlite final : public Database {
public:
  explicit Sqlite(const std::string& path) : path_(path), db_(connect(path)) {
    sqlite3_busy_timeout(db_.get(), busyTimeoutMs);
    query("PRAGMA foreign_keys = ON", {});
    // Readers do not block the writer, and a checkpoint costs one sync.
    query("PRAGMA journal_mode = WAL", {});
  }

  std::string kind() const override { return "sqlite"; }
  std::string name() const override { return oneLine(path_); }

  std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) override {
    sqlite3_stmt* raw = nullptr;
    check(sqlite3_prepare_v2(db_.get(), sql.c_str(), int(sql.size()), &raw, nullptr), sql, true);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int at = int(i) + 1;
      const Value& v = params[i];
      if (auto* n = std::get_if<std::int64_t>(&v))
        check(sqlite3_bind_int64(raw, at, *n), sql);
      else if (auto* d = std::get_if<double>(&v))
        check(sqlite3_bind_double(raw, at, *d), sql);
      else if (auto* s = std::get_if<std::string>(&v))
        check(sqlite3_bind_text(raw, at, s->data(), int(s->size()), SQLITE_TRANSIENT), sql);
      else
        check(sqlite3_bind_null(raw, at), sql);
    }
    std::vector<Row> rows;
    for (;;) {
      const int step = sqlite3_step(raw);
      if (step == SQLITE_DONE) break;
      if (step != SQLITE_ROW) check(step, sql);
      Row row;
      for (int c = 0; c < sqlite3_column_count(raw); ++c) {
        switch (sqlite3_column_type(raw, c)) {
        case SQLITE_NULL:
          row.emplace_back();
          break;
        case SQLITE_INTEGER:
          row.emplace_back(std::to_string(sqlite3_column_int64(raw, c)));
          break;
        case SQLITE_FLOAT:
          // The shortest text that reads back as the same double.
          row.emplace_back(fmt::format("{}", sqlite3_column_double(raw, c)));
          break;
        default:
          row.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(raw, c)),
                                       std::size_t(sqlite3_column_bytes(raw, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  void begin() override { query("BEGIN IMMEDIATE", {}); }
  void commit() override { query("COMMIT", {}); }
  void rollback() override { query("ROLLBACK", {}); }
  void lockSchema() override {} // BEGIN IMMEDIATE already holds the only write lock
  std::string serialKey() const override { return "INTEGER PRIMARY KEY"; }

private:
  void check(int code, const std::string& sql, bool preparing = false) const {
    if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE) return;
    if (code == SQLITE_NOMEM) throw std::bad_alloc();
    const std::string reason = sqlite3_errmsg(db_.get());
    const std::string statement = oneLine(sql.substr(0, sql.find_first_of("(\n")), 60);
    switch (code & 0xff) {
    case SQLITE_NOTADB:
      throw BadInput(fmt::format("{}: not an SQLite database", name()));
    case SQLITE_CORRUPT:
      throw BadInput(fmt::format("{}: the database file is damaged (in: {})", name(), statement));
    case SQLITE_ERROR:
      if (preparing)
        throw BadInput(fmt::format("{}: not a bench32 database, or a damaged schema: {} (in: {})",
                                   name(), schemaFault(reason), statement));
      break;
    default:
      break;
    }
    const std::string text = fmt::format("{}: the database refused: {} (in: {})", name(),
                                         oneLine(reason, 120), statement);
    if (isSystemFault(code)) throw std::runtime_error(text);
    throw BadInput(text);
  }
  std::string path_;
  Connection db_;
};

} // namespace

std::unique_ptr<Database> openSqlite(const std::string& path) {
  return std::make_unique<Sqlite>(path);
}

} // namespace bench32::store
