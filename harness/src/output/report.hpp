// A self-contained HTML report: inline CSS, SVG charts and the tables' script inlined,
// nothing fetched when it is viewed.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "analysis/compare.hpp"

namespace bench32 {

// Two series the report compares: indices into its series, the base first.
struct SeriesPair {
  std::size_t base = 0, other = 0;
  bool operator==(const SeriesPair&) const = default;
};

// The comparisons a report shows. named: "BASE:OTHER" by the series' labels (a label may
// hold a colon itself), each one comparison. Else, with a baseline label, every other
// series against it. Else each configuration against itself in the nearest earlier file
// that has it (one revision against the one before), then, in the last file, each
// configuration against that file's first (configurations of one session); when that
// pairs nothing (files of different configurations), every series against the first.
// Throws BadInput for a label that names no series.
std::vector<SeriesPair> reportPairs(const std::vector<Series>& series,
                                    const std::vector<std::string>& named,
                                    const std::string& baseline);

// appendix: an HTML fragment for the end of the page (the history's charts). script: the
// tables' script (tableScript().html), or empty for tables that do not sort.
// explained: HTML added to a program's drill-down, by "PROGRAM/WORKLOAD" (its explain
// tables).
std::string htmlReport(const std::vector<Series>& series,
                       const std::vector<Comparison>& comparisons, const std::string& appendix = {},
                       const std::string& script = {},
                       const std::map<std::string, std::string>& explained = {});

} // namespace bench32
