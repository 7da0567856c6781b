// Sessions in the results database. A session is written from its results file's
// JSON form, split into rows: what has a column goes there, and whatever has none is
// kept as JSON beside it, so reading a session back gives the same document. A run
// writes its session at every checkpoint, each one a transaction: the samples new
// since the last, the units' state, and the session's own row (complete only at the
// end), so a session killed midway is readable and marked incomplete.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/results.hpp"
#include "store/database.hpp"

namespace bench32::store {

// What history and fleets need of a session without reading its samples.
struct SessionInfo {
  std::int64_t id = 0;
  std::string created;
  std::string revision; // the run's --revision label, else its git revision
  std::string machine;  // the kind of machine: CPU model, cores, architecture
  std::string host;
  std::string shard; // "K/N", or empty for a whole run
  bool complete = false;
  // Why the session's row does not read (one line naming the database and the
  // session), or empty.
  std::string damage;
};

// The revision and kind of machine a results document was measured on.
std::string revisionOf(const nlohmann::json& environment);
std::string machineKindOf(const nlohmann::json& environment);

class SessionWriter {
public:
  explicit SessionWriter(Database& db) : db_(db) {}
  // Writes what changed since the last call, in one transaction; the first call
  // creates the session.
  void checkpoint(const nlohmann::json& document);
  std::int64_t id() const { return id_; }

private:
  Database& db_;
  std::int64_t id_ = 0;
  std::vector<std::int64_t> unitIds_;
  std::vector<std::map<bool, std::size_t>> samplesWritten_; // per unit: timed? -> rows
};

// Every session, in id order; a session whose row does not read is listed with its damage.
std::vector<SessionInfo> listSessions(Database& db);

// A short text that changes whenever what the readers show could: sessions added or
// completed, units added or their status changed, runs added, triage states set. Cheap
// (a few counts), so that a server can tell whether a page it made is still true.
std::string contentStamp(Database& db);
// The session already stored with exactly this content (the same file imported twice,
// or the file of a run that wrote its session itself), if there is one.
std::optional<std::int64_t> findSession(Database& db, const nlohmann::json& document);
// The session's results document. Throws BadInput when there is no such session, and
// BadRow (one line naming the database, the session and the table) when one of its rows
// does not read.
nlohmann::json loadSessionJson(Database& db, std::int64_t id);
Results loadSession(Database& db, std::int64_t id);

// The sessions that read whole, in order, and for each that does not, by id, the line
// that says why. One damaged session does not hide the others; when none reads, the
// first one's BadRow is thrown.
struct Readable {
  std::vector<SessionInfo> sessions;
  std::vector<Results> results; // one per session
  std::map<std::int64_t, std::string> skipped;
};
Readable readSessions(Database& db, const std::vector<SessionInfo>& sessions);

// One line for each table holding rows that belong to no session (a tool that wrote
// the file without its foreign keys leaves them): readers never see them.
std::vector<std::string> strayRows(Database& db);

// One session's rows as the database gives them back, in the column order that
// storedColumns() names; decodeSession turns them into the session's results document
// with every value checked, without a database. Throws BadRow naming the table and the
// row ("table samples: run 2 of unit 0 (...): wall_s is 'fast', not a finite number").
struct StoredSession {
  Row session;
  std::vector<Row> configs, units, samples;
};
struct StoredColumns {
  const Columns& session;
  const Columns& config;
  const Columns& unit;
  const Columns& sample;
};
StoredColumns storedColumns();
nlohmann::json decodeSession(const StoredSession& rows);

} // namespace bench32::store
