// A session on its way into the results database: written at every checkpoint, so an
// interrupted or killed run leaves what it measured; and the options that file it
// (a revision label) or cut it to one shard of a fleet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "model/results.hpp"
#include "run/plan.hpp"
#include "store/database.hpp"
#include "store/sessions.hpp"

namespace bench32 {

// Writes a running session into the database at every checkpoint.
class SessionRecorder {
public:
  explicit SessionRecorder(const std::string& target);
  void checkpoint(const Results& results);
  std::int64_t id() const { return writer_.id(); }

private:
  std::unique_ptr<store::Database> db_;
  store::SessionWriter writer_;
};

// The run's shard and revision label, applied to its plan and its results before
// anything is built: a shard keeps its slice of the units (and builds only their
// programs), a label files the session under that revision.
void applyFleetOptions(Plan& plan, Results& results, const RunOptions& options);

} // namespace bench32
