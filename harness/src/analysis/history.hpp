// A benchmark's history: its median per source revision, in commit order, with each
// change from one revision to the next flagged by the same rule as `compare`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "analysis/compare.hpp"
#include "model/results.hpp"

namespace bench32 {

// One revision: every session measured on it, merged (shards and repeats alike).
struct RevisionPoint {
  std::string revision;
  std::string created; // the earliest session's start
  std::vector<std::int64_t> sessions;
  Results merged;
  std::vector<Results> loaded; // each session on its own, for the noise model
  std::string warning;         // sessions on different kinds of machine
};

// A revision as people read it: a commit name shortened to 12 digits, a label as it is.
std::string revisionLabel(const std::string& revision);

struct RevisionStamp {
  std::string revision;
  std::string created;
};

// The order to show revisions in: by time, except that revisions the repository
// knows (commitRank: oldest first) keep their commit order among the places that
// such revisions hold in time order. Returns indices into stamps.
std::vector<std::size_t> revisionOrder(const std::vector<RevisionStamp>& stamps,
                                       const std::map<std::string, std::size_t>& commitRank);

struct HistoryFilter {
  std::vector<std::string> programs; // globs; empty: all
  std::vector<std::string> configs;  // globs; empty: all
  CompareSettings settings; // its noise model, when set, gates every step; states mark rows
};

// One (program, workload, configuration) at one revision.
struct HistoryRow {
  std::string program, workload, config, revision;
  std::size_t sessions = 0;
  std::size_t count = 0; // values of the metric
  double median = 0;
  stats::Interval interval;
  std::string failure;             // the unit failed at this revision: no measurement
  bool hasPrevious = false;        // a revision before this one measured it
  ProgramComparison change;        // against that revision, when there is one
  stats::PooledSpread noise{0, 0}; // the series' learned between-session spread
};

// Rows grouped by program, workload and configuration, each group in the points' order.
// A revision where the unit failed has a row that says so, and the next measured
// revision is compared with the last one measured before it.
//
// A step between revisions that ran byte-identical binaries (under the same conditions)
// is "same binary", never a change. Any other step compares binaries, not revisions:
// the sessions of the neighbouring revisions that ran the same binary as either side
// join that side as replicates, so a change is judged on every session of the old
// binary against every session of the new one.
//
// Where every program of a revision moved together, one way and by about as much, the
// flags are the session's shift, not changes of the programs: they show as "session
// shift" and count once.
std::vector<HistoryRow> history(const std::vector<RevisionPoint>& points,
                                const HistoryFilter& filter);

bool flagged(const HistoryRow& row);

// Fewest programs moving together at one step for it to count as a session's shift.
inline constexpr std::size_t minShiftPrograms = 3;

// A step where every program moved together: its place and how far.
struct SessionShift {
  std::string revision, workload, config;
  std::size_t programs = 0;
  double ratio = 1; // the programs' median ratio
};
std::vector<SessionShift> sessionShifts(const std::vector<HistoryRow>& rows);

} // namespace bench32
