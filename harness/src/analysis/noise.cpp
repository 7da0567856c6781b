#include "analysis/noise.hpp"

#include <cmath>

#include <fmt/format.h>

namespace bench32 {
std::string runConditions(const Results& results) {
  std::string conditions = machineKind(results.environment);
  if (!results.runUnder.empty()) conditions += "; under " + results.runUnder;
  if (const auto it = results.environment.find("cpu_affinity"); it != results.environment.end())
    conditions += "; on processors " + it->second;
  return conditions;
}

std::string binaryIdentity(const UnitResult& unit) {
  if (unit.binaryXxh3.empty()) return {};
  std::string identity = unit.binaryXxh3;
  for (const auto& layout : unit.layouts) identity += "/" + layout.xxh3;
  return identity;
}

bool sameBinaries(const UnitResult& a, const UnitResult& b) {
  const std::string identity = binaryIdentity(a);
  return !identity.empty() && identity == binaryIdentity(b);
}

double sessionValue(const UnitResult& unit, Metric metric) {
  auto layouts = layoutGroups(unit, metric);
  if (layouts.empty()) layouts = {metricValues(unit, metric)};
  const double value = stats::layoutMedian(layouts);
  return value > 0 ? std::log(value) : std::nan("");
}

NoiseModel NoiseModel::learn(const std::vector<Results>& sessions, Metric metric) {
  // (program, workload, config, conditions) -> binary -> one value per session.
  std::map<Key, std::map<std::string, std::vector<double>>> values;
  for (const auto& session : sessions) {
    const std::string conditions = runConditions(session);
    for (const auto& unit : session.units) {
      const std::string binary = binaryIdentity(unit);
      // A session of a busy machine would set the noise of every program it slowed.
      if (!unit.ok() || binary.empty() || disturbed(unit)) continue;
      if (const double v = sessionValue(unit, metric); std::isfinite(v))
        values[{unit.program, unit.workload, unit.config, conditions}][binary].push_back(v);
    }
  }
  NoiseModel model;
  for (const auto& [key, byBinary] : values) {
    std::vector<std::vector<double>> groups;
    for (const auto& [binary, group] : byBinary) groups.push_back(group);
    model.spreads_[key] = stats::pooledSpread(groups);
  }
  return model;
}

stats::PooledSpread NoiseModel::spread(const std::string& program, const std::string& workload,
                                       const std::string& config,
                                       const std::string& conditions) const {
  const auto it = spreads_.find({program, workload, config, conditions});
  if (it == spreads_.end() || it->second.df < minNoiseDf) return {std::nan(""), 0};
  return it->second;
}

} // namespace bench32
