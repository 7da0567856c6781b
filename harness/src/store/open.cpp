#include "store/open.hpp"

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "model/globs.hpp"
#include "store/schema.hpp"

namespace bench32::store {
namespace fs = std::filesystem;

std::unique_ptr<Database> openStore(const std::string& target, Access access) {
  if (access == Access::read && !isPostgresTarget(target) && !target.empty() && !fs::exists(target))
    throw BadInput(fmt::format("{}: no such database", target));
  auto db = openDatabase(target);
  migrate(*db);
  return db;
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

} // namespace bench32::store
