#include "store/schema.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"

namespace bench32::store {
namespace {

// Version 1. Sessions carry the derived columns that history and fleets select on
// (revision, kind of machine, shard); every part of a results file that has no column
// of its own is kept as JSON text in an `extra` column, so a file comes back whole. A
// null in a column taken from the file means the file had no such field.
const std::vector<std::string> version1{
    R"(CREATE TABLE sessions (
  id {serial},
  created TEXT,
  revision TEXT NOT NULL,
  machine TEXT NOT NULL,
  host TEXT NOT NULL,
  shard TEXT NOT NULL,
  complete INTEGER,
  stop_reason TEXT,
  results_version INTEGER,
  command TEXT,
  environment TEXT,
  settings TEXT,
  run_under TEXT,
  extra TEXT NOT NULL))",       "CREATE INDEX sessions_by_revision ON sessions (revision)",
    R"(CREATE TABLE configurations (
  session_id BIGINT NOT NULL REFERENCES sessions (id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  compiler TEXT,
  compiler_version TEXT,
  flags TEXT,
  build_dir TEXT,
  extra TEXT NOT NULL,
  PRIMARY KEY (session_id, position)))",
    R"(CREATE TABLE units (
  id {serial},
  session_id BIGINT NOT NULL REFERENCES sessions (id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  config TEXT NOT NULL,
  program TEXT NOT NULL,
  workload TEXT NOT NULL,
  status TEXT NOT NULL,
  failure TEXT,
  input_xxh3 TEXT,
  binary_path TEXT,
  binary_xxh3 TEXT,
  text_bytes BIGINT,
  instructions BIGINT,
  instructions_source TEXT,
  extra TEXT NOT NULL,
  UNIQUE (session_id, position)))",
    R"(CREATE TABLE samples (
  unit_id BIGINT NOT NULL REFERENCES units (id) ON DELETE CASCADE,
  timed INTEGER NOT NULL,
  position INTEGER NOT NULL,
  wall_s DOUBLE PRECISION,
  user_s DOUBLE PRECISION,
  sys_s DOUBLE PRECISION,
  max_rss_kib DOUBLE PRECISION,
  layout BIGINT,
  padding BIGINT,
  extra TEXT,
  PRIMARY KEY (unit_id, timed, position)))",
};

// Version 2: the triage state of flagged changes, one row per change.
const std::vector<std::string> version2{
    R"(CREATE TABLE triage (
  revision TEXT NOT NULL,
  program TEXT NOT NULL,
  workload TEXT NOT NULL,
  config TEXT NOT NULL,
  state TEXT NOT NULL,
  note TEXT,
  created TEXT NOT NULL,
  PRIMARY KEY (revision, program, workload, config)))",
};

// Version 3: copies run at once. Each run's copy and its start and end (seconds from the
// session's start), and per unit the number of copies and each round's rate (a JSON list).
const std::vector<std::string> version3{
    "ALTER TABLE samples ADD COLUMN copy_index BIGINT",
    "ALTER TABLE samples ADD COLUMN start_s DOUBLE PRECISION",
    "ALTER TABLE samples ADD COLUMN end_s DOUBLE PRECISION",
    "ALTER TABLE units ADD COLUMN copies BIGINT",
    "ALTER TABLE units ADD COLUMN rate_per_s TEXT",
};
// Version 4: the machine a session's programs ran on (JSON), beside the build host's
// environment: a remote target's, else the build host's own.
const std::vector<std::string> version4{"ALTER TABLE sessions ADD COLUMN target TEXT"};

std::string withSerial(std::string sql, const std::string& serial) {
  const std::string mark = "{serial}";
  for (auto at = sql.find(mark); at != std::string::npos; at = sql.find(mark))
    sql.replace(at, mark.size(), serial);
  return sql;
}

std::vector<std::string> tableNames(Database& db) {
  const std::string sql =
      db.kind() == "sqlite"
          ? "SELECT name FROM sqlite_master WHERE type = 'table'"
          : "SELECT table_name FROM information_schema.tables WHERE table_schema = "
            "current_schema()";
  std::vector<std::string> names;
  for (const auto& row : db.query(sql)) names.push_back(asText(row.at(0)));
  return names;
}

bool has(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The columns this harness reads and writes, table by table, with the version that
// brought them.
struct SchemaColumns {
  const char* table;
  int version;
  const char* columns;
};

const std::vector<SchemaColumns> schemaColumns{
    {"sessions", 1,
     "id, created, revision, machine, host, shard, complete, stop_reason, results_version, "
     "command, environment, settings, run_under, extra"},
    {"configurations", 1,
     "session_id, position, name, compiler, compiler_version, flags, build_dir, extra"},
    {"units", 1,
     "id, session_id, position, config, program, workload, status, failure, input_xxh3, "
     "binary_path, binary_xxh3, text_bytes, instructions, instructions_source, extra"},
    {"samples", 1,
     "unit_id, timed, position, wall_s, user_s, sys_s, max_rss_kib, layout, padding, extra"},
    {"triage", 2, "revision, program, workload, config, state, note, created"},
    {"samples", 3, "copy_index, start_s, end_s"},
    {"units", 3, "copies, rate_per_s"},
    {"sessions", 4, "target"},
};

[[noreturn]] void refuseNewer(Database& db, std::int64_t version) {
  throw BadInput(fmt::format("{}: the database has schema version {}, newer than this harness "
                             "reads ({}): use a newer bench32",
                             db.name(), version, currentSchemaVersion()));
}

// A schema_version that is empty, or holds anything but the versions applied, beside
// this harness's tables is damage: migrating would try to make them again.
int recordedVersion(Database& db, const std::vector<std::string>& tables) {
  if (!has(tables, "schema_version")) {
    for (const auto& t : schemaColumns)
      if (has(tables, t.table))
        throw BadInput(fmt::format("{}: not a bench32 database, or a damaged schema: table {} "
                                   "without schema_version",
                                   db.name(), t.table));
    return 0;
  }
  int version = 0;
  for (const auto& row : db.query("SELECT version FROM schema_version")) {
    const auto v = row.at(0) ? integerIn(*row[0]) : std::nullopt;
    if (!v || *v < 1)
      throw BadInput(fmt::format("{}: a damaged schema: schema_version holds {}", db.name(),
                                 row[0] ? "\"" + oneLine(*row[0], 40) + "\"" : "NULL"));
    if (*v > currentSchemaVersion()) refuseNewer(db, *v);
    version = std::max(version, int(*v));
  }
  if (version == 0)
    for (const auto& t : schemaColumns)
      if (has(tables, t.table))
        throw BadInput(fmt::format("{}: not a bench32 database, or a damaged schema: "
                                   "schema_version is empty but table {} exists",
                                   db.name(), t.table));
  return version;
}

// Every table and column of the recorded version is there: a statement on a dropped
// one would fail halfway through a command, after part of its output.
void checkTables(Database& db, int version, const std::vector<std::string>& tables) {
  for (const auto& t : schemaColumns) {
    if (t.version > version) continue;
    if (!has(tables, t.table))
      throw BadInput(fmt::format("{}: a damaged schema: table {} is missing", db.name(), t.table));
    db.query(fmt::format("SELECT {} FROM {} WHERE 1 = 0", t.columns, t.table));
  }
}

} // namespace

const std::vector<std::vector<std::string>>& migrations() {
  static const std::vector<std::vector<std::string>> all{version1, version2, version3, version4};
  return all;
}

int currentSchemaVersion() { return int(migrations().size()); }

int schemaVersion(Database& db) { return recordedVersion(db, tableNames(db)); }

void migrate(Database& db) {
  // Most opens find the schema current and take no lock.
  if (auto tables = tableNames(db); recordedVersion(db, tables) == currentSchemaVersion()) {
    checkTables(db, currentSchemaVersion(), tables);
    return;
  }
  Transaction transaction(db);
  db.lockSchema();
  // Another process may have migrated while this one waited for the lock.
  const auto tables = tableNames(db);
  int version = recordedVersion(db, tables);
  checkTables(db, version, tables);
  if (!has(tables, "schema_version"))
    db.query("CREATE TABLE schema_version (version INTEGER NOT NULL)");
  for (; version < currentSchemaVersion(); ++version) {
    for (const auto& statement : migrations()[std::size_t(version)])
      db.query(withSerial(statement, db.serialKey()));
    db.query("INSERT INTO schema_version (version) VALUES (?)", {std::int64_t(version + 1)});
  }
  transaction.commit();
}

} // namespace bench32::store
