#include "output/table.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "analysis/stats.hpp"
#include "model/metrics.hpp"

namespace bench32 {

namespace {

// The configuration leads for tools and follows the program for people, who read
// configurations of one program side by side. Instruction counts show only when some
// unit has them; the layout columns only when some unit ran code layouts.
std::vector<Column> runColumns(bool counted, bool layouts,
                               const std::vector<const MetricInfo*>& measured) {
  std::vector<Column> columns{
      {"", "config"},       {"program", "program"}, {"config", ""},  {"workload", "workload"},
      {"status", "status"}, {"runs", "runs", true}, {"", "outliers"}};
  for (const auto& m : metrics()) {
    if (m.toolsOnly || m.whenMeasured || m.perSample) continue;
    const bool shown = !m.optional || counted;
    columns.push_back({shown ? m.column : "", m.toolColumn, true});
    if (m.withSpread) {
      const std::string n = m.name;
      columns.insert(columns.end(), {{"±", "", true},
                                     {"", n + "_mad_" + m.unit},
                                     {"", n + "_ci_low_" + m.unit},
                                     {"", n + "_ci_high_" + m.unit}});
    }
  }
  columns.push_back({"", "failure"});
  columns.push_back({"", "busy_runs"});
  if (layouts)
    columns.insert(columns.end(), {{"layouts", "layouts", true},
                                   {"layout spread", "layout_spread", true},
                                   {"run spread", "run_spread", true},
                                   {"sensitive", "layout_sensitive"}});
  // Tools read columns by position too: newer ones go last.
  for (const auto& m : metrics())
    if (m.toolsOnly) columns.push_back({"", m.toolColumn, true});
  for (const MetricInfo* m : measured) columns.push_back({m->column, m->toolColumn, true});
  return columns;
}

// "12", or "12 (1 out, 2 busy, waited 31%)" when some runs were outliers or ran on a
// busy machine, and then how much of their time went on waiting for a processor.
std::string runsText(std::size_t runs, std::size_t outliers, std::size_t busy, double waited) {
  std::string text = std::to_string(runs);
  if (outliers || busy) {
    std::vector<std::string> marks;
    if (outliers) marks.push_back(fmt::format("{} out", outliers));
    if (busy) marks.push_back(fmt::format("{} busy, waited {:.0f}%", busy, waited * 100));
    text += fmt::format(" ({})", fmt::join(marks, ", "));
  }
  return text;
}

// Each metric's median; with its spread (MAD, and the median's interval) where it has one.
void appendMetricCells(std::vector<Cell>& row, const UnitResult& u) {
  for (const auto& m : metrics()) {
    if (m.toolsOnly || m.whenMeasured || m.perSample) continue;
    const auto values = metricValues(u, m.id);
    const double median = stats::median(values);
    row.push_back({m.format(median), formatRaw(median)});
    if (m.withSpread) {
      const double mad = values.empty() ? NAN : stats::mad(values);
      const auto ci = stats::medianInterval(values);
      row.insert(row.end(),
                 {Cell(median > 0 ? formatPercent(mad / median) : "-"), Cell(formatRaw(mad)),
                  Cell(formatRaw(ci.low)), Cell(formatRaw(ci.high))});
    }
  }
}

// How many code layouts ran, and how far the layouts and the runs spread.
void appendLayoutCells(std::vector<Cell>& row, const UnitResult& u) {
  const auto groups = layoutGroups(u, Metric::wall);
  const auto spread = stats::layoutSpread(groups);
  const bool sensitive = !groups.empty() && stats::layoutSensitive(spread);
  row.push_back(std::to_string(groups.size()));
  row.push_back({groups.empty() ? "-" : formatPercent(spread.layout), formatRaw(spread.layout)});
  row.push_back({groups.empty() ? "-" : formatPercent(spread.run), formatRaw(spread.run)});
  row.push_back({sensitive ? "yes" : "", sensitive ? "1" : "0"});
}

// One unit's row, cell for cell under runColumns.
std::vector<Cell> runRow(const UnitResult& u, bool layouts,
                         const std::vector<const MetricInfo*>& measured) {
  const auto timed = metricValues(u, Metric::wall);
  const auto outliers = stats::outliers(timed).size();
  const auto busy = busyRuns(u);
  std::vector<Cell> row{
      u.config,
      u.program,
      u.config,
      u.workload,
      {u.status == Status::failed ? "FAIL" : statusName(u.status), statusName(u.status)},
      {runsText(timed.size(), outliers, busy, waitedShare(u)), std::to_string(timed.size())},
      std::to_string(outliers)};
  appendMetricCells(row, u);
  row.push_back(u.failure);
  row.push_back(std::to_string(busy));
  if (layouts) appendLayoutCells(row, u);
  for (const auto& m : metrics())
    if (m.toolsOnly) row.push_back(Cell("", formatRaw(stats::median(metricValues(u, m.id)))));
  for (const MetricInfo* m : measured) {
    const double median = stats::median(metricValues(u, m->id));
    row.push_back({m->format(median), formatRaw(median)});
  }
  return row;
}

} // namespace

Table runTable(const Results& results) {
  const bool counted = std::any_of(results.units.begin(), results.units.end(),
                                   [](const auto& u) { return u.instructions.has_value(); });
  const bool layouts = std::any_of(results.units.begin(), results.units.end(),
                                   [](const auto& u) { return !u.layouts.empty(); });
  // Metrics that a session may not have measured at all (the compile): their columns
  // only when it did, after all others.
  std::vector<const MetricInfo*> measured;
  for (const auto& m : metrics())
    if (m.whenMeasured && std::any_of(results.units.begin(), results.units.end(),
                                      [&](auto& u) { return !metricValues(u, m.id).empty(); }))
      measured.push_back(&m);
  Table table;
  table.columns = runColumns(counted, layouts, measured);
  // Grouped by program, so that configurations sit side by side.
  std::vector<const UnitResult*> units;
  for (const auto& u : results.units) units.push_back(&u);
  std::stable_sort(units.begin(), units.end(), [](auto* a, auto* b) {
    return std::tie(a->program, a->workload) < std::tie(b->program, b->workload);
  });
  for (const UnitResult* u : units) {
    table.rows.push_back(runRow(*u, layouts, measured));
    table.rowTags.push_back(u->status == Status::failed ? "failed" : "");
  }
  return table;
}

Table layoutTable(const Results& results) {
  std::size_t most = 0;
  for (const auto& u : results.units) most = std::max(most, u.layouts.size());
  Table table;
  if (most == 0) return table;
  table.columns = {{"program", "program"}, {"config", "config"}, {"workload", "workload"}};
  for (std::size_t k = 0; k < most; ++k)
    table.columns.push_back(
        {fmt::format("layout {}", k), fmt::format("layout_{}_wall_s", k), true});
  for (const auto& u : results.units) {
    if (u.layouts.empty()) continue;
    std::vector<std::vector<double>> walls(most);
    for (const Sample& s : u.samples)
      if (s.layout >= 0 && std::size_t(s.layout) < most)
        walls[std::size_t(s.layout)].push_back(s.wall);
    std::vector<Cell> row{u.program, u.config, u.workload};
    for (const auto& w : walls) {
      const double median = stats::median(w);
      row.push_back({w.empty() ? "-" : formatSeconds(median), formatRaw(median)});
    }
    table.rows.push_back(std::move(row));
    table.rowTags.push_back("");
  }
  return table;
}

std::vector<std::string> failureLines(const Results& results) {
  std::vector<std::string> lines;
  for (const auto& u : results.units)
    if (u.status == Status::failed) lines.push_back(failureLine(u));
  return lines;
}

Document runDocument(const Results& results) {
  auto notes = failureLines(results);
  // A refused compile is said once per configuration and program, whatever its workloads.
  std::set<std::pair<std::string, std::string>> refused;
  for (const auto& u : results.units)
    if (u.compile && !u.compile->refused.empty() && refused.insert({u.config, u.program}).second)
      notes.push_back(
          fmt::format("compile of {} {} not kept: {}", u.config, u.program, u.compile->refused));
  std::size_t busy = 0, runs = 0;
  for (const auto& u : results.units) busy += busyRuns(u), runs += u.samples.size();
  if (busy > 0) notes.push_back(busyRunsNote(busy, runs));
  if (const std::string target = ranOnNote(results); !target.empty()) notes.push_back(target);
  return {{{"", runTable(results), notes}}};
}

} // namespace bench32
