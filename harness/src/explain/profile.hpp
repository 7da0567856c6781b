// Why two builds of a program differ in instructions: one callgrind run of each on the
// same verified workload, its self cost per function, and the difference per function.
// The per-function figures add up to callgrind's own totals exactly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "explain/asm.hpp"
#include "model/elf.hpp"
#include "run/collector.hpp"
#include "run/unit.hpp"

namespace bench32 {

// One run's instructions: callgrind's total and each function's self cost.
struct FunctionProfile {
  std::uint64_t total = 0;
  std::map<std::string, std::uint64_t> self; // by function name
  std::string error;                         // why there is no profile
  InstructionCounts instructions;            // per instruction, when profileFunctions read them
};

// callgrind_annotate --inclusive=no output: the PROGRAM TOTALS line and one line per
// "file:function [object]". A function listed under several files (inlined code from a
// header) is summed under its name. An error when the lines do not add up to the total.
FunctionProfile parseAnnotated(const std::string& annotated);

// Runs the unit's program (layout 0) under callgrind, verifies the run, and reads the
// profile with callgrind_annotate and the count of every instruction from callgrind's
// file; an error when the two totals differ.
FunctionProfile profileFunctions(const Runner& runner, const PlannedUnit& unit,
                                 const RunSettings& settings);

struct FunctionDifference {
  std::string name;
  std::uint64_t a = 0, b = 0;
  std::int64_t difference = 0; // b - a
  double share = 0;            // of the total difference; 0 when that is 0
  bool onlyInA = false, onlyInB = false;
  std::uint64_t sizeA = 0, sizeB = 0; // bytes of code; 0 when not in that binary's symbols
};

// A function whose code size differs between the two binaries.
struct SizeChange {
  std::string name;
  std::uint64_t a = 0, b = 0; // 0: not in that binary
  std::int64_t difference = 0;
};

struct Explanation {
  std::uint64_t totalA = 0, totalB = 0;
  std::int64_t difference = 0;
  std::vector<FunctionDifference> functions; // largest |difference| first, then by name
  std::vector<SizeChange> sizeChanges;       // largest |difference| first, then by name
};

Explanation explainDifference(const FunctionProfile& a, const FunctionProfile& b);

// Each function's code size on both sides, and the up to `most` functions whose size
// changed most (those on one side only among them).
void addSizes(Explanation& e, const FunctionSizes& a, const FunctionSizes& b,
              std::size_t most = 10);

} // namespace bench32
