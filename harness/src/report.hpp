// A self-contained HTML report: inline CSS and SVG charts, no scripts, no network.
#pragma once

#include <string>
#include <vector>

#include "compare.hpp"

namespace bench32 {

std::string htmlReport(const std::vector<Series>& series,
                       const std::vector<Comparison>& comparisons);

} // namespace bench32
