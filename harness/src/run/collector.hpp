// What a measuring loop gathers, one collector per kind of measurement. Each collector
// fills in metrics of model/metrics.cpp (fields of a run's Sample or of a UnitResult)
// at one of three points, and only when wanted(settings) says so:
//   perRun    after every verified run, warm-ups included: from how the process ran into
//             the run's Sample (time and memory);
//   perUnit   once per unit as soon as its executables are built, before any run: facts
//             of the executables (section sizes);
//   allUnits  once over every unit, before the warm-up or after the last timed round:
//             a measurement with runs of its own, ordered across units and
//             configurations as it likes, each run through the context's runner
//             (instruction counts). Returns false when interrupted.
// The collectors are the rows of a table (collectors.cpp), called in its order: a new
// metric is a row of the metrics table (model/metrics.cpp) and a collector that fills it
// in, either a new row there or a field more in an existing one.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "exec/process.hpp"
#include "model/results.hpp"
#include "run/unit.hpp"

namespace bench32 {

// How far a measuring loop is, after each run: the runs done and in all (the total as far
// as the stopping rule can tell yet: adaptive runs may add to it), the seconds since the
// loop started, and the seconds the runs left need at the pace each unit has shown so far
// (negative: not known yet), with the unit last run.
struct Advance {
  std::size_t done = 0, total = 0;
  double elapsed = 0, left = -1;
  std::string unit;
};

// How a measuring loop tells what it is doing; each may be left empty.
struct MeasureHooks {
  std::function<void(const Advance&)> advance;      // after every run of the rounds
  std::function<void(const std::string&)> progress; // a status line, replaced as it changes
  std::function<void(const std::string&)> note;     // a line to keep
  std::function<void(const std::string&)> round;    // the start of a round, with the time left
  std::function<void()> checkpoint;                 // the results so far may be saved
};

// One measuring loop: its units, their results, its settings and how it runs a program.
struct Measuring {
  Results& results;
  const std::vector<PlannedUnit>& units;
  const RunSettings& settings;
  const Runner& runner;
  const MeasureHooks& hooks;
  // Where the session's times of runs start: copies' starts and ends are counted from it.
  std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();

  UnitResult& result(const PlannedUnit& unit) const { return results.units[unit.resultIndex]; }
  std::string label(const PlannedUnit& unit) const; // "config program/workload"
  void progress(const std::string& line) const;
  void note(const std::string& line) const;
  void checkpoint() const;
};

// One row of the table: its name, when it is wanted, and one of the three functions.
struct Collector {
  const char* name;
  bool (*wanted)(const RunSettings& settings);
  void (*perRun)(const RunResult& run, Sample& sample) = nullptr;
  void (*perUnit)(const PlannedUnit& unit, UnitResult& result) = nullptr;
  bool (*allUnits)(const Measuring& measuring) = nullptr;
  bool beforeRuns = false; // allUnits: before the warm-up rather than after the rounds
};

} // namespace bench32
