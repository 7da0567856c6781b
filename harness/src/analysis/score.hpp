// A machine's score: how fast it ran the suite against a reference machine's results,
// as one number, the geometric mean over the programs of reference ÷ measured (of a
// rate, where more is better: measured ÷ reference).
#pragma once

#include <string>
#include <vector>

#include "analysis/compare.hpp"
#include "analysis/stats.hpp"
#include "model/metrics.hpp"

namespace bench32 {

struct ProgramScore {
  std::string program;
  std::string workload;
  double reference = 0; // the reference's median
  double measured = 0;  // the scored series' median
  double ratio = 0;     // above 1: better than the reference (less time, more rate)
  stats::Interval interval;
};

struct Score {
  Series reference, measured;
  std::string referenceMachine, measuredMachine; // the machines the programs ran on
  Metric metric = Metric::wall;
  std::vector<ProgramScore> programs; // the reference's, in its order
  double score = 0;                   // geometric mean of the programs' ratios
  stats::Interval interval;           // the runs' uncertainty (the programs are fixed)
  // With earlier sessions at hand: the spread of their scores between sessions of the
  // same binaries (df 0: none), which the interval then covers too.
  stats::PooledSpread sessionSpread{0, 0};
};

// Scores one series against the reference. Throws BadInput, naming them, when the two
// do not hold the same programs and workloads with the same inputs, when a unit has no
// verified runs on either side, or when the metric is not measured per run.
Score score(const Series& reference, const Series& measured, Metric metric,
            double confidence = 0.95);

// The spread between sessions of a machine's score: the pooled standard deviation of
// the logs of the scores of stored sessions that ran the reference's work, grouped by
// configuration, run conditions and every program's binary (a group is one machine and
// build measured again). Busy sessions are left out, as from the noise model.
stats::PooledSpread sessionScoreSpread(const Series& reference,
                                       const std::vector<Results>& sessions, Metric metric);

// Widens a score's interval by a between-session spread: in logs, the runs' half-width
// and t(0.975, df) times the spread, added in quadrature.
void coverSessions(Score& score, const stats::PooledSpread& spread);

} // namespace bench32
