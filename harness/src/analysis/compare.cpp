#include "analysis/compare.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace bench32 {

std::vector<Series> collectSeries(const std::vector<Results>& files,
                                  const std::vector<std::string>& fileNames) {
  std::map<std::string, int> seen;
  for (const auto& f : files)
    for (const auto& c : f.configs) ++seen[c.name];
  std::vector<Series> series;
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (const auto& c : files[i].configs) {
      std::string label = c.name;
      if (seen[c.name] > 1) label = fmt::format("{}:{}", fileNames[i], c.name);
      // The same file given twice still gives two series that can be told apart.
      for (int n = 2; std::any_of(series.begin(), series.end(),
                                  [&](const Series& s) { return s.label == label; });
           ++n)
        label = fmt::format("{}:{}#{}", fileNames[i], c.name, n);
      series.push_back({label, fileNames[i], &files[i], c.name});
    }
  }
  return series;
}

bool waived(const std::string& state) { return state == "accepted" || state == "false-positive"; }

namespace {

// The rule that flags a difference, whichever test gave its evidence.
Change verdict(bool enough, bool significant, double ratio) {
  if (!enough) return Change::tooFewRuns;
  if (!significant) return Change::same;
  return ratio > 1 ? Change::slower : Change::faster;
}

// A side's sessions for the session-level statistics: one session when its runs carry
// none.
stats::Sessions sessionsOf(const UnitResult& unit, Metric metric) {
  auto sessions = sessionGroups(unit, metric);
  if (!sessions.empty()) return sessions;
  auto layouts = layoutGroups(unit, metric);
  if (layouts.empty()) layouts = {metricValues(unit, metric)};
  return {layouts};
}

// The mean of a side's session values (logs of session medians).
double meanSessionValue(const stats::Sessions& sessions) {
  std::vector<double> values;
  for (const auto& layouts : sessions)
    if (const double m = stats::layoutMedian(layouts); m > 0) values.push_back(std::log(m));
  return stats::mean(values);
}

// Holds a difference between two sessions against the learned between-session noise:
// it stays flagged only when the sessions' means differ by more than the noise explains.
void checkAgainstNoise(ProgramComparison& row, const stats::Sessions& sa, const stats::Sessions& sb,
                       const Series& base, const Series& other, const CompareSettings& settings,
                       std::size_t family) {
  const bool flaggedHere = row.verdict == Change::slower || row.verdict == Change::faster;
  row.noise = settings.noise->spread(row.program, row.workload, other.config,
                                     runConditions(*other.results));
  if (row.noise.df == 0)
    row.noise = settings.noise->spread(row.program, row.workload, base.config,
                                       runConditions(*base.results));
  if (row.noise.df == 0) {
    row.withinSessionOnly = flaggedHere;
    return;
  }
  row.noiseLimit =
      stats::noiseThreshold(row.noise, sa.size(), sb.size(), settings.alpha / double(family));
  const double difference = meanSessionValue(sb) - meanSessionValue(sa);
  const bool beyond = std::fabs(difference) > row.noiseLimit && (difference > 0) == (row.ratio > 1);
  if (flaggedHere && !beyond) {
    row.verdict = Change::same;
    row.insideNoise = true;
  }
}

} // namespace

Comparison compare(const Series& base, const Series& other, const CompareSettings& settings) {
  Comparison result;
  result.base = base;
  result.other = other;
  result.metric = settings.metric;
  result.acrossSessions = base.results != other.results;
  result.sameConditions = runConditions(*base.results) == runConditions(*other.results);
  result.noiseModel = settings.noise != nullptr;
  std::set<std::pair<std::string, std::string>> keys;
  for (const auto* series : {&base, &other})
    for (const auto& u : series->results->units)
      if (u.config == series->config) keys.insert({u.program, u.workload});
  // The programs judged against the noise together: those whose binaries differ.
  std::size_t family = settings.noiseFamily;
  if (family == 0)
    for (const auto& [program, workload] : keys) {
      const UnitResult* a = base.results->find(base.config, program, workload);
      const UnitResult* b = other.results->find(other.config, program, workload);
      family += a && b && a->ok() && b->ok() && !sameBinaries(*a, *b);
    }
  family = std::max<std::size_t>(family, 1);
  std::vector<double> ratios;
  for (const auto& [program, workload] : keys) {
    ProgramComparison row;
    row.program = program;
    row.workload = workload;
    const UnitResult* a = base.results->find(base.config, program, workload);
    const UnitResult* b = other.results->find(other.config, program, workload);
    const auto va = a ? metricValues(*a, settings.metric) : std::vector<double>{};
    const auto vb = b ? metricValues(*b, settings.metric) : std::vector<double>{};
    row.baseCount = va.size();
    row.otherCount = vb.size();
    // What the baseline measured and the other side did not is a failure, not a gap.
    if (a && a->ok() && (!b || !b->ok()))
      result.lost.push_back(fmt::format("{}/{}", program, workload));
    row.inBoth = a && b;
    if (!a || !b) {
      row.problem = fmt::format("only in {}", a ? base.label : other.label);
    } else if (!a->ok() || !b->ok()) {
      row.problem = fmt::format("{} in {}", statusName(a->ok() ? b->status : a->status),
                                a->ok() ? other.label : base.label);
    } else if (!a->inputXxh3.empty() && !b->inputXxh3.empty() && a->inputXxh3 != b->inputXxh3) {
      row.problem = "different inputs";
    } else if (va.empty() || vb.empty()) {
      row.problem = fmt::format("no {} measurements", metricInfo(settings.metric).name);
    }
    if (!row.problem.empty()) {
      result.programs.push_back(row);
      continue;
    }
    const auto la = layoutGroups(*a, settings.metric), lb = layoutGroups(*b, settings.metric);
    const auto sa = sessionsOf(*a, settings.metric), sb = sessionsOf(*b, settings.metric);
    row.baseSessions = sa.size();
    row.otherSessions = sb.size();
    const bool bySession = sa.size() > 1 || sb.size() > 1;
    const bool twoLevel = !la.empty() && !lb.empty();
    row.baseMedian = bySession  ? stats::sessionMedian(sa)
                     : twoLevel ? stats::layoutMedian(la)
                                : stats::median(va);
    row.otherMedian = bySession  ? stats::sessionMedian(sb)
                      : twoLevel ? stats::layoutMedian(lb)
                                 : stats::median(vb);
    if (!(row.baseMedian > 0) || !(row.otherMedian > 0)) {
      row.problem = "a median of zero";
      result.programs.push_back(row);
      continue;
    }
    row.ratio = row.otherMedian / row.baseMedian;
    if (sameBinaries(*a, *b)) ++result.identicalBinaries;
    ratios.push_back(row.ratio);
    const bool bigEnough = std::fabs(row.ratio - 1) >= settings.minEffect;
    const bool enoughRuns =
        int(va.size()) >= settings.minSamples && int(vb.size()) >= settings.minSamples;
    if (metricInfo(settings.metric).exact) {
      // Exact counts: no sampling error, only the effect size decides.
      row.interval = {row.ratio, row.ratio};
      row.p = row.ratio == 1 ? 1 : 0;
      row.verdict = verdict(true, bigEnough, row.ratio);
    } else if (bySession) {
      // The sessions are the replicates: see stats::sessionRatio.
      const auto test = stats::sessionRatio(sa, sb, settings.confidence);
      row.interval = test.interval;
      row.p = test.p;
      row.verdict = verdict(enoughRuns, row.p < settings.alpha && bigEnough, row.ratio);
    } else if (twoLevel) {
      // The layouts are the replicates: see stats::layoutRatio.
      result.layouts = true;
      row.baseLayouts = la.size();
      row.otherLayouts = lb.size();
      row.baseSpread = stats::layoutSpread(la);
      row.otherSpread = stats::layoutSpread(lb);
      row.layoutSensitive =
          stats::layoutSensitive(row.baseSpread) || stats::layoutSensitive(row.otherSpread);
      const auto test = stats::layoutRatio(la, lb, settings.confidence);
      row.interval = test.interval;
      row.p = test.p;
      const bool enough = enoughRuns && int(la.size()) >= settings.minLayouts &&
                          int(lb.size()) >= settings.minLayouts;
      row.verdict = verdict(enough, row.p < settings.alpha && bigEnough, row.ratio);
    } else {
      row.interval = stats::ratioInterval(va, vb, settings.confidence);
      // The rank test's direction (U of the baseline below its mean: the other side's
      // runs tend to be the larger) must agree with the ratio's: with two-peaked samples
      // the medians can point one way while most pairs point the other.
      const auto test = stats::mannWhitney(va, vb);
      row.p = test.p;
      const bool rankSaysSlower = test.u < double(va.size() * vb.size()) / 2;
      const bool agree = rankSaysSlower == (row.ratio > 1);
      row.verdict = verdict(enoughRuns, row.p < settings.alpha && bigEnough && agree, row.ratio);
    }
    if (settings.states)
      if (const auto it = settings.states->find(
              {revisionOf(other.results->environment), program, workload, other.config});
          it != settings.states->end())
        row.state = it->second;
    // Byte-identical binaries under the same conditions: whatever moved, it was not the
    // code. (Across machines the difference is the machines', which is the point there.)
    // (A compile's time is the compiler's, not the code's: two compilers that give the
    // same binary may still take different times to do it.)
    if (sameBinaries(*a, *b) && result.sameConditions && !metricInfo(settings.metric).compileField)
      row.verdict = Change::sameBinary;
    else if (result.acrossSessions && settings.noise && !metricInfo(settings.metric).exact)
      checkAgainstNoise(row, sa, sb, base, other, settings, family);
    if (row.verdict == Change::slower || row.verdict == Change::faster) ++result.flagged;
    result.insideNoise += row.insideNoise;
    result.withinSessionOnly += row.withinSessionOnly;
    result.programs.push_back(row);
  }
  result.ratios = ratios.size();
  result.geometric = stats::geometric(ratios);
  return result;
}

std::string changeName(Change change) {
  switch (change) {
  case Change::faster:
    return "faster";
  case Change::slower:
    return "slower";
  case Change::same:
    return "~";
  case Change::sameBinary:
    return "same binary";
  case Change::shift:
    return "session shift";
  case Change::tooFewRuns:
    break;
  }
  return "too few runs";
}

bool exceeds(const Comparison& c, double threshold) {
  if (!c.lost.empty()) return true;
  // Byte-identical binaries and waived changes say nothing about the code: they stay out
  // of the gate's mean too.
  std::vector<double> gated;
  for (const auto& row : c.programs)
    if (row.problem.empty() && row.ratio > 0 && row.verdict != Change::sameBinary &&
        !waived(row.state))
      gated.push_back(row.ratio);
  if (!gated.empty() && stats::geometric(gated).mean > 1 + threshold) return true;
  for (const auto& row : c.programs)
    if (row.verdict == Change::slower && !waived(row.state) && row.ratio > 1 + threshold)
      return true;
  return false;
}

} // namespace bench32
