// A self-contained HTML report: inline CSS and SVG charts, no scripts, no network.
#pragma once

#include <string>
#include <vector>

#include "analysis/compare.hpp"

namespace bench32 {

// appendix: an HTML fragment for the end of the page (the history's charts).
std::string htmlReport(const std::vector<Series>& series,
                       const std::vector<Comparison>& comparisons,
                       const std::string& appendix = {});

} // namespace bench32
