#include "analysis/compare.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

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

// The programs (program, workload) that either side measured or attempted.
std::set<std::pair<std::string, std::string>> programsOf(const Series& base, const Series& other) {
  std::set<std::pair<std::string, std::string>> keys;
  for (const auto* series : {&base, &other})
    for (const auto& u : series->results->units)
      if (u.config == series->config) keys.insert({u.program, u.workload});
  return keys;
}

// The programs judged against the noise together: those whose binaries differ (at least
// one, so that the level stays defined).
std::size_t differingBinaries(const std::set<std::pair<std::string, std::string>>& keys,
                              const Series& base, const Series& other) {
  std::size_t family = 0;
  for (const auto& [program, workload] : keys) {
    const UnitResult* a = base.results->find(base.config, program, workload);
    const UnitResult* b = other.results->find(other.config, program, workload);
    family += a && b && a->ok() && b->ok() && !sameBinaries(*a, *b);
  }
  return std::max<std::size_t>(family, 1);
}

// Why a program has no ratio (missing or failed on a side, different inputs, nothing
// measured); empty when it can be compared.
std::string problemOf(const UnitResult* a, const UnitResult* b, const ProgramComparison& row,
                      const Comparison& c) {
  if (!a || !b) return fmt::format("only in {}", a ? c.base.label : c.other.label);
  if (!a->ok() || !b->ok())
    return fmt::format("{} in {}", statusName(a->ok() ? b->status : a->status),
                       a->ok() ? c.other.label : c.base.label);
  if (!a->inputXxh3.empty() && !b->inputXxh3.empty() && a->inputXxh3 != b->inputXxh3)
    return "different inputs";
  if (row.baseCount == 0 || row.otherCount == 0)
    return fmt::format("no {} measurements", metricInfo(c.metric).name);
  return {};
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

// One side of one program: its runs' values, grouped by code layout and by session.
struct Side {
  std::vector<double> values;
  stats::Layouts layouts; // empty: the runs carry no layouts
  stats::Sessions sessions;
};

// The level whose groups are the replicates of the statistics: several sessions on a
// side, else code layouts on both sides, else the runs themselves.
enum class Level { runs, layouts, sessions };

Level replicateLevel(const Side& a, const Side& b) {
  if (a.sessions.size() > 1 || b.sessions.size() > 1) return Level::sessions;
  if (!a.layouts.empty() && !b.layouts.empty()) return Level::layouts;
  return Level::runs;
}

double sideMedian(const Side& side, Level level) {
  switch (level) {
  case Level::sessions:
    return stats::sessionMedian(side.sessions);
  case Level::layouts:
    return stats::layoutMedian(side.layouts);
  case Level::runs:
    break;
  }
  return stats::median(side.values);
}

// What a test adds to the ratio and p-value it wrote into the row.
struct Evidence {
  bool exact = false;           // exact counts: no sampling error, the effect size decides
  bool enoughReplicates = true; // beyond the runs: enough layouts on both sides
  bool directionAgrees = true;  // the test points the same way as the ratio
};

// The rule that flags a difference, whichever test gave its evidence.
Change verdict(const ProgramComparison& row, const Evidence& evidence,
               const CompareSettings& settings) {
  const bool bigEnough = std::fabs(row.ratio - 1) >= settings.minEffect;
  const bool enough =
      evidence.exact || (int(row.baseCount) >= settings.minSamples &&
                         int(row.otherCount) >= settings.minSamples && evidence.enoughReplicates);
  const bool significant = evidence.exact || (row.p < settings.alpha && evidence.directionAgrees);
  if (!enough) return Change::tooFewRuns;
  // No difference at all is never a change, whatever --min-effect allows.
  if (!significant || !bigEnough || row.ratio == 1) return Change::same;
  return row.ratio > 1 ? Change::slower : Change::faster;
}

Evidence exactTest(ProgramComparison& row) {
  row.interval = {row.ratio, row.ratio};
  row.p = row.ratio == 1 ? 1 : 0;
  return {.exact = true};
}

// The sessions are the replicates: see stats::sessionRatio.
Evidence sessionTest(ProgramComparison& row, const Side& a, const Side& b,
                     const CompareSettings& settings) {
  const auto test = stats::sessionRatio(a.sessions, b.sessions, settings.confidence);
  row.interval = test.interval;
  row.p = test.p;
  return {};
}

// The layouts are the replicates: see stats::layoutRatio.
Evidence layoutTest(ProgramComparison& row, const Side& a, const Side& b,
                    const CompareSettings& settings) {
  row.baseLayouts = a.layouts.size();
  row.otherLayouts = b.layouts.size();
  row.baseSpread = stats::layoutSpread(a.layouts);
  row.otherSpread = stats::layoutSpread(b.layouts);
  row.layoutSensitive =
      stats::layoutSensitive(row.baseSpread) || stats::layoutSensitive(row.otherSpread);
  const auto test = stats::layoutRatio(a.layouts, b.layouts, settings.confidence);
  row.interval = test.interval;
  row.p = test.p;
  return {.enoughReplicates = int(a.layouts.size()) >= settings.minLayouts &&
                              int(b.layouts.size()) >= settings.minLayouts};
}

// The runs are the replicates: a rank test, with a bootstrap interval of the ratio.
Evidence rankTest(ProgramComparison& row, const Side& a, const Side& b,
                  const CompareSettings& settings) {
  row.interval = stats::ratioInterval(a.values, b.values, settings.confidence);
  // The rank test's direction (U of the baseline below its mean: the other side's runs
  // tend to be the larger) must agree with the ratio's: with two-peaked samples the
  // medians can point one way while most pairs point the other.
  const auto test = stats::mannWhitney(a.values, b.values);
  row.p = test.p;
  const bool rankSaysSlower = test.u < double(a.values.size() * b.values.size()) / 2;
  return {.directionAgrees = rankSaysSlower == (row.ratio > 1)};
}

Evidence testDifference(ProgramComparison& row, const Side& a, const Side& b, Level level,
                        const CompareSettings& settings) {
  if (metricInfo(settings.metric).exact) return exactTest(row);
  switch (level) {
  case Level::sessions:
    return sessionTest(row, a, b, settings);
  case Level::layouts:
    return layoutTest(row, a, b, settings);
  case Level::runs:
    break;
  }
  return rankTest(row, a, b, settings);
}

// The mean of a side's session values (logs of session medians).
double meanSessionValue(const stats::Sessions& sessions) {
  std::vector<double> values;
  for (const auto& layouts : sessions)
    if (const double m = stats::layoutMedian(layouts); m > 0) values.push_back(std::log(m));
  return stats::mean(values);
}

// The learned between-session spread of a row, and the largest difference between the
// two sides' session means that it explains: the smallest step the row could flag.
void gaugeNoise(ProgramComparison& row, const stats::Sessions& sa, const stats::Sessions& sb,
                const Series& base, const Series& other, const CompareSettings& settings,
                std::size_t family) {
  row.noise = settings.noise->spread(row.program, row.workload, other.config,
                                     runConditions(*other.results));
  if (row.noise.df == 0)
    row.noise = settings.noise->spread(row.program, row.workload, base.config,
                                       runConditions(*base.results));
  if (row.noise.df > 0)
    row.noiseLimit = stats::noiseThreshold(
        row.noise, sa.size(), sb.size(), settings.alpha / double(std::max<std::size_t>(family, 1)));
}

// Holds a difference between two sessions against the learned between-session noise:
// it stays flagged only when the sessions' means differ by more than the noise explains.
void checkAgainstNoise(ProgramComparison& row, const stats::Sessions& sa,
                       const stats::Sessions& sb) {
  const bool flaggedHere = row.verdict == Change::slower || row.verdict == Change::faster;
  if (row.noise.df == 0) {
    row.withinSessionOnly = flaggedHere;
    return;
  }
  const double difference = meanSessionValue(sb) - meanSessionValue(sa);
  const bool beyond = std::fabs(difference) > row.noiseLimit && (difference > 0) == (row.ratio > 1);
  if (flaggedHere && !beyond) {
    row.verdict = Change::same;
    row.insideNoise = true;
  }
}

// The triage state of the other side's change to this program, when the database has one.
std::string triageState(const ProgramComparison& row, const Series& other,
                        const CompareSettings& settings) {
  if (!settings.states) return {};
  const auto it = settings.states->find(
      {revisionOf(other.results->environment), row.program, row.workload, other.config});
  return it == settings.states->end() ? std::string{} : it->second;
}

// The sequential rule's verdict on runs paired by round, as the session that ran them
// saw it at its end: still open then is undecided. Identical binaries are decided too:
// an A/A session is how the rule shows that it says equal when nothing changed.
PairedDecision decision(const UnitResult& a, const UnitResult& b, const DecidePlan& plan) {
  const Metric metric = metricNamed(plan.metric).id;
  DecideSettings settings;
  settings.resolution = plan.resolution;
  settings.alpha = plan.alpha;
  PairedDecision d = decidePaired(metricValues(a, metric), metricValues(b, metric), settings);
  if (d.state == Decision::open) d.state = Decision::undecided;
  return d;
}

// One program's row: its problem, or its medians, test and verdict.
ProgramComparison compareProgram(const std::pair<std::string, std::string>& key,
                                 const UnitResult* a, const UnitResult* b, const Comparison& c,
                                 const CompareSettings& settings, std::size_t family) {
  ProgramComparison row;
  row.program = key.first;
  row.workload = key.second;
  Side sa, sb;
  if (a) sa.values = metricValues(*a, settings.metric);
  if (b) sb.values = metricValues(*b, settings.metric);
  row.baseCount = sa.values.size();
  row.otherCount = sb.values.size();
  row.inBoth = a && b;
  row.problem = problemOf(a, b, row, c);
  if (!row.problem.empty()) return row;
  sa.layouts = layoutGroups(*a, settings.metric);
  sb.layouts = layoutGroups(*b, settings.metric);
  sa.sessions = sessionsOf(*a, settings.metric);
  sb.sessions = sessionsOf(*b, settings.metric);
  row.baseSessions = sa.sessions.size();
  row.otherSessions = sb.sessions.size();
  const Level level = replicateLevel(sa, sb);
  row.baseMedian = sideMedian(sa, level);
  row.otherMedian = sideMedian(sb, level);
  if (!(row.baseMedian > 0) || !(row.otherMedian > 0)) {
    row.problem = "a median of zero";
    return row;
  }
  // When more is better (a rate), the ratio and its test run base over other, so that
  // above 1 means slower for every metric alike.
  const bool inverted = metricInfo(settings.metric).higherIsBetter;
  row.ratio = inverted ? row.baseMedian / row.otherMedian : row.otherMedian / row.baseMedian;
  const Evidence evidence = inverted ? testDifference(row, sb, sa, level, settings)
                                     : testDifference(row, sa, sb, level, settings);
  row.verdict = verdict(row, evidence, settings);
  row.state = triageState(row, c.other, settings);
  // Byte-identical binaries under the same conditions: whatever moved, it was not the
  // code. (Across machines the difference is the machines', which is the point there.)
  // A compile's time is the compiler's, not the code's: two compilers that give the same
  // binary may still take different times to do it.
  const bool gauged = c.acrossSessions && settings.noise && !metricInfo(settings.metric).exact;
  if (gauged) gaugeNoise(row, sa.sessions, sb.sessions, c.base, c.other, settings, family);
  if (sameBinaries(*a, *b) && c.sameConditions && !metricInfo(settings.metric).compileField)
    row.verdict = Change::sameBinary;
  else if (gauged)
    checkAgainstNoise(row, sa.sessions, sb.sessions);
  // Across sessions, a side measured on a busy machine moves by as much as its runs
  // waited: a step no larger than that waiting could make is not the code's.
  const Metric m = settings.metric;
  if (c.acrossSessions && (m == Metric::wall || m == Metric::rate) &&
      (disturbed(*a) || disturbed(*b))) {
    row.disturbedShare = std::max(waitedShare(*a), waitedShare(*b));
    const bool explained = std::fabs(std::log(row.ratio)) <= -std::log1p(-row.disturbedShare);
    if (explained && (row.verdict == Change::slower || row.verdict == Change::faster))
      row.verdict = Change::same;
  }
  if (c.decide) row.decision = decision(*a, *b, *c.decide);
  return row;
}

// The counts and the geometric mean over the rows.
void summarise(Comparison& result) {
  std::vector<double> ratios;
  for (const auto& row : result.programs) {
    if (!row.problem.empty()) continue;
    ratios.push_back(row.ratio);
    result.layouts = result.layouts || row.baseLayouts > 0;
    if (row.verdict == Change::slower || row.verdict == Change::faster) ++result.flagged;
    result.insideNoise += row.insideNoise;
    result.withinSessionOnly += row.withinSessionOnly;
  }
  result.ratios = ratios.size();
  result.geometric = stats::geometric(ratios);
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
  // Runs pair up by round only within one session, and only when it was run that way
  // or the caller asks for it.
  if (settings.decide && !result.acrossSessions) result.decide = *settings.decide;
  const auto keys = programsOf(base, other);
  const std::size_t family =
      settings.noiseFamily != 0 ? settings.noiseFamily : differingBinaries(keys, base, other);
  for (const auto& key : keys) {
    const UnitResult* a = base.results->find(base.config, key.first, key.second);
    const UnitResult* b = other.results->find(other.config, key.first, key.second);
    // What the baseline measured and the other side did not is a failure, not a gap.
    if (a && a->ok() && (!b || !b->ok()))
      result.lost.push_back(fmt::format("{}/{}", key.first, key.second));
    auto row = compareProgram(key, a, b, result, settings, family);
    if (row.problem.empty() && sameBinaries(*a, *b)) ++result.identicalBinaries;
    result.programs.push_back(std::move(row));
  }
  summarise(result);
  return result;
}

double detectableStep(const ProgramComparison& row, const CompareSettings& settings) {
  if (row.noise.df == 0) return std::nan("");
  return std::max(settings.minEffect, std::expm1(row.noiseLimit));
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
