// A bisection's log (schema "bench32-bisect"): what was asked, the commits between the
// ends, what the ends measured, and every step's outcome, rewritten after each step so
// that an interrupted bisection goes on from it (bisect --resume) and reaches the same
// answer. harness/README.md describes the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/bisection.hpp"

namespace bench32 {

inline constexpr int bisectLogVersion = 1;

// What a bisection over a compiler's revisions is asked to do.
struct BisectRequest {
  std::string repo, good, bad; // good and bad as given
  std::string buildCommand;    // run by sh in the worktree
  std::string compiler;        // the compiler it makes, relative to the worktree
  std::string flags = "-O2";
  std::vector<std::string> programs; // names or globs; empty: all
  std::string workload = "ref";
  std::string metric = "cpu";
  double resolution = 0.02;   // time verdicts: equal within this
  double budgetSeconds = 300; // time verdicts: measuring time per step
  double buildTimeoutSeconds = 6 * 3600;
};

// One measured revision.
struct BisectStep {
  std::size_t index = 0; // in the log's commits
  Outcome outcome = Outcome::untested;
  std::string detail; // one line: the values, the verdicts, or why it was not classified
  // Exact metrics: each program's value; time: each moved program's ratio to the good end.
  std::map<std::string, double> values;
  std::string results;                 // the step's results file
  std::optional<std::int64_t> session; // its session in the database, when one was given
};

struct BisectLog {
  BisectRequest request;
  std::vector<std::string> commits; // good first, bad last
  bool endsMeasured = false;
  // The ends' builds of the suite, run beside every step: the good end's always, the bad
  // end's for an exact metric.
  std::string goodBuild, badBuild;
  std::string endsResults;                             // the results file of the ends' session
  std::map<std::string, double> goodValues, badValues; // exact metrics, as the ends measured
  // The programs the ends differ on, and for time which way ("slower" or "faster").
  std::map<std::string, std::string> moved;
  std::vector<BisectStep> steps;
};

// Every revision's outcome, the ends counted good and bad.
std::vector<Outcome> outcomesOf(const BisectLog& log);

std::string bisectLogText(const BisectLog& log);
// Throws BadInput with one line naming `what` for anything that is not such a log, or
// whose steps point outside its commits.
BisectLog parseBisectLog(std::string_view text, std::string_view what);
BisectLog loadBisectLog(const std::filesystem::path& file);

} // namespace bench32
