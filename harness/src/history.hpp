// A benchmark's history: its median per source revision, in commit order, with each
// change from one revision to the next flagged by the same rule as `compare`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "compare.hpp"
#include "results.hpp"
#include "table.hpp"

namespace bench32 {

// One revision: every session measured on it, merged (shards and repeats alike).
struct RevisionPoint {
  std::string revision;
  std::string created; // the earliest session's start
  std::vector<std::int64_t> sessions;
  Results merged;
  std::string warning; // sessions on different kinds of machine
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

// The commit order of those revisions that the repository at `repo` holds, oldest
// first; empty when there is no repository (or no git).
std::map<std::string, std::size_t> commitRanks(const std::filesystem::path& repo,
                                               const std::vector<std::string>& revisions);

struct HistoryFilter {
  std::vector<std::string> programs; // globs; empty: all
  std::vector<std::string> configs;  // globs; empty: all
  CompareSettings settings;
};

// One (program, workload, configuration) at one revision.
struct HistoryRow {
  std::string program, workload, config, revision;
  std::size_t sessions = 0;
  std::size_t count = 0; // values of the metric
  double median = 0;
  stats::Interval interval;
  std::string failure;      // the unit failed at this revision: no measurement
  bool hasPrevious = false; // a revision before this one measured it
  ProgramComparison change; // against that revision, when there is one
};

// Rows grouped by program, workload and configuration, each group in the points' order.
// A revision where the unit failed has a row that says so, and the next measured
// revision is compared with the last one measured before it.
// A revision where the unit failed has a row that says so, and the next measured
// revision is compared with the last one measured before it.
std::vector<HistoryRow> history(const std::vector<RevisionPoint>& points,
                                const HistoryFilter& filter);

bool flagged(const HistoryRow& row);
Document historyDocument(const std::vector<HistoryRow>& rows,
                         const std::vector<RevisionPoint>& points, Metric metric);
// One small chart per program, workload and configuration: the median per revision
// with its interval, flagged changes in colour. An HTML fragment.
std::string trendCharts(const std::vector<HistoryRow>& all, Metric metric);

} // namespace bench32
