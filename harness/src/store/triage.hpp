// What people decided about flagged changes: each (revision, program, workload,
// configuration) can carry a state, shown by history and the report. An accepted change
// or a false positive no longer counts against a --fail-above gate.
#pragma once

#include <string>
#include <vector>

#include "store/database.hpp"

namespace bench32::store {

struct TriageMark {
  std::string revision, program, workload, config;
  std::string state; // one of triageStates()
  std::string note;
  std::string created; // UTC, ISO 8601
};

// "open", "fixed", "accepted", "false-positive".
const std::vector<std::string>& triageStates();

// Records the mark, replacing any earlier one of the same change.
void setTriage(Database& db, const TriageMark& mark);
std::vector<TriageMark> loadTriage(Database& db);

} // namespace bench32::store
