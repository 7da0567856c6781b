// A damaged results database, read: each kind of damage gives one line naming the
// database, the table and the session (BadInput, status 2), the other sessions stay
// readable, and a later write keeps every row that was there.
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "model/results_file.hpp"
#include "store/database.hpp"
#include "store/open.hpp"
#include "store/sessions.hpp"
#include "store_fixtures.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

// Two sessions of the same results: the first is damaged, the second must stay readable.
std::string twoSessions(const std::string& name) {
  const auto path = scratchDatabase(name).string();
  auto db = store::openStore(path);
  for (int i = 0; i < 2; ++i) store::SessionWriter(*db).checkpoint(toJson(richResults()));
  return path;
}

void expectOneLine(const std::string& message, const std::vector<std::string>& parts) {
  EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  EXPECT_EQ(message.find("json.exception"), std::string::npos) << message;
  for (const auto& part : parts) EXPECT_NE(message.find(part), std::string::npos) << message;
}

// Every row of the tables that hold sessions, as text, for "nothing was lost".
std::vector<store::Row> everyRow(store::Database& db) {
  std::vector<store::Row> rows;
  for (const char* table : {"sessions", "configurations", "units", "samples"})
    for (auto& row : db.query(fmt::format("SELECT * FROM {} ORDER BY 1, 2", table)))
      rows.push_back(std::move(row));
  return rows;
}

struct RowDamage {
  const char* name;
  const char* sql; // applied to session 1 (units 1 and 2, their samples)
  std::vector<std::string> said;
};

const std::vector<RowDamage> rowDamages{
    {"wrong type",
     "UPDATE samples SET wall_s = 'fast' WHERE unit_id = 1 AND timed = 1",
     {"table samples", "run 0 of unit 0 (hailstone/ref/gcc-O2)", "wall_s is 'fast'"}},
    {"null",
     "UPDATE samples SET user_s = NULL WHERE unit_id = 1 AND timed = 1 AND position = 1",
     {"table samples", "run 1 of unit 0", "no value for user_s"}},
    {"negative",
     "UPDATE samples SET sys_s = -0.5 WHERE unit_id = 1 AND timed = 0",
     {"table samples", "warm-up run 0", "sys_s is -0.5, below 0"}},
    {"huge",
     "UPDATE samples SET max_rss_kib = 1e999 WHERE unit_id = 1 AND timed = 1",
     {"table samples", "max_rss_kib is 'inf', not a finite number"}},
    {"fraction in an integer column",
     "UPDATE samples SET layout = 0.5 WHERE unit_id = 1 AND timed = 1",
     {"table samples", "layout is '0.5', not an integer"}},
    {"negative integer",
     "UPDATE samples SET padding = -1 WHERE unit_id = 1 AND timed = 1",
     {"table samples", "padding is -1, below 0"}},
    {"run deleted",
     "DELETE FROM samples WHERE unit_id = 1 AND timed = 1 AND position = 0",
     {"table samples", "run 0 is missing"}},
    {"run flag",
     "UPDATE samples SET timed = 7 WHERE unit_id = 1 AND position = 0 AND timed = 0",
     {"table samples", "timed is 7, above 1"}},
    {"run's JSON",
     "UPDATE samples SET extra = '{\"a\":' WHERE unit_id = 1 AND timed = 1",
     {"table samples", "extra: not valid JSON at line 1"}},
    {"unit's JSON",
     "UPDATE units SET extra = 'no' WHERE id = 1",
     {"table units", "unit 0 (hailstone/ref/gcc-O2)", "extra: not valid JSON at line 1, column 2"}},
    {"unit's JSON not an object",
     "UPDATE units SET extra = '[1]' WHERE id = 2",
     {"table units", "unit 1 (pegs/ref/gcc-O2)", "extra is not a JSON object"}},
    {"unit integer",
     "UPDATE units SET text_bytes = 'big' WHERE id = 1",
     {"table units", "text_bytes is 'big', not an integer"}},
    {"unit position",
     "UPDATE units SET position = 5 WHERE id = 2",
     {"table units", "position is 5, above 1"}},
    {"unit deleted", "DELETE FROM units WHERE id = 1", {"table units", "position is 1, above 0"}},
    {"unit text with control characters",
     "UPDATE units SET status = 'o' || char(10) || 'k' "
     "WHERE id = 1",
     {"o\\nk"}},
    {"session flag",
     "UPDATE sessions SET complete = 'x' WHERE id = 1",
     {"table sessions", "complete is 'x', not an integer"}},
    {"session JSON",
     "UPDATE sessions SET settings = '{\"warmup\": no}' WHERE id = 1",
     {"table sessions", "settings: not valid JSON"}},
    {"duplicate key",
     "UPDATE sessions SET environment = '{\"cpu\": \"a\", \"cpu\": \"b\"}' "
     "WHERE id = 1",
     {"table sessions", "duplicate key"}},
    {"deep nesting",
     "UPDATE sessions SET extra = printf('%.*c', 100000, '[') WHERE id = 1",
     {"table sessions", "too deeply nested"}},
    {"invalid UTF-8",
     "UPDATE sessions SET command = X'5bff0a' WHERE id = 1",
     {"table sessions", "command: not valid JSON"}},
    {"configuration",
     "UPDATE configurations SET extra = '5' WHERE session_id = 1",
     {"table configurations", "configuration 0", "extra is not a JSON object"}},
};

TEST(Store, EachDamagedRowIsOneLineAndTheOtherSessionsStayReadable) {
  for (const auto& damage : rowDamages) {
    SCOPED_TRACE(damage.name);
    const auto path = twoSessions("damaged-row");
    auto db = store::openStore(path, store::Access::read);
    db->query(damage.sql);
    const auto before = everyRow(*db);
    try {
      store::loadSession(*db, 1);
      ADD_FAILURE() << "read a damaged session";
    } catch (const store::BadRow& e) {
      auto said = damage.said;
      said.push_back(path + ": session 1: ");
      expectOneLine(e.what(), said);
    }
    // Readers leave the damaged session out, and say so.
    const auto readable = store::readSelected(*db, "");
    ASSERT_EQ(readable.sessions.size(), 1u);
    EXPECT_EQ(readable.sessions[0].id, 2);
    EXPECT_EQ(toJson(readable.results[0]), toJson(richResults()));
    ASSERT_EQ(readable.warnings().size(), 1u);
    expectOneLine(readable.warnings()[0], {"session 1", "left out"});
    // A later write keeps every row that was there.
    store::SessionWriter writer(*db);
    writer.checkpoint(toJson(richResults()));
    auto after = everyRow(*db);
    for (const auto& row : before)
      EXPECT_NE(std::find(after.begin(), after.end(), row), after.end());
    EXPECT_EQ(toJson(store::loadSession(*db, writer.id())), toJson(richResults()));
  }
}

TEST(Store, ADatabaseWhoseEverySessionIsDamagedFailsWithTheFirst) {
  const auto path = twoSessions("all-damaged");
  auto db = store::openStore(path, store::Access::read);
  db->query("UPDATE units SET extra = 'no'");
  try {
    store::readSelected(*db, "");
    FAIL() << "read a database with no readable session";
  } catch (const BadInput& e) {
    expectOneLine(e.what(), {"session 1", "table units"});
  }
}

TEST(Store, RowsOfNoSessionAreLeftOutWithAWarning) {
  const auto path = twoSessions("stray");
  auto db = store::openStore(path, store::Access::read);
  // Written without the foreign keys, as another tool may.
  db->query("PRAGMA foreign_keys = OFF");
  db->query("INSERT INTO units (session_id, position, config, program, workload, status, extra) "
            "VALUES (-5, 0, 'x', 'y', 'z', 'ok', 'not json')");
  db->query("INSERT INTO samples (unit_id, timed, position, wall_s) VALUES (999, 1, 0, 'x')");
  const auto selected = store::readSelected(*db, "");
  EXPECT_EQ(selected.sessions.size(), 2u);
  const auto warnings = selected.warnings();
  ASSERT_EQ(warnings.size(), 2u);
  expectOneLine(warnings[0], {path, "1 row of table units belongs to no session"});
  expectOneLine(warnings[1], {path, "1 row of table samples belongs to no unit"});
}

struct SchemaDamage {
  const char* name;
  const char* sql;
  std::string said;
};

TEST(Store, ADamagedSchemaIsRefusedWithOneLineAndNothingChanged) {
  const std::vector<SchemaDamage> damages{
      {"empty version table", "DELETE FROM schema_version",
       "not a bench32 database, or a damaged schema: schema_version is empty but table "
       "sessions exists"},
      {"version not a number", "UPDATE schema_version SET version = 'no'",
       "schema_version holds \"no\""},
      {"version table dropped", "DROP TABLE schema_version",
       "table sessions without schema_version"},
      {"table dropped", "DROP TABLE samples", "a damaged schema: table samples is missing"},
      {"column dropped", "ALTER TABLE units DROP COLUMN copies", "column copies is missing"},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.name);
    const auto path = twoSessions("damaged-schema");
    std::vector<store::Row> before;
    {
      auto db = store::openStore(path);
      db->query(damage.sql);
      before = db->query("SELECT * FROM sessions ORDER BY id");
    }
    for (const auto access : {store::Access::read, store::Access::write}) {
      try {
        store::openStore(path, access);
        ADD_FAILURE() << "opened a damaged schema";
      } catch (const BadInput& e) {
        expectOneLine(e.what(), {path, damage.said});
      }
    }
    EXPECT_EQ(store::openSqlite(path)->query("SELECT * FROM sessions ORDER BY id"), before);
  }
}

// What the file itself may be: SQLite's own complaints become one line naming it, and the
// handle is closed (the sanitizers' leak check runs at this test's exit).
TEST(Store, AFileThatIsNotADatabaseIsOneLine) {
  const auto good = twoSessions("file");
  {
    auto db = store::openStore(good);
    db->query("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  const std::string bytes = readFile(good);
  struct Case {
    const char* name;
    std::string bytes;
    std::string said;
  };
  std::string flipped = bytes;
  for (std::size_t i = 4096; i < flipped.size(); i += 7) flipped[i] = char(~flipped[i]);
  const std::vector<Case> cases{
      {"text", "hello\n", "not an SQLite database"},
      {"truncated", bytes.substr(0, 5000), "the database file is damaged"},
      {"flipped page bytes", flipped, ""},
      {"header only", bytes.substr(0, 100), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = scratchDatabase("not-a-database").string();
    writeFile(path, c.bytes);
    try {
      auto db = store::openStore(path, store::Access::read);
      store::readSelected(*db, "");
      ADD_FAILURE() << "read a damaged file";
    } catch (const BadInput& e) {
      expectOneLine(e.what(), {path, c.said});
    }
  }
}

// The decoding on its own, from rows: what no database would hand back is refused too.
TEST(Store, RowsThatNoDatabaseWouldGiveAreRefused) {
  const auto path = twoSessions("seam");
  auto db = store::openStore(path, store::Access::read);
  const auto columns = store::storedColumns();
  store::StoredSession rows;
  rows.session =
      db->query(fmt::format("SELECT {} FROM sessions WHERE id = 1", columns.session.list()))[0];
  rows.units = db->query(fmt::format("SELECT {} FROM units WHERE session_id = 1 ORDER BY position",
                                     columns.unit.list()));
  rows.samples = db->query(fmt::format("SELECT {} FROM samples WHERE unit_id = 1 ORDER BY timed, "
                                       "position",
                                       columns.sample.list()));
  EXPECT_NO_THROW(store::decodeSession(rows));
  auto shortRow = rows;
  shortRow.samples[0].pop_back();
  auto strayRun = rows;
  strayRun.samples[0][0] = "77";
  auto sameUnit = rows;
  sameUnit.units[1][0] = sameUnit.units[0][0];
  auto twice = rows;
  twice.samples.push_back(twice.samples.back());
  for (const auto& [bad, said] : std::vector<std::pair<store::StoredSession, std::string>>{
           {shortRow, "values where"},
           {strayRun, "unit_id 77 is none of the session's units"},
           {sameUnit, "is another unit's"},
           {twice, "stored twice, or out of order"}}) {
    try {
      store::decodeSession(bad);
      ADD_FAILURE() << said;
    } catch (const store::BadRow& e) {
      expectOneLine(e.what(), {said});
    }
  }
}

} // namespace
} // namespace bench32
