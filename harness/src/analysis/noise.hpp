// Between-session noise, learned from the sessions themselves. Two sessions that ran
// byte-identical binaries under the same conditions differ only by the machine's noise
// from one session to the next (its clock, its neighbours, where pages fell), so every
// such pair is a free A/A test. For each program, workload, configuration and set of
// run conditions, the model keeps the pooled spread of those sessions' values.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/stats.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"

namespace bench32 {

// What must be the same for two sessions' runs of one binary to be replicates: the kind
// of machine (CPU model, cores, architecture), the emulator or tool the programs ran
// under, and the processors they were pinned to.
std::string runConditions(const Results& results);

// The executable (and each code layout's) a unit ran, as one key; empty when unknown.
std::string binaryIdentity(const UnitResult& unit);

// Whether two units ran byte-identical binaries.
bool sameBinaries(const UnitResult& a, const UnitResult& b);

// One session's value of a unit: the log of its median (of layout medians, with code
// layouts), so that spreads are relative; NaN without measurements.
double sessionValue(const UnitResult& unit, Metric metric);

// Fewest degrees of freedom (sessions of identical binaries beyond the first of each)
// for a learned spread to be used.
inline constexpr int minNoiseDf = 3;

class NoiseModel {
public:
  // Learns from every unit of every session, grouping sessions by binary.
  static NoiseModel learn(const std::vector<Results>& sessions, Metric metric);

  // The spread for this unit, or df 0 when too few identical sessions were seen.
  stats::PooledSpread spread(const std::string& program, const std::string& workload,
                             const std::string& config, const std::string& conditions) const;

private:
  using Key = std::tuple<std::string, std::string, std::string, std::string>;
  std::map<Key, stats::PooledSpread> spreads_;
};

} // namespace bench32
