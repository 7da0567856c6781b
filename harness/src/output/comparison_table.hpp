// A comparison as people and tools read it: its table, the summary under it, and the
// notes that say how far it can be trusted.
#pragma once

#include <string>
#include <vector>

#include "analysis/compare.hpp"
#include "output/table.hpp"

namespace bench32 {

Table comparisonTable(const Comparison& comparison);
std::string comparisonSummary(const Comparison& comparison);
// The table of each comparison, with its summary under it.
Document comparisonDocument(const std::vector<Comparison>& comparisons);
// A verdict-driven session's decisions: every configuration against its baseline, on
// the metric it was decided on.
Document decisionDocument(const Results& results);

// Lines that say how far a comparison can be trusted: identical binaries on both
// sides, sessions run under different conditions (load, governor, kernel, host), and
// runs that waited for a processor.
std::vector<std::string> noiseNotes(const Comparison& comparison);

} // namespace bench32
