#include "analysis/anchor.hpp"

#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "analysis/noise.hpp"
#include "analysis/stats.hpp"

namespace bench32 {
namespace {

using Key = std::tuple<std::string, std::string, std::string>; // program, workload, binary

// The anchor's value of a program in one session (its median), or NaN.
double anchorValue(const UnitResult& unit, Metric metric) {
  return unit.ok() ? std::exp(sessionValue(unit, metric)) : std::nan("");
}

Key keyOf(const UnitResult& anchor) {
  return {anchor.program, anchor.workload, binaryIdentity(anchor)};
}

void scale(Sample& s, Metric metric, double factor) {
  switch (metric) {
  case Metric::wall:
    s.wall *= factor;
    break;
  case Metric::user:
    s.user *= factor;
    break;
  case Metric::system:
    s.system *= factor;
    break;
  case Metric::cpu:
    s.user *= factor;
    s.system *= factor;
    break;
  default:
    break;
  }
}

} // namespace

bool anchorable(Metric metric) {
  return metric == Metric::wall || metric == Metric::user || metric == Metric::system ||
         metric == Metric::cpu;
}

std::string anchorSessions(std::vector<Results>& sessions, Metric metric) {
  if (!anchorable(metric)) return {};
  // The anchor's typical value of each program, per anchor binary.
  std::map<Key, std::vector<double>> seen;
  std::set<std::string> names;
  std::size_t anchored = 0;
  for (const auto& session : sessions) {
    if (session.anchor.empty()) continue;
    for (const auto& unit : session.units)
      if (unit.config == session.anchor)
        if (const double v = anchorValue(unit, metric); v > 0) seen[keyOf(unit)].push_back(v);
  }
  std::map<Key, double> typical;
  for (const auto& [key, values] : seen) typical[key] = stats::median(values);
  if (typical.empty()) return {};

  for (auto& session : sessions) {
    if (session.anchor.empty()) continue;
    bool used = false;
    for (auto& unit : session.units) {
      if (unit.config == session.anchor || !unit.ok()) continue;
      const UnitResult* anchor = session.find(session.anchor, unit.program, unit.workload);
      if (!anchor) continue;
      const double v = anchorValue(*anchor, metric);
      const auto t = typical.find(keyOf(*anchor));
      if (!(v > 0) || t == typical.end()) continue;
      for (Sample& s : unit.samples) scale(s, metric, t->second / v);
      used = true;
    }
    if (used) {
      ++anchored;
      names.insert(session.anchor);
    }
  }
  if (anchored == 0) return {};
  return fmt::format(
      "{} relative to anchor {}: in each of the {} of {} sessions that ran it, every "
      "other configuration's runs are scaled by the anchor's usual {} over its {} "
      "in that session, so that the session's own shift cancels",
      metricInfo(metric).name, fmt::join(names, ", "), anchored, sessions.size(),
      metricInfo(metric).name, metricInfo(metric).name);
}

} // namespace bench32
