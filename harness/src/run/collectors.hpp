// The table of collectors (the interface is in collector.hpp) and the calls that go
// through it.
#pragma once

#include <vector>

#include "run/collector.hpp"

namespace bench32 {

// Every collector, in the order they are called.
const std::vector<Collector>& collectors();

// Each calls the wanted collectors of its kind, in table order.
void collectRun(const RunSettings& settings, const RunResult& run, Sample& sample);
void collectBuilt(const RunSettings& settings, const PlannedUnit& unit, UnitResult& result);
// false when interrupted.
bool collectAllUnits(const Measuring& measuring, bool beforeRuns);

} // namespace bench32
