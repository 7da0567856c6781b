// A history as people and tools read it: the table of every series' revisions, and
// small trend charts for the report.
#pragma once

#include <string>
#include <vector>

#include "analysis/history.hpp"
#include "output/table.hpp"

namespace bench32 {

Document historyDocument(const std::vector<HistoryRow>& rows,
                         const std::vector<RevisionPoint>& points, const CompareSettings& settings);
// One small chart per program, workload and configuration: the median per revision
// with its interval, flagged changes in colour. An HTML fragment.
std::string trendCharts(const std::vector<HistoryRow>& all, Metric metric);

} // namespace bench32
