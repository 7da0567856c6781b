// The measuring session: the loop that runs every unit's program, warm-up first, then
// interleaved rounds of timed runs until each program's stopping rule holds, every run
// verified, and the collectors (collector.hpp) called around it. (The results it
// fills in are model/results.hpp; their row in a database is store/sessions.hpp.)
#pragma once

#include <vector>

#include "model/results.hpp"
#include "run/collector.hpp"
#include "run/unit.hpp"

namespace bench32 {

// The stopping rule, stated once: how many more timed runs a configuration of a program
// needs, given its wall times so far (0: enough). With --runs, exactly that many.
// Otherwise at least minRuns, and then more until minTime seconds have been timed or
// the median's 95% interval is within precision, never past maxRuns. With copies the
// counts are rounds of as many runs. It also makes the estimate of the time left.
double runsNeeded(const std::vector<double>& wall, const RunSettings& settings);
// Whether every configuration of a program has enough runs: they stop together.
bool enoughRuns(const std::vector<std::vector<double>>& walls, const RunSettings& settings);

// Measures the units, each of whose results is at its resultIndex in results, running
// every program through runner (exec's runProcess, outside tests). With copies, the
// runner is called from as many threads at once. Returns false when interrupted.
bool measureRounds(Results& results, const std::vector<PlannedUnit>& units,
                   const RunSettings& settings, const Runner& runner, const MeasureHooks& hooks);

} // namespace bench32
