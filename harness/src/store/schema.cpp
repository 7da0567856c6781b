#include "store/schema.hpp"

#include <fmt/format.h>

#include "exec/errors.hpp"

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

bool hasVersionTable(Database& db) {
  const std::string sql =
      db.kind() == "sqlite"
          ? "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'"
          : "SELECT 1 FROM information_schema.tables WHERE table_name = 'schema_version' AND "
            "table_schema = current_schema()";
  return !db.query(sql).empty();
}

int recordedVersion(Database& db) {
  if (!hasVersionTable(db)) return 0;
  const auto rows = db.query("SELECT MAX(version) FROM schema_version");
  return rows.empty() ? 0 : int(asInt(rows[0][0]));
}

void refuseNewer(int version) {
  if (version > currentSchemaVersion())
    throw BadInput(fmt::format("the database has schema version {}, newer than this harness "
                               "reads ({}): use a newer bench32",
                               version, currentSchemaVersion()));
}

} // namespace

const std::vector<std::vector<std::string>>& migrations() {
  static const std::vector<std::vector<std::string>> all{version1, version2, version3, version4};
  return all;
}

int currentSchemaVersion() { return int(migrations().size()); }

int schemaVersion(Database& db) {
  const int version = recordedVersion(db);
  refuseNewer(version);
  return version;
}

void migrate(Database& db) {
  // Most opens find the schema current and take no lock.
  if (schemaVersion(db) == currentSchemaVersion()) return;
  Transaction transaction(db);
  db.lockSchema();
  // Another process may have migrated while this one waited for the lock.
  int version = schemaVersion(db);
  if (version == 0 && !hasVersionTable(db))
    db.query("CREATE TABLE schema_version (version INTEGER NOT NULL)");
  for (; version < currentSchemaVersion(); ++version) {
    for (const auto& statement : migrations()[std::size_t(version)])
      db.query(withSerial(statement, db.serialKey()));
    db.query("INSERT INTO schema_version (version) VALUES (?)", {std::int64_t(version + 1)});
  }
  transaction.commit();
}

} // namespace bench32::store
