// Instruction counts of one run: `perf stat` where the machine allows it, else
// valgrind's callgrind (some fifty times slower). The counted run is verified too.
#pragma once

#include <cstdint>
#include <string>

#include "measure/unit.hpp"

namespace bench32 {

struct InstructionCount {
  std::uint64_t count = 0;
  std::string source; // perf or callgrind
  std::string error;  // why there is no count
};

std::string instructionCounter(); // "perf", "callgrind" or "" when neither works
InstructionCount countInstructions(const std::string& counter, const PlannedUnit& unit,
                                   const RunSettings& settings);

} // namespace bench32
