// A measuring session: warm-up, interleaved repetition rounds until each program's
// stopping rule holds, every run verified, optional instruction counts.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "measure/unit.hpp"
#include "model/results.hpp"

namespace bench32 {

struct SessionHooks {
  std::function<void(const std::string&)> progress; // a status line, replaced as it changes
  std::function<void(const std::string&)> note;     // a line to keep
  std::function<void(const std::string&)> round;    // the start of a round, with the time left
  std::function<void()> checkpoint;                 // the results so far may be saved
};

// The stopping rule, stated once: how many more timed runs a configuration of a program
// needs, given its wall times so far (0: enough). With --runs, exactly that many.
// Otherwise at least minRuns, and then more until minTime seconds have been timed or
// the median's 95% interval is within precision, never past maxRuns. It also makes the
// estimate of the time left.
double runsNeeded(const std::vector<double>& wall, const RunSettings& settings);
// Whether every configuration of a program has enough runs: they stop together.
bool enoughRuns(const std::vector<std::vector<double>>& walls, const RunSettings& settings);

// Runs the session; returns false when it was interrupted.
bool runSession(Results& results, const std::vector<PlannedUnit>& units,
                const RunSettings& settings, const SessionHooks& hooks);

} // namespace bench32
