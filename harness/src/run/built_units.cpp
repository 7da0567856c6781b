#include "run/built_units.hpp"

#include <unistd.h>

#include <algorithm>

#include <fmt/format.h>

#include "build/pgo.hpp"
#include "model/suite.hpp"
#include "run/collectors.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

// One input file per workload, shared by every configuration's runs.
std::map<std::pair<std::string, std::string>, std::shared_ptr<const MemoryFile>>
inputFiles(const Plan& plan) {
  std::map<std::pair<std::string, std::string>, std::shared_ptr<const MemoryFile>> inputs;
  for (const auto& [key, expected] : plan.expected) {
    auto file = std::make_shared<MemoryFile>("bench32-input");
    file->append(expected->input);
    inputs[key] = file;
  }
  return inputs;
}

// Builds one configuration as its kind calls for; the programs that failed, with why.
std::map<std::string, std::string> buildRecipe(BuildRecipe& recipe, const Plan& plan,
                                               const RunOptions& options,
                                               const BuildOptions& building) {
  std::vector<std::string> programNames;
  for (const auto& p : plan.programs) programNames.push_back(p.name);
  // An anchor is the same executables every session: never rebuilt.
  if (options.noBuild || recipe.kind == BuildKind::pinned) {
    describeBuild(recipe.info, building.runner);
    if (recipe.profileGuided) describeProfileGuided(recipe, programNames);
    return {};
  }
  if (!recipe.profileGuided) return buildPrograms(recipe, programNames, building);
  const TrainingOptions training{plan.programs, runConditions(options.settings)};
  return buildProfileGuided(recipe, training, building);
}

// A unit's executables (its code layouts' in order), or the reason it cannot run.
std::vector<fs::path> unitExecutables(UnitResult& u, const ConfigInfo& info, int layouts,
                                      const std::map<std::string, std::string>& buildFailures) {
  // A program's executable is named after its folder; its code layouts after both.
  std::vector<fs::path> executables;
  for (int k = 0; k < std::max(layouts, 1); ++k)
    executables.push_back(programExecutable(info, u.program, layouts > 0 ? k : -1));
  u.binary = executables.front().string();
  if (auto failure = buildFailures.find(u.program); failure != buildFailures.end())
    u.failure = failure->second;
  for (const auto& exe : executables)
    if (u.failure.empty() && access(exe.c_str(), X_OK) != 0)
      u.failure = fmt::format("no executable at {}", exe.string());
  return executables;
}

} // namespace

std::vector<PlannedUnit> buildUnits(Session& session, const RunOptions& options,
                                    const BuildOptions& building,
                                    const std::function<void(const std::string&)>& note,
                                    const std::function<void()>& saved) {
  Plan& plan = session.plan;
  Results& results = session.results;
  const int layouts = options.settings.layouts;
  const auto inputs = inputFiles(plan);
  std::vector<PlannedUnit> planned;
  for (auto& recipe : plan.recipes) {
    const auto buildFailures = buildRecipe(recipe, plan, options, building);
    // Every configuration is in the results from the start (a file saved mid-build names
    // each one its units name); its entry is completed once it is built.
    for (auto& c : results.configs)
      if (c.name == recipe.info.name) c = recipe.info;
    for (std::size_t i = 0; i < results.units.size(); ++i) {
      UnitResult& u = results.units[i];
      if (u.config != recipe.info.name) continue;
      const auto executables = unitExecutables(u, recipe.info, layouts, buildFailures);
      if (!u.failure.empty()) {
        u.status = Status::failed;
        note(failureLine(u));
        continue;
      }
      for (const auto& exe : executables) u.layouts.push_back({exe.string(), fileDigest(exe), {}});
      // The program's own binary is layout 0's; a session without layouts lists none.
      u.binaryXxh3 = u.layouts.front().xxh3;
      if (layouts == 0) u.layouts.clear();
      const std::pair key{u.program, u.workload};
      planned.push_back({plan.expected.at(key), inputs.at(key), executables, i});
      collectBuilt(session.settings, planned.back(), u);
    }
    saved();
  }
  return planned;
}

} // namespace bench32
