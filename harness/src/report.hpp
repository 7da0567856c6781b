// A self-contained HTML report: inline CSS and SVG charts, no scripts, no network.
#pragma once

#include <string>
#include <vector>

#include "compare.hpp"

namespace bench32 {

std::string htmlReport(const std::vector<Series>& series,
                       const std::vector<Comparison>& comparisons);

// Text made safe for HTML and SVG content and attributes.
std::string escapeHtml(const std::string& text);

} // namespace bench32
