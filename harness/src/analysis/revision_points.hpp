// The history of a results database as the analysis takes it: its sessions gathered
// into revisions in commit order, and what the database knows beyond the runs (the
// between-session noise and the triage states of changes).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "analysis/compare.hpp"
#include "analysis/history.hpp"
#include "analysis/noise.hpp"
#include "store/database.hpp"
#include "store/sessions.hpp"

namespace bench32 {

// Every session of each revision, merged, in commit order (else time order); `results`
// holds each session's results, in the order of `sessions`.
std::vector<RevisionPoint> revisionPoints(const std::vector<store::SessionInfo>& sessions,
                                          const std::vector<Results>& results,
                                          const std::filesystem::path& repo);

// The sessions filed under a revision, given in full or as the start of a commit name.
// Throws BadInput when there is none, or when an abbreviation begins several.
std::vector<store::SessionInfo> sessionsOf(const std::vector<store::SessionInfo>& all,
                                           const std::string& revision);

// What a database knows beyond its sessions' runs: the between-session noise learned
// from them, and the triage states of their changes.
struct Knowledge {
  NoiseModel noise;
  TriageStates states;

  Knowledge(store::Database& db, const std::vector<Results>& sessions, Metric metric);
  // Points the settings at this knowledge, which must outlive them.
  void applyTo(CompareSettings& settings) const;
};

// Each revision's sessions, one after another.
std::vector<Results> everySession(const std::vector<RevisionPoint>& points);

} // namespace bench32
