// `explain` as its steps: the program and workload, the two sides built (or taken from
// results files), each profiled, their difference per function, and the document with
// what was asked besides (source lines, disassembly), printed.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "analysis/compare.hpp"
#include "explain/sides.hpp"

namespace bench32 {

// Two profiled sides' difference per function, with each function's code size: what
// the tables of `explain` show (explanationDocument), for sides made any way.
Explanation sideDifference(const Side& a, const Side& b);

// For each program that a comparison flags (slower or faster), the explain tables between
// its two binaries as they were measured, profiled under callgrind on the smoke workload:
// HTML by "PROGRAM/WORKLOAD". A program whose binaries are gone or changed, or whose
// profiled run fails, gets a line saying why instead.
std::map<std::string, std::string> explainedChanges(const std::vector<Comparison>& comparisons,
                                                    const std::filesystem::path& source);

// The exit status: 0, or 1 when a side did not build or its profiled run failed.
// Throws BadInput for a request that cannot be explained.
int explainSession(const ExplainOptions& o, const std::filesystem::path& source);

} // namespace bench32
