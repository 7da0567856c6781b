// Planning a session: which programs, workloads and configurations, checked before
// anything is built or run, so that a mistake costs a second rather than an hour.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "build/build.hpp"
#include "exec/expectation.hpp"
#include "model/results.hpp"
#include "model/suite.hpp"
#include "run/options.hpp"
#include "run/unit.hpp"

namespace bench32 {

struct Plan {
  std::vector<ProgramInfo> programs;
  std::vector<std::string> workloads;
  // (program, workload) -> what the program is given and must produce.
  std::map<std::pair<std::string, std::string>, std::shared_ptr<const Expectation>> expected;
  std::vector<BuildRecipe> recipes;
  std::string anchor; // the anchor's configuration, when there is one
};

// The programs named (exactly, or by a glob such as "list*") and not excluded, in
// suite order. Throws BadInput for a name that matches nothing, with a "did you mean"
// when one differs only in case.
std::vector<ProgramInfo> selectPrograms(const std::vector<ProgramInfo>& all,
                                        const std::vector<std::string>& wanted,
                                        const std::vector<std::string>& excluded);

// Throws BadInput (or WriteError for an output file that cannot be written).
Plan makePlan(const RunOptions& options, const std::filesystem::path& source);

// The results file before the first run: every unit not-run, settings and machine noted.
Results startResults(const Plan& plan, const RunOptions& options,
                     const std::filesystem::path& source,
                     const std::vector<std::string>& commandLine);

// The run's shard and revision label, applied to its plan and its results before
// anything is built: a shard keeps its slice of the units (and builds only their
// programs), a label files the session under that revision.
void applyFleetOptions(Plan& plan, Results& results, const RunOptions& options);

// One run of the harness before anything is built: what it runs, the results it starts
// from, and the settings of its rounds.
struct Session {
  Plan plan;
  Results results;
  RunSettings settings; // the options' own, with the plan's decisions and anchor
};

// The plan checked (outputs, programs, workloads, configurations, profile-guided builds),
// the results started, the fleet options applied. Throws BadInput.
Session planSession(const RunOptions& options, const std::filesystem::path& source,
                    const std::vector<std::string>& commandLine);

} // namespace bench32
