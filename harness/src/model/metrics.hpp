// The quantities the harness measures, each one row of a table: its name, unit, how
// to read it from a unit's runs and how to show it. Tables, comparisons and the
// results file all go through this table, so a new metric is one new row, and the
// collector that fills in its field of Sample or UnitResult (run/collector.hpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/results.hpp"

namespace bench32 {

enum class Metric {
  wall,
  user,
  system,
  cpu,
  rss,
  text,
  instructions,
  sizeText,
  sizeRodata,
  sizeData,
  sizeBss,
  sizeAlloc,
  compile,
  compileCpu,
  compileRss,
  link,
  rate
};

struct MetricInfo {
  Metric id;
  const char* name;       // for --metric and in messages
  const char* unit;       // "s", "KiB", "B", "instructions"
  const char* column;     // column header for people
  const char* toolColumn; // column header for tools (CSV, JSON): the median, raw
  // A per-run quantity: its member of Sample and its list in the results file (for a
  // compile quantity, its list in the unit's "compile" object).
  double Sample::*field = nullptr;
  const char* samplesKey = nullptr;
  // A per-run quantity derived from the others (not stored): how to read it.
  double (*perSample)(const Sample&) = nullptr;
  // A quantity measured apart from the runs, once per round of --compile-runs: its list
  // in the unit's compile samples.
  std::vector<double> CompileSamples::*compileField = nullptr;
  // A quantity of a round of copies run at once, one value per timed round: its list in
  // the unit.
  std::vector<double> UnitResult::*roundField = nullptr;
  // A per-unit quantity (one value, or none): how to read it.
  std::optional<double> (*perUnit)(const UnitResult&) = nullptr;
  std::string (*format)(double) = nullptr; // for people; NaN gives "-"
  bool integral = false;                   // a count: written without a fraction
  bool exact = false;                      // no sampling error: a comparison needs no rank test
  bool optional = false;                   // shown to people only when some unit has it
  bool withSpread = false;                 // shown with its spread and the median's interval
  // In the run table, a column for tools only (CSV, JSON), after the others: people see
  // it through --metric.
  bool toolsOnly = false;
  // In the run table, a column (for people and tools) only when some unit has a value,
  // after all the others: tables of sessions that never measured it stay as they were.
  bool whenMeasured = false;
  // More is better (a rate): a comparison's ratio is then base / other, so that above 1
  // still means slower.
  bool higherIsBetter = false;
};

const std::vector<MetricInfo>& metrics();
// A metric with one value per run (stored, or derived from the stored ones), and that value.
bool perRun(const MetricInfo& m);
double runValue(const MetricInfo& m, const Sample& s);
const MetricInfo& metricInfo(Metric metric);
// Throws BadInput naming the metrics there are.
const MetricInfo& metricNamed(const std::string& name);
std::string metricNames(); // "wall, user, sys, ... or link"

// Every value of a metric for one unit: one per timed run, or the unit's single value.
std::vector<double> metricValues(const UnitResult& unit, Metric metric);
// The same, one list per code layout index, a layout that never ran an empty list; empty
// when its runs carry no layout.
std::vector<std::vector<double>> valuesByLayout(const UnitResult& unit, Metric metric);
// The same without the layouts that never ran (a session stopped early): the layouts
// a comparison counts.
std::vector<std::vector<double>> layoutGroups(const UnitResult& unit, Metric metric);

// The same, one list of layouts per session, in session order, for results merged from
// several sessions (a session without layouts is one group of all its runs); empty when
// the runs come from one session.
std::vector<std::vector<std::vector<double>>> sessionGroups(const UnitResult& unit, Metric metric);

// Quantities as people read them. Times: a measurement to four digits ("12.345 ms"),
// a chart's tick ("20 ms"), or a time left to wait ("1h05m", "42s").
enum class TimeStyle { measured, tick, elapsed };
std::string formatTime(double seconds, TimeStyle style);
std::string formatSeconds(double seconds); // measured
std::string formatKiB(double kib);
std::string formatBytes(double bytes);
std::string formatCount(double count);   // 1.23 M, 4.56 G
std::string formatGrouped(double count); // exactly, in groups of three: 1,234,567
std::string formatPercent(double fraction);
std::string formatRate(double perSecond); // "12.34 /s"
// An interval as every table, page and line shows one: "[1.063, 1.070]".
std::string formatInterval(const std::string& low, const std::string& high);
// A ratio's interval, to three decimals.
std::string formatInterval(double low, double high);
// A number for tools: integers without a fraction, others with nine significant
// digits; infinities as inf and -inf, NaN as an empty field.
std::string formatRaw(double value);

} // namespace bench32
