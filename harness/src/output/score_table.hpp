// Scores as people and tools read them: one line per scored machine and configuration,
// then each one's programs with their ratios against the reference.
#pragma once

#include <vector>

#include "analysis/score.hpp"
#include "output/table.hpp"

namespace bench32 {

Document scoreDocument(const std::vector<Score>& scores);

} // namespace bench32
