// The SQLite side of the results database: one file, shared by concurrent writers
// through SQLite's own locking (a write transaction takes the lock at BEGIN, and a
// writer that finds it taken waits for it).
#include <sqlite3.h>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "store/database.hpp"

namespace bench32::store {
namespace {

// Long enough for another shard's checkpoint, short enough that a stuck writer is
// reported rather than waited for without end.
constexpr int busyTimeoutMs = 120'000;

class Sqlite final : public Database {
public:
  explicit Sqlite(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error(fmt::format("{}: cannot open the database: {}", path, reason));
    }
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    query("PRAGMA foreign_keys = ON", {});
    // Readers do not block the writer, and a checkpoint costs one sync.
    query("PRAGMA journal_mode = WAL", {});
  }
  ~Sqlite() override { sqlite3_close(db_); }

  std::string kind() const override { return "sqlite"; }

  std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) override {
    sqlite3_stmt* raw = nullptr;
    check(sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &raw, nullptr), sql);
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
  void check(int code, const std::string& sql) const {
    if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE) return;
    // A file that is not a database was given where one was asked for.
    if (code == SQLITE_NOTADB) throw BadInput(fmt::format("{}: not an SQLite database", path_));
    throw std::runtime_error(fmt::format("{}: {} (in: {})", path_, sqlite3_errmsg(db_),
                                         sql.substr(0, sql.find_first_of("(\n"))));
  }
  std::string path_;
  sqlite3* db_ = nullptr;
};

} // namespace

std::unique_ptr<Database> openSqlite(const std::string& path) {
  return std::make_unique<Sqlite>(path);
}

} // namespace bench32::store
