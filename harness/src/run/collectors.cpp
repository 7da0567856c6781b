#include "run/collectors.hpp"

#include "model/elf.hpp"
#include "model/suite.hpp"
#include "run/compile_timing.hpp"
#include "run/counters.hpp"

namespace bench32 {
namespace {

bool always(const RunSettings&) { return true; }

// Wall time on the monotonic clock; user and system time and peak RSS from wait4.
void timeAndMemory(const RunResult& run, Sample& sample) {
  sample.wall = run.wallSeconds;
  sample.user = run.userSeconds;
  sample.system = run.systemSeconds;
  sample.maxRssKiB = double(run.maxRssKiB);
}

// The program's section sizes (its first executable's), and each code layout's .text.
void sectionSizes(const PlannedUnit& unit, UnitResult& result) {
  result.textBytes = textSize(unit.executables.front());
  result.sections = allocatedSectionSizes(unit.executables.front());
  for (std::size_t k = 0; k < result.layouts.size() && k < unit.executables.size(); ++k)
    result.layouts[k].textBytes = textSize(unit.executables[k]);
}

const std::vector<Collector> table = {
    // Before the warm-up, while every unit is as built; never under the run prefix.
    {.name = "compile and link",
     .wanted = [](const RunSettings& s) { return s.compileRuns > 0; },
     .allUnits = measureCompiles,
     .beforeRuns = true},
    {.name = "time and memory", .wanted = always, .perRun = timeAndMemory},
    {.name = "section sizes", .wanted = always, .perUnit = sectionSizes},
    {.name = "instructions",
     .wanted = [](const RunSettings& s) { return s.instructions; },
     .allUnits = countAllInstructions},
};

} // namespace

const std::vector<Collector>& collectors() { return table; }

void collectRun(const RunSettings& settings, const RunResult& run, Sample& sample) {
  for (const Collector& c : table)
    if (c.perRun && c.wanted(settings)) c.perRun(run, sample);
}

void collectBuilt(const RunSettings& settings, const PlannedUnit& unit, UnitResult& result) {
  for (const Collector& c : table)
    if (c.perUnit && c.wanted(settings)) c.perUnit(unit, result);
}

bool collectAllUnits(const Measuring& measuring, bool beforeRuns) {
  for (const Collector& c : table)
    if (c.allUnits && c.beforeRuns == beforeRuns && c.wanted(measuring.settings) &&
        !c.allUnits(measuring))
      return false;
  return true;
}

} // namespace bench32
