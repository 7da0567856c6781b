// The results database's schema, versioned: each version is one migration from the
// one before, applied in a transaction, and the version reached is recorded in
// schema_version. A database written by a newer harness is refused, not guessed at.
#pragma once

#include <string>
#include <vector>

#include "store/database.hpp"

namespace bench32::store {

// The migrations in order; migration i takes the schema from version i to i + 1.
// Each is a list of statements, with {serial} standing for the backend's numbered key.
const std::vector<std::vector<std::string>>& migrations();
int currentSchemaVersion();

// The version the database is at (0: empty). Throws BadInput for a version newer than
// this harness knows.
int schemaVersion(Database& db);
// Brings the database up to the current version; safe when several processes open
// one database at once.
void migrate(Database& db);

} // namespace bench32::store
