// A measuring session: warm-up, interleaved repetition rounds until each program's
// stopping rule holds, every run verified, optional instruction counts.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "expectation.hpp"
#include "results.hpp"

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
  // > 0: every program is run in this many code layouts, each run with a random
  // environment padding; the run counts above are then per layout.
  int layouts = 0;
  std::vector<int> cpus; // the processors every program runs on; empty: the harness's
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

struct SessionHooks {
  std::function<void(const std::string&)> progress; // a status line, replaced as it changes
  std::function<void(const std::string&)> note;     // a line to keep
  std::function<void(const std::string&)> round;    // the start of a round, with the time left
  std::function<void()> checkpoint;                 // the results so far may be saved
};

// Set by SIGINT/SIGTERM: the running program is killed and the session stops.
const std::atomic<bool>& interruptFlag();
void installInterruptHandler();

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

// The request that runs a unit's program (code layout `layout`) once, on its input.
RunRequest runRequest(const PlannedUnit& unit, const RunSettings& settings, int layout = 0);

// The environment padding of a run in a session with code layouts: uniform over 0 to
// 4096 characters.
std::size_t randomPadding();

} // namespace bench32
