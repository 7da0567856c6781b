// Comparing two series of results (two configurations, or two sessions) program by
// program: ratio of medians with a confidence interval, a rank test, and a geometric
// summary.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/noise.hpp"
#include "analysis/sequential.hpp"
#include "analysis/stats.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"

namespace bench32 {

// One configuration of one results file.
struct Series {
  std::string label;
  std::string file;
  const Results* results = nullptr;
  std::string config;
};

// Every configuration of every file, labelled by its configuration name, or by
// "FILE:CONFIG" when that name appears in more than one file.
std::vector<Series> collectSeries(const std::vector<Results>& files,
                                  const std::vector<std::string>& fileNames);

// Triage states of flagged changes: (revision, program, workload, config) -> state.
using TriageStates =
    std::map<std::tuple<std::string, std::string, std::string, std::string>, std::string>;

struct CompareSettings {
  Metric metric = Metric::wall;
  double alpha = 0.01;     // significance level of the rank test
  double minEffect = 0.02; // smaller relative differences are never flagged
  int minSamples = 5;      // fewer samples on either side: never flagged
  int minLayouts = 3;      // with code layouts: fewer layouts on either side: never flagged
  double confidence = 0.95;
  // Between-session noise learned from a results database: a difference between two
  // sessions is flagged only beyond it. Null: none (a comparison within one session
  // needs none).
  const NoiseModel* noise = nullptr;
  // How many programs are judged against the noise at once: each is held at level
  // alpha / noiseFamily, so that all together are falsely flagged with probability at
  // most alpha. 0: the programs of the comparison whose binaries differ.
  std::size_t noiseFamily = 0;
  // The states of changes of the other side's revision, from a results database.
  const TriageStates* states = nullptr;
  // Verdicts to a resolution as well (run --decide, or compare --resolution): by the
  // sequential rule on runs paired by round, so only between configurations of one
  // session. Null: none.
  const DecidePlan* decide = nullptr;
};

// What a comparison concludes for one program. sameBinary: both sides ran byte-identical
// binaries under the same conditions, so any difference is noise by construction;
// shift: the program moved with every other program of its session (history only).
enum class Change { faster, same, slower, tooFewRuns, sameBinary, shift };

struct ProgramComparison {
  std::string program;
  std::string workload;
  std::string problem; // why there is no ratio (missing, failed, no samples), else empty
  bool inBoth = false; // measured (or attempted) on both sides
  std::size_t baseCount = 0, otherCount = 0;
  double baseMedian = 0, otherMedian = 0;
  // other / base: above 1 means the other is slower (or larger); base / other for a
  // metric where more is better (a rate), so that above 1 still means slower.
  double ratio = 0;
  stats::Interval interval;
  double p = 1;
  Change verdict = Change::tooFewRuns;
  // With code layouts on both sides: how many, and how far each side's layouts and runs
  // spread (the medians and the test above are then the two-level ones).
  std::size_t baseLayouts = 0, otherLayouts = 0;
  stats::LayoutSpread baseSpread, otherSpread;
  bool layoutSensitive = false; // on either side
  // With several sessions on a side, each side's sessions (the medians and the test
  // above are then the session-level ones).
  std::size_t baseSessions = 1, otherSessions = 1;
  // Between two sessions: the learned between-session spread (df 0: none learned), the
  // largest difference of the sides' mean session logs it explains (the smallest step
  // the row could flag), and what it did to the verdict.
  stats::PooledSpread noise{0, 0};
  double noiseLimit = 0;
  bool insideNoise = false; // significant within the sessions, but inside their noise
  // Between sessions on wall time: a side whose runs waited for a processor more than
  // disturbedShare of their time; its flag is withdrawn (the waiting moved it, not the code).
  double disturbedShare = 0;
  bool withinSessionOnly = false; // flagged with no learned spread to check it against
  std::string state;              // a flagged change's triage state, when it has one
  // The verdict to a resolution, when one was asked for and the runs pair up (an open
  // comparison at the end of its session is undecided).
  std::optional<PairedDecision> decision;
};

// The smallest change a row could flag, relative: the larger of the rule's smallest
// effect and the step the session noise explains; NaN without a learned noise.
double detectableStep(const ProgramComparison& row, const CompareSettings& settings);

// A triage state that takes a change out of the --fail-above gate.
bool waived(const std::string& state);

struct Comparison {
  Series base, other;
  Metric metric = Metric::wall;
  std::vector<ProgramComparison> programs;
  stats::Geometric geometric; // over the programs that have a ratio
  std::size_t ratios = 0;
  std::size_t flagged = 0; // significantly different
  // Programs the baseline measured that failed, or are missing, on the other side:
  // each counts against a gate as a failure.
  std::vector<std::string> lost;
  bool layouts = false; // some program was compared layout by layout
  // Programs whose two executables are byte for byte the same: their differences are
  // noise.
  std::size_t identicalBinaries = 0;
  bool sameConditions = true; // the two sides ran on the same kind of machine, alike
  bool acrossSessions = false;
  bool noiseModel = false; // a learned between-session spread was at hand
  std::size_t insideNoise = 0, withinSessionOnly = 0;
  std::optional<DecidePlan> decide; // the plan of the decisions, when the rows have them
};

Comparison compare(const Series& base, const Series& other, const CompareSettings& settings);

std::string changeName(Change change);

// Whether the comparison is over the gate: a program lost on the other side, or the
// geometric mean ratio, or any significantly slower program's ratio, above 1 + threshold.
bool exceeds(const Comparison& comparison, double threshold);

} // namespace bench32
