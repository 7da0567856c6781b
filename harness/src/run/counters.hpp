// Instruction counts of one run: `perf stat` where the machine allows it, else
// valgrind's callgrind (some fifty times slower). The counted run is verified too.
#pragma once

#include <cstdint>
#include <string>

#include "run/collector.hpp"
#include "run/unit.hpp"

namespace bench32 {

struct InstructionCount {
  std::uint64_t count = 0;
  std::string source; // perf or callgrind
  std::string error;  // why there is no count
};

// "perf", "callgrind" or "" when neither works.
std::string instructionCounter(const Runner& runner);
InstructionCount countInstructions(const Runner& runner, const std::string& counter,
                                   const PlannedUnit& unit, const RunSettings& settings);

// The collector: one counted run of every unit that is ok, after the timed rounds; a
// note for a unit that has no count, and one when no counter works here. False when
// interrupted.
bool countAllInstructions(const Measuring& measuring);

} // namespace bench32
