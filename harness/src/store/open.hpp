// Opening a results database for a command, and choosing its sessions.
#pragma once

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
std::unique_ptr<Database> openStore(const std::string& target, Access access = Access::write);

// The sessions of the database, or those of one kind of machine or host (a glob).
std::vector<SessionInfo> selectSessions(Database& db, const std::string& machine);

} // namespace bench32::store
