#include "store/open.hpp"

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/words.hpp"
#include "model/globs.hpp"
#include "store/schema.hpp"

namespace bench32::store {
namespace fs = std::filesystem;

std::unique_ptr<Database> openStore(const std::string& url, Access access) {
  if (access == Access::read && !isPostgresUrl(url) && !url.empty() && !fs::exists(url))
    throw BadInput(fmt::format("{}: no such database", url));
  auto db = openDatabase(url);
  migrate(*db);
  if (access == Access::write) checkIntact(*db);
  return db;
}

void checkIntact(Database& db) {
  if (db.kind() != "sqlite") return;
  // SQLite finds damage only where it reads; a write into a damaged tree can spread it.
  const auto problems = db.query("PRAGMA quick_check");
  if (problems.size() == 1 && problems[0].at(0) == "ok") return;
  throw BadInput(fmt::format("{}: the database file is damaged ({} found by SQLite's "
                             "check): nothing is written to it",
                             db.name(), plural(problems.size(), "problem")));
}

std::vector<SessionInfo> selectSessions(Database& db, const std::string& machine) {
  auto sessions = listSessions(db);
  if (sessions.empty()) throw BadInput("no session in the database");
  if (machine.empty()) return sessions;
  std::erase_if(sessions, [&](const SessionInfo& s) {
    return !matchesGlob(machine, s.machine) && !matchesGlob(machine, s.host);
  });
  if (sessions.empty())
    throw BadInput(fmt::format("--machine {}: no session ran on such a machine", machine));
  return sessions;
}

Selection readSelected(Database& db, const std::string& machine) {
  Selection selection;
  selection.stray = strayRows(db);
  selection.listed = selectSessions(db, machine);
  auto readable = readSessions(db, selection.listed);
  selection.sessions = std::move(readable.sessions);
  selection.results = std::move(readable.results);
  selection.damaged = std::move(readable.skipped);
  return selection;
}

std::vector<std::string> Selection::warnings() const {
  std::vector<std::string> lines;
  for (const auto& line : stray) lines.push_back(line + " (left out)");
  for (const auto& [id, line] : damaged) lines.push_back(line + " (session left out)");
  return lines;
}

} // namespace bench32::store
