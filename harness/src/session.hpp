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
};

// One (configuration, program, workload) to measure; its result lives in the
// session's Results, at resultIndex.
struct PlannedUnit {
  std::shared_ptr<const Expectation> expected;
  std::filesystem::path executable;
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

// Whether the adaptive rule (or the fixed count) is satisfied by these wall times,
// each list being one configuration's samples of the same program.
bool enoughRuns(const std::vector<std::vector<double>>& walls, const RunSettings& settings);

// Runs the session; returns false when it was interrupted.
bool runSession(Results& results, const std::vector<PlannedUnit>& units,
                const RunSettings& settings, const SessionHooks& hooks);

// Counts the instructions of one run with perf (when the machine allows it) or
// callgrind; the run is verified too. Returns the count, or an error message.
struct InstructionCount {
  std::uint64_t count = 0;
  std::string source;
  std::string error;
};
std::string instructionCounter(); // "perf", "callgrind" or "" when neither works
InstructionCount countInstructions(const std::string& counter, const PlannedUnit& unit,
                                   const RunSettings& settings);

} // namespace bench32
