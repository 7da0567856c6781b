// `explain` as its steps: the program and workload, the two sides built (or taken from
// results files), each profiled, their difference per function, and the document with
// what was asked besides (source lines, disassembly), printed.
#pragma once

#include <filesystem>

#include "explain/sides.hpp"

namespace bench32 {

// Two profiled sides' difference per function, with each function's code size: what
// the tables of `explain` show (explanationDocument), for sides made any way.
Explanation sideDifference(const Side& a, const Side& b);

// The exit status: 0, or 1 when a side did not build or its profiled run failed.
// Throws BadInput for a request that cannot be explained.
int explainSession(const ExplainOptions& o, const std::filesystem::path& source);

} // namespace bench32
