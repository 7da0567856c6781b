#include "output/comparison_table.hpp"
#include "exec/words.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace bench32 {

namespace {

// An interval's end: an unbounded one says so.
std::string bound(double value) {
  if (std::isinf(value)) return value > 0 ? "∞" : "-∞";
  return fmt::format("{:.3f}", value);
}

// What qualifies a verdict, for people: how it was reached and what became of it.
std::string verdictMarks(const ProgramComparison& row) {
  std::string marks;
  if (row.layoutSensitive) marks += " (layout-sensitive)";
  if (row.baseSessions > 1 || row.otherSessions > 1)
    marks += fmt::format(" ({}/{} sessions)", row.baseSessions, row.otherSessions);
  if (row.insideNoise) marks += " (inside session noise)";
  if (row.disturbedShare > 0)
    marks += fmt::format(" (busy session: waited {:.0f}%)", row.disturbedShare * 100);
  if (row.withinSessionOnly && row.verdict != Change::sameBinary) marks += " (within-session only)";
  if (!row.state.empty()) marks += " [" + row.state + "]";
  return marks;
}

// Tools get both labels and sample counts on every row; people get them as headers. With
// code layouts: each side's layouts, and how far its layouts and its runs spread; with a
// noise model: the learned between-session spread and the triage state.
std::vector<Column> comparisonColumns(const Comparison& c) {
  std::vector<Column> columns{{"program", "program"},
                              {"workload", "workload"},
                              {"", "base"},
                              {"", "other"},
                              {"", "base_n"},
                              {"", "other_n"},
                              {c.base.label, "base_median", true},
                              {c.other.label, "other_median", true},
                              {"ratio", "ratio", true},
                              {"95% CI", "", true},
                              {"", "ci_low"},
                              {"", "ci_high"},
                              {"p", "p", true},
                              {"verdict", "verdict"}};
  if (c.layouts)
    columns.insert(columns.end(), {{"layouts", "", true},
                                   {"layout spread", "", true},
                                   {"run spread", "", true},
                                   {"", "base_layout_spread"},
                                   {"", "other_layout_spread"},
                                   {"", "base_run_spread"},
                                   {"", "other_run_spread"},
                                   {"", "layout_sensitive"}});
  if (c.noiseModel)
    columns.insert(columns.end(),
                   {{"session noise", "", true}, {"", "session_spread"}, {"", "state"}});
  if (c.decide)
    columns.insert(columns.end(), {{"decision", "decision"},
                                   {fmt::format("{} ratio", c.decide->metric), "", true},
                                   {"pairs", "pairs", true},
                                   {"", "decision_ratio"},
                                   {"", "decision_low"},
                                   {"", "decision_high"},
                                   {"", "resolution"}});
  return columns;
}

// The verdict to a resolution: its state, the paired ratio and the interval that decided
// it, and how many pairs that took.
void appendDecisionCells(std::vector<Cell>& cells, const ProgramComparison& row,
                         const DecidePlan& plan) {
  if (!row.decision) {
    cells.insert(cells.end(), {Cell("-", ""), Cell("-"), Cell("-"), Cell(""), Cell(""), Cell(""),
                               Cell(formatRaw(plan.resolution))});
    return;
  }
  const PairedDecision& d = *row.decision;
  const bool bounded = d.pairs > 0 && std::isfinite(d.interval.high);
  cells.insert(
      cells.end(),
      {Cell(decisionName(d.state)),
       Cell(bounded ? fmt::format("{:.3f} {}", d.ratio,
                                  formatInterval(bound(d.interval.low), bound(d.interval.high)))
                    : std::string("-")),
       Cell(std::to_string(d.pairs)), Cell(formatRaw(d.ratio)),
       Cell(bounded ? formatRaw(d.interval.low) : ""),
       Cell(bounded ? formatRaw(d.interval.high) : ""), Cell(formatRaw(plan.resolution))});
}

// The cells every comparison has. A row with a problem shows "-" to people, and the
// problem in place of the verdict.
std::vector<Cell> comparedCells(const ProgramComparison& row, const Comparison& c) {
  const MetricInfo& metric = metricInfo(c.metric);
  const bool shown = row.problem.empty();
  auto people = [&](std::string text) { return shown ? text : std::string("-"); };
  const std::string verdict = shown ? changeName(row.verdict) : row.problem;
  const std::string marked = verdict + (shown ? verdictMarks(row) : std::string());
  std::vector<Cell> cells{row.program,
                          row.workload,
                          c.base.label,
                          c.other.label,
                          std::to_string(row.baseCount),
                          std::to_string(row.otherCount),
                          {people(metric.format(row.baseMedian)), formatRaw(row.baseMedian)},
                          {people(metric.format(row.otherMedian)), formatRaw(row.otherMedian)},
                          {people(fmt::format("{:.3f}", row.ratio)), formatRaw(row.ratio)}};
  // An exact count has no sampling error: its ratio is the difference, with no interval
  // and no p to show.
  if (metric.exact) {
    cells.insert(cells.end(), {{people("exact"), ""}, {"", ""}, {"", ""}, {people("-"), ""}});
  } else {
    cells.insert(
        cells.end(),
        {people(formatInterval(bound(row.interval.low), bound(row.interval.high))),
         formatRaw(row.interval.low), formatRaw(row.interval.high),
         Cell(people(row.p < 0.001 ? "<0.001" : fmt::format("{:.3f}", row.p)), formatRaw(row.p))});
  }
  cells.emplace_back(marked, verdict);
  return cells;
}

// Each side's layouts and spreads, for a row compared layout by layout; "-" otherwise.
void appendLayoutCells(std::vector<Cell>& cells, const ProgramComparison& row) {
  const bool layered = row.problem.empty() && row.baseLayouts > 0;
  auto pair = [&](double a, double b) {
    return layered ? fmt::format("{}/{}", formatPercent(a), formatPercent(b)) : std::string("-");
  };
  cells.emplace_back(layered ? fmt::format("{}/{}", row.baseLayouts, row.otherLayouts) : "-");
  cells.emplace_back(pair(row.baseSpread.layout, row.otherSpread.layout));
  cells.emplace_back(pair(row.baseSpread.run, row.otherSpread.run));
  for (double spread :
       {row.baseSpread.layout, row.otherSpread.layout, row.baseSpread.run, row.otherSpread.run})
    cells.emplace_back(layered ? formatRaw(spread) : "");
  cells.emplace_back(row.layoutSensitive ? "layout-sensitive" : "");
}

// The learned between-session spread, when there was one for the row, and its triage state.
void appendNoiseCells(std::vector<Cell>& cells, const ProgramComparison& row) {
  const bool learned = row.problem.empty() && row.noise.df > 0;
  cells.emplace_back(
      learned ? fmt::format("±{} ({} sessions)", formatPercent(row.noise.sd), row.noise.df)
              : std::string("-"));
  cells.emplace_back(learned ? formatRaw(row.noise.sd) : "");
  cells.emplace_back(row.state);
}

} // namespace

Table comparisonTable(const Comparison& c) {
  Table table;
  table.columns = comparisonColumns(c);
  for (const auto& row : c.programs) {
    auto cells = comparedCells(row, c);
    if (c.layouts) appendLayoutCells(cells, row);
    if (c.noiseModel) appendNoiseCells(cells, row);
    if (c.decide) appendDecisionCells(cells, row, *c.decide);
    table.rows.push_back(std::move(cells));
    table.rowTags.push_back(row.verdict == Change::slower   ? "slower"
                            : row.verdict == Change::faster ? "faster"
                                                            : "");
  }
  return table;
}

namespace {

std::string environmentOf(const Series& s, const std::string& key) {
  const auto it = s.results->environment.find(key);
  return it == s.results->environment.end() ? std::string() : it->second;
}

// The higher 1-minute load average of a session's start and end; negative when unknown.
double sessionLoad(const Series& s) {
  double load = -1;
  for (const char* key : {"load_before", "load_after"}) {
    const std::string text = environmentOf(s, key);
    if (!text.empty()) load = std::max(load, std::strtod(text.c_str(), nullptr));
  }
  return load;
}

} // namespace

std::vector<std::string> noiseNotes(const Comparison& c) {
  std::vector<std::string> notes;
  if (c.identicalBinaries > 0)
    notes.push_back(
        c.sameConditions
            ? fmt::format("{} of {} programs ran byte-identical binaries on both sides: any "
                          "difference between them is noise, shown as \"same binary\"",
                          c.identicalBinaries, c.ratios)
            : fmt::format("{} of {} programs ran byte-identical binaries, on different machines "
                          "or under different conditions: their differences are the machines'",
                          c.identicalBinaries, c.ratios));
  if (c.acrossSessions && !c.noiseModel)
    notes.push_back("between-session noise is not covered: a shift of a whole session (clock, "
                    "neighbours, page placement) can pass for a change; --db DATABASE supplies "
                    "a noise model learned from its repeated sessions of the same binaries");
  if (c.insideNoise > 0)
    notes.push_back(fmt::format("{} significant within the sessions {} inside the "
                                "between-session noise learned from the database",
                                plural(c.insideNoise, "difference"),
                                c.insideNoise == 1 ? "is" : "are"));
  if (c.withinSessionOnly > 0)
    notes.push_back(fmt::format("{} verdict{} within-session only: too few sessions of identical "
                                "binaries (at least {} beyond the first of each binary) to learn "
                                "the between-session noise",
                                c.withinSessionOnly, c.withinSessionOnly == 1 ? " is" : "s are",
                                minNoiseDf));
  if (c.base.results != c.other.results) {
    std::vector<std::string> differences;
    for (const char* key :
         {"host", "kernel", "governor", "cpu", "cpu_affinity", "turbo", "aslr", "smt_siblings"}) {
      const std::string a = environmentOf(c.base, key), b = environmentOf(c.other, key);
      if (!a.empty() && !b.empty() && a != b)
        differences.push_back(fmt::format("{} {} against {}", key, a, b));
    }
    // A load that differs by a whole busy processor changes what the other side got.
    const double loadA = sessionLoad(c.base), loadB = sessionLoad(c.other);
    if (loadA >= 0 && loadB >= 0 && std::fabs(loadA - loadB) >= 1)
      differences.push_back(fmt::format("load average {:.2f} against {:.2f}", loadA, loadB));
    if (!differences.empty())
      notes.push_back(fmt::format("warning: the sessions ran under different conditions: {}",
                                  fmt::join(differences, "; ")));
  }
  std::size_t busy = 0, runs = 0;
  for (const auto* s : {&c.base, &c.other})
    for (const auto& u : s->results->units)
      if (u.config == s->config) busy += busyRuns(u), runs += u.samples.size();
  if (busy > 0) notes.push_back(busyRunsNote(busy, runs));
  return notes;
}

std::string decisionSummary(const Comparison& c) {
  std::map<Decision, std::size_t> counts;
  for (const auto& row : c.programs)
    if (row.decision) ++counts[row.decision->state];
  const auto duet = c.base.results->settings.find("duet");
  const bool together = duet != c.base.results->settings.end() && duet->second > 0;
  return fmt::format("decisions to ±{} on {}, runs paired by round{}, any-time error rate "
                     "at most {}: {} slower, {} faster, {} equal, {} undecided",
                     formatPercent(c.decide->resolution), c.decide->metric,
                     together ? " and run together (duet)" : "", c.decide->alpha,
                     counts[Decision::slower], counts[Decision::faster], counts[Decision::equal],
                     counts[Decision::undecided]);
}

Document comparisonDocument(const std::vector<Comparison>& comparisons) {
  Document document;
  for (const auto& c : comparisons) {
    std::vector<std::string> notes{comparisonSummary(c)};
    if (c.decide) notes.push_back(decisionSummary(c));
    for (auto& note : noiseNotes(c)) notes.push_back(std::move(note));
    document.sections.push_back({"", comparisonTable(c), notes});
  }
  return document;
}

Document decisionDocument(const Results& results) {
  const DecidePlan& plan = *results.decide;
  CompareSettings settings;
  settings.metric = metricNamed(plan.metric).id;
  settings.decide = &plan;
  const std::vector<Results> files{results}; // the series point into it
  const auto series = collectSeries(files, {""});
  std::vector<Comparison> all;
  const auto base = std::find_if(series.begin(), series.end(),
                                 [&](const Series& s) { return s.config == plan.baseline; });
  if (base == series.end()) return {};
  // The anchor ran beside the others to be read against, not to be decided.
  for (const auto& s : series)
    if (&s != &*base && s.config != results.anchor) all.push_back(compare(*base, s, settings));
  return comparisonDocument(all);
}

// "instructions, counted by callgrind": an exact metric names where its counts came from.
std::string metricLabel(const Comparison& c) {
  std::string label = metricInfo(c.metric).name;
  if (c.metric != Metric::instructions) return label;
  std::vector<std::string> sources;
  for (const auto* s : {&c.base, &c.other})
    for (const auto& u : s->results->units)
      if (u.config == s->config && !u.instructionsSource.empty() &&
          std::find(sources.begin(), sources.end(), u.instructionsSource) == sources.end())
        sources.push_back(u.instructionsSource);
  return sources.empty() ? label : label + ", counted by " + joinNames(sources);
}

std::string comparisonSummary(const Comparison& c) {
  const bool exact = metricInfo(c.metric).exact;
  std::string summary =
      c.ratios == 0
          ? fmt::format("{} against {} ({}): no program to compare", c.other.label, c.base.label,
                        metricLabel(c))
          : fmt::format("{} against {} ({}): geometric mean ratio {:.3f}, geometric sd {:.3f}, "
                        "over {}; {} {}",
                        c.other.label, c.base.label, metricLabel(c), c.geometric.mean,
                        c.geometric.sd, plural(c.ratios, "program"), c.flagged,
                        exact ? "differ by more than the smallest effect (exact counts)"
                              : "significantly different");
  if (c.layouts) {
    const auto sensitive = std::count_if(c.programs.begin(), c.programs.end(),
                                         [](const auto& row) { return row.layoutSensitive; });
    summary += fmt::format("; {} layout-sensitive", sensitive);
  }
  if (!c.lost.empty()) {
    summary += fmt::format("; {} failed in {}: {}", plural(c.lost.size(), "program"), c.other.label,
                           joinNames(c.lost));
  }
  return summary;
}

} // namespace bench32
