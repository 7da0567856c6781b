// `bisect` over a compiler's revisions as its steps: the ends built and shown to differ,
// then one revision at a time checked out in a worktree, the compiler built there, the
// suite built with it, measured and classified against the ends, until the first bad
// revision is found; the log rewritten after every step.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "run/bisect_log.hpp"
#include "run/collector.hpp"

namespace bench32 {

struct RevisionBisectOptions {
  BisectRequest request; // unused with resume: the log's is taken
  std::string work; // the worktree, the builds, the logs (empty: the source tree's build/bisect)
  std::string log;  // the bisect log (empty: WORK/bisect.json)
  std::string db;   // every step's session is also written there
  bool resume = false;
  int jobs = 0;
};

// Prints a line per step to standard output, then the first bad revision and the explain
// table between it and the last good one. The exit status: 0 when the first bad revision
// is found, 1 when the ends do not differ or only unclassified revisions are left, 130 on
// an interrupt (the log keeps every finished step). Throws BadInput for a request that
// cannot be bisected.
int bisectRevisions(const RevisionBisectOptions& options, const std::filesystem::path& source,
                    const std::vector<std::string>& commandLine, const MeasureHooks& console);

} // namespace bench32
