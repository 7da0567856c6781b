#include "analysis/score.hpp"

#include <cmath>
#include <map>
#include <set>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "analysis/noise.hpp"
#include "exec/errors.hpp"

namespace bench32 {
namespace {

using Key = std::pair<std::string, std::string>; // program, workload

std::map<Key, const UnitResult*> unitsOf(const Series& series) {
  std::map<Key, const UnitResult*> units;
  for (const auto& u : series.results->units)
    if (u.config == series.config) units[{u.program, u.workload}] = &u;
  return units;
}

std::vector<std::string> names(const std::vector<Key>& keys) {
  std::vector<std::string> out;
  for (const auto& [program, workload] : keys) out.push_back(program + "/" + workload);
  return out;
}

// The two sides hold the same units, measured on the same inputs: a score over fewer
// programs, or other work, would not be the same number.
void checkSameWork(const std::map<Key, const UnitResult*>& reference,
                   const std::map<Key, const UnitResult*>& measured, const Series& series) {
  std::vector<Key> missing, extra, otherInput, otherCopies;
  for (const auto& [key, unit] : reference) {
    const auto it = measured.find(key);
    if (it == measured.end())
      missing.push_back(key);
    else if (!unit->inputXxh3.empty() && !it->second->inputXxh3.empty() &&
             unit->inputXxh3 != it->second->inputXxh3)
      otherInput.push_back(key);
    else if (unit->copies != it->second->copies)
      otherCopies.push_back(key);
  }
  for (const auto& [key, unit] : measured)
    if (!reference.contains(key)) extra.push_back(key);
  if (!missing.empty())
    throw BadInput(fmt::format("{} lacks what the reference measured: {}", series.label,
                               fmt::join(names(missing), ", ")));
  if (!extra.empty())
    throw BadInput(fmt::format("{} measured what the reference did not: {}", series.label,
                               fmt::join(names(extra), ", ")));
  if (!otherInput.empty())
    throw BadInput(fmt::format("{} ran other inputs than the reference: {}", series.label,
                               fmt::join(names(otherInput), ", ")));
  if (!otherCopies.empty())
    throw BadInput(fmt::format("{} ran another number of copies at once than the reference: {}",
                               series.label, fmt::join(names(otherCopies), ", ")));
}

std::vector<double> verifiedValues(const UnitResult& unit, Metric metric, const Series& series) {
  std::vector<double> values = unit.ok() ? metricValues(unit, metric) : std::vector<double>{};
  if (values.empty())
    throw BadInput(fmt::format("{} has no verified runs of {}/{}{}", series.label, unit.program,
                               unit.workload, unit.failure.empty() ? "" : ": " + unit.failure));
  return values;
}

// The machine the programs ran on: the recorded target (a remote one's own), else the
// build host, which files written before targets were recorded ran on.
std::string machineOf(const Results& results) {
  const auto& t = results.ranOn;
  if (t.empty()) return machineKind(results.environment);
  auto value = [&](const char* key) {
    const auto it = t.find(key);
    return it == t.end() ? std::string() : it->second;
  };
  return fmt::format("{}, {} cores, {}", value("cpu"), value("cores"), value("machine"));
}

} // namespace

Score score(const Series& reference, const Series& measured, Metric metric, double confidence) {
  const MetricInfo& info = metricInfo(metric);
  if (!perRun(info) && !info.roundField)
    throw BadInput(fmt::format("a score is over a per-run metric; {} is not one", info.name));
  const auto referenceUnits = unitsOf(reference), measuredUnits = unitsOf(measured);
  if (referenceUnits.empty())
    throw BadInput(fmt::format("the reference {} holds no programs", reference.label));
  checkSameWork(referenceUnits, measuredUnits, measured);
  Score s{
      reference, measured, machineOf(*reference.results), machineOf(*measured.results), metric, {},
      0,         {}};
  stats::Pairs pairs;
  std::vector<double> ratios;
  for (const auto& [key, unit] : referenceUnits) {
    auto a = verifiedValues(*unit, metric, reference);
    auto b = verifiedValues(*measuredUnits.at(key), metric, measured);
    ProgramScore row{key.first, key.second, stats::median(a), stats::median(b), 0, {}};
    if (!(row.reference > 0 && row.measured > 0))
      throw BadInput(fmt::format("{}/{} has a median {} of 0", key.first, key.second, info.name));
    // Above 1 is better than the reference: less time, or a higher rate.
    if (info.higherIsBetter) std::swap(a, b);
    row.ratio = stats::median(a) / stats::median(b);
    row.interval = stats::ratioInterval(b, a, confidence);
    ratios.push_back(row.ratio);
    s.programs.push_back(row);
    pairs.emplace_back(std::move(a), std::move(b));
  }
  s.score = stats::geometric(ratios).mean;
  s.interval = stats::geometricRatioInterval(pairs, confidence);
  return s;
}

stats::PooledSpread sessionScoreSpread(const Series& reference,
                                       const std::vector<Results>& sessions, Metric metric) {
  const MetricInfo& info = metricInfo(metric);
  const auto referenceUnits = unitsOf(reference);
  std::map<std::string, std::vector<double>> groups;
  for (const auto& session : sessions) {
    for (const auto& config : session.configs) {
      const Series series{config.name, "", &session, config.name};
      const auto units = unitsOf(series);
      std::string key = runConditions(session) + "|" + config.name;
      double logs = 0;
      bool usable = units.size() == referenceUnits.size();
      for (const auto& [k, unit] : referenceUnits) {
        const auto it = units.find(k);
        if (!usable || it == units.end() || !it->second->ok() || disturbed(*it->second) ||
            it->second->inputXxh3 != unit->inputXxh3 || binaryIdentity(*it->second).empty()) {
          usable = false;
          break;
        }
        const double a = stats::median(metricValues(*unit, metric));
        const double b = stats::median(metricValues(*it->second, metric));
        if (!(a > 0 && b > 0)) {
          usable = false;
          break;
        }
        logs += info.higherIsBetter ? std::log(b / a) : std::log(a / b);
        key += "|" + binaryIdentity(*it->second);
      }
      if (usable && !referenceUnits.empty())
        groups[key].push_back(logs / double(referenceUnits.size()));
    }
  }
  std::vector<std::vector<double>> values;
  for (auto& [key, group] : groups) values.push_back(std::move(group));
  return stats::pooledSpread(values);
}

void coverSessions(Score& s, const stats::PooledSpread& spread) {
  s.sessionSpread = spread;
  if (spread.df < minNoiseDf || !(s.score > 0) || !(s.interval.low > 0)) return;
  const double runs = (std::log(s.interval.high) - std::log(s.interval.low)) / 2;
  const double sessions = stats::studentQuantile(0.975, spread.df) * spread.sd;
  const double half = std::sqrt(runs * runs + sessions * sessions);
  s.interval = {s.score * std::exp(-half), s.score * std::exp(half)};
}

} // namespace bench32
