// A session's configurations built as their kinds call for (plain, profile-guided, or
// run as they are), and a unit planned for every program that built: its executables
// (one per code layout), their digests, its input, and the facts of its executables.
#pragma once

#include <functional>
#include <vector>

#include "build/build.hpp"
#include "run/plan.hpp"
#include "run/unit.hpp"

namespace bench32 {

// Builds each configuration in turn; a unit whose program did not build, or whose
// executable is missing, is failed with one line through `note`. `saved` is called
// after each configuration, its units complete. Throws BuildError when a whole
// configuration cannot be built.
std::vector<PlannedUnit> buildUnits(Session& session, const RunOptions& options,
                                    const BuildOptions& building,
                                    const std::function<void(const std::string&)>& note,
                                    const std::function<void()>& saved);

} // namespace bench32
