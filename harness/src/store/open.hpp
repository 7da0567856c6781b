// Opening a results database for a command, and choosing its sessions.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/database.hpp"
#include "store/sessions.hpp"

namespace bench32::store {

// Opens the database and brings its schema up to date (refusing a newer one). A
// reader asks for an SQLite file that exists: a mistyped path is not a new, empty
// database.
enum class Access { write, read };
// A database opened to be written is checked whole first (checkIntact).
std::unique_ptr<Database> openStore(const std::string& url, Access access = Access::write);

// Throws BadInput when an SQLite file is damaged anywhere: a write into it could spread
// the damage to rows that read well today. Reads the whole file once.
void checkIntact(Database& db);

// The sessions of the database, or those of one kind of machine or host (a glob).
std::vector<SessionInfo> selectSessions(Database& db, const std::string& machine);

// What the reading commands read: the selected sessions (`listed`), those that read
// whole with their results, and why the others and any stray rows were left out.
struct Selection {
  std::vector<SessionInfo> listed;
  std::vector<SessionInfo> sessions;
  std::vector<Results> results;                // one per session
  std::map<std::int64_t, std::string> damaged; // by session id
  std::vector<std::string> stray;
  // One line for each session and each table of stray rows left out.
  std::vector<std::string> warnings() const;
};
Selection readSelected(Database& db, const std::string& machine);

} // namespace bench32::store
