// One thing to measure and the settings it is measured with: what the session runs
// and what every collector of a measurement is given.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "model/results.hpp"

namespace bench32 {

struct RunSettings {
  int warmup = 1;
  int runs = 0; // a fixed count when > 0; otherwise the adaptive rule below
  int minRuns = 5;
  int maxRuns = 200;
  double minTime = 2.0;    // seconds of timed runs per program and configuration
  double precision = 0.01; // target half-width of the median's 95% interval, relative
  double timeout = 120;    // seconds per run
  std::vector<std::string> runUnder;
  bool instructions = false;
  int compileRuns = 0; // rounds of measured compiles of every program (0: none)
  // > 0: every program is run in this many code layouts, each run with a random
  // environment padding; the run counts above are then per layout.
  int layouts = 0;
  std::vector<int> cpus; // the processors every program runs on; empty: the harness's
  // Copies of the program started at once for each run, each verified; with cpus, copy
  // i runs on cpus[i % cpus.size()] alone. The run counts above are then per round.
  int copies = 1;
  // Verdict-driven rounds: each program runs until every configuration's comparison with
  // the baseline is decided, or the budget is spent (rounds.hpp).
  std::optional<DecidePlan> decide;
  // The anchor's configuration (run --anchor): it runs on every round of its programs, but
  // is not itself decided unless it is the baseline.
  std::string anchor;
  // Programs run at once (copies, a duet) pass a start gate together: only where the
  // runner starts them here (a remote target's timer starts its own).
  bool startGate = false;
  // Duet: the configurations of a program run at the same moment, each on a processor
  // of its own (of cpus, else all this process may use), rotating every round.
  bool duet = false;
};

// One (configuration, program, workload) to measure; its result lives in the
// session's Results, at resultIndex.
struct PlannedUnit {
  std::shared_ptr<const Expectation> expected;
  std::shared_ptr<const MemoryFile> input; // the expected input, written once
  // The program, or each of its code layouts in order.
  std::vector<std::filesystem::path> executables;
  std::size_t resultIndex = 0;
};

// The prefix, timeout and processors of the settings.
RunConditions runConditions(const RunSettings& settings);
// The request that runs a unit's program (code layout `layout`) once, on its input.
RunRequest programRequest(const PlannedUnit& unit, const RunSettings& settings, int layout = 0);

// The environment padding of a run in a session with code layouts: uniform over 0 to
// 4096 characters.
std::size_t randomPadding();

} // namespace bench32
