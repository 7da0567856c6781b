// store/schema on SQLite: a database is brought from any earlier version to the current
// one, once, and one written by a newer harness is refused.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exec/errors.hpp"
#include "store/database.hpp"
#include "store/schema.hpp"
#include "store_fixtures.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

// The versions schema_version holds, in order.
std::vector<std::string> recorded(store::Database& db) {
  std::vector<std::string> versions;
  for (const auto& row : db.query("SELECT version FROM schema_version ORDER BY version"))
    versions.push_back(store::asText(row.at(0)));
  return versions;
}

std::vector<std::string> allVersions() {
  std::vector<std::string> versions;
  for (int v = 1; v <= store::currentSchemaVersion(); ++v) versions.push_back(std::to_string(v));
  return versions;
}

// The database as a harness of `version` left it: its migrations applied by hand.
void migrateTo(store::Database& db, int version) {
  db.query("CREATE TABLE schema_version (version INTEGER NOT NULL)");
  for (int v = 0; v < version; ++v) {
    for (std::string statement : store::migrations()[std::size_t(v)]) {
      for (auto at = statement.find("{serial}"); at != std::string::npos;
           at = statement.find("{serial}"))
        statement.replace(at, 8, db.serialKey());
      db.query(statement);
    }
    db.query("INSERT INTO schema_version (version) VALUES (?)", {std::int64_t(v + 1)});
  }
}

TEST(Schema, EveryEarlierVersionIsMigratedToTheCurrentOneOnce) {
  ASSERT_GE(store::currentSchemaVersion(), 1);
  for (int from = 0; from < store::currentSchemaVersion(); ++from) {
    auto db = store::openDatabase(scratchDatabase("schema-" + std::to_string(from)).string());
    if (from > 0) migrateTo(*db, from);
    EXPECT_EQ(store::schemaVersion(*db), from);
    store::migrate(*db);
    EXPECT_EQ(store::schemaVersion(*db), store::currentSchemaVersion()) << "from " << from;
    EXPECT_EQ(recorded(*db), allVersions()) << "from " << from;
    // Again: nothing to do, nothing recorded twice.
    store::migrate(*db);
    EXPECT_EQ(recorded(*db), allVersions()) << "from " << from;
    // The tables of every version are there to be written.
    db->query("INSERT INTO triage (revision, program, workload, config, state, note, created) "
              "VALUES ('r', 'p', 'w', 'c', 'open', '', '2026-01-01T00:00:00Z')");
    db->query("SELECT target FROM sessions");
  }
}

TEST(Schema, ANewerOrDamagedVersionIsRefusedAndLeftAsItIs) {
  struct Case {
    const char* what;
    const char* version; // inserted into schema_version of a current database
    const char* says;
  };
  const std::string newer = std::to_string(store::currentSchemaVersion() + 1);
  const Case cases[] = {
      {"a newer version", newer.c_str(), "newer than this harness reads"},
      {"no number", "'x'", "a damaged schema: schema_version holds \"x\""},
      {"version 0", "0", "a damaged schema"},
  };
  for (const auto& c : cases) {
    auto db = store::openDatabase(scratchDatabase("schema-refused").string());
    store::migrate(*db);
    db->query(std::string("INSERT INTO schema_version (version) VALUES (") + c.version + ")");
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        attempt == 0 ? void(store::schemaVersion(*db)) : store::migrate(*db);
        ADD_FAILURE() << c.what << ": accepted";
      } catch (const BadInput& e) {
        EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
      }
    }
    EXPECT_EQ(db->query("SELECT version FROM schema_version").size(),
              std::size_t(store::currentSchemaVersion() + 1))
        << c.what;
  }
}

TEST(Schema, TablesWithoutAVersionAreNotTakenForABench32Database) {
  auto db = store::openDatabase(scratchDatabase("schema-foreign").string());
  db->query("CREATE TABLE sessions (id INTEGER)");
  EXPECT_THROW(store::migrate(*db), BadInput);
  EXPECT_EQ(db->query("SELECT name FROM sqlite_master WHERE name = 'schema_version'").size(), 0u);
}

} // namespace
} // namespace bench32
