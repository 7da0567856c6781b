#include "compare.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include <fmt/format.h>

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

Comparison compare(const Series& base, const Series& other, const CompareSettings& settings) {
  Comparison result;
  result.base = base;
  result.other = other;
  result.metric = settings.metric;
  std::set<std::pair<std::string, std::string>> keys;
  for (const auto* series : {&base, &other})
    for (const auto& u : series->results->units)
      if (u.config == series->config) keys.insert({u.program, u.workload});
  std::vector<double> ratios;
  for (const auto& [program, workload] : keys) {
    ProgramComparison row;
    row.program = program;
    row.workload = workload;
    const UnitResult* a = base.results->find(base.config, program, workload);
    const UnitResult* b = other.results->find(other.config, program, workload);
    const auto va = a ? a->values(settings.metric) : std::vector<double>{};
    const auto vb = b ? b->values(settings.metric) : std::vector<double>{};
    row.baseCount = va.size();
    row.otherCount = vb.size();
    if (!a || !b) {
      row.problem = fmt::format("only in {}", a ? base.label : other.label);
    } else if (!a->ok() || !b->ok()) {
      row.problem = fmt::format("{} in {}", a->ok() ? b->status : a->status,
                                a->ok() ? other.label : base.label);
    } else if (!a->inputXxh3.empty() && !b->inputXxh3.empty() && a->inputXxh3 != b->inputXxh3) {
      row.problem = "different inputs";
    } else if (va.empty() || vb.empty()) {
      row.problem = "no " + metricName(settings.metric) + " measurements";
    }
    if (!row.problem.empty()) {
      result.programs.push_back(row);
      continue;
    }
    row.baseMedian = stats::median(va);
    row.otherMedian = stats::median(vb);
    if (!(row.baseMedian > 0) || !(row.otherMedian > 0)) {
      row.problem = "a median of zero";
      result.programs.push_back(row);
      continue;
    }
    row.ratio = row.otherMedian / row.baseMedian;
    ratios.push_back(row.ratio);
    const bool bigEnough = std::fabs(row.ratio - 1) >= settings.minEffect;
    if (settings.metric == Metric::instructions) {
      // Exact counts: no sampling error, only the effect size decides.
      row.interval = {row.ratio, row.ratio};
      row.p = row.ratio == 1 ? 1 : 0;
      row.verdict = !bigEnough      ? Verdict3::same
                    : row.ratio > 1 ? Verdict3::slower
                                    : Verdict3::faster;
    } else {
      row.interval = stats::ratioInterval(va, vb, settings.confidence);
      row.p = stats::mannWhitney(va, vb).p;
      const bool enough =
          int(va.size()) >= settings.minSamples && int(vb.size()) >= settings.minSamples;
      if (!enough)
        row.verdict = Verdict3::unknown;
      else if (row.p < settings.alpha && bigEnough)
        row.verdict = row.ratio > 1 ? Verdict3::slower : Verdict3::faster;
      else
        row.verdict = Verdict3::same;
    }
    if (row.verdict == Verdict3::slower || row.verdict == Verdict3::faster) ++result.flagged;
    result.programs.push_back(row);
  }
  result.ratios = ratios.size();
  result.geometric = stats::geometric(ratios);
  return result;
}

std::string verdictName(Verdict3 verdict) {
  switch (verdict) {
  case Verdict3::faster:
    return "faster";
  case Verdict3::slower:
    return "slower";
  case Verdict3::same:
    return "~";
  default:
    return "too few runs";
  }
}

namespace {

std::string formatValue(Metric metric, double value) {
  switch (metric) {
  case Metric::rss:
    return formatKiB(value);
  case Metric::instructions:
    return formatCount(value);
  default:
    return formatSeconds(value);
  }
}

std::string raw(double value) { return std::isfinite(value) ? fmt::format("{:.9g}", value) : ""; }

} // namespace

Table comparisonTable(const Comparison& c, Format format) {
  Table table;
  const bool csv = format == Format::csv;
  if (csv) {
    table.header = {"program", "workload",    "base",         "other", "base_n",
                    "other_n", "base_median", "other_median", "ratio", "ci_low",
                    "ci_high", "p",           "verdict"};
  } else {
    table.header = {"program", "workload", c.base.label, c.other.label,
                    "ratio",   "95% CI",   "p",          "verdict"};
    table.rightAligned = {false, false, true, true, true, true, true, false};
  }
  for (const auto& row : c.programs) {
    if (csv) {
      table.rows.push_back({row.program, row.workload, c.base.label, c.other.label,
                            std::to_string(row.baseCount), std::to_string(row.otherCount),
                            raw(row.baseMedian), raw(row.otherMedian), raw(row.ratio),
                            raw(row.interval.low), raw(row.interval.high), raw(row.p),
                            row.problem.empty() ? verdictName(row.verdict) : row.problem});
      continue;
    }
    if (!row.problem.empty()) {
      table.rows.push_back({row.program, row.workload, "-", "-", "-", "-", "-", row.problem});
      continue;
    }
    table.rows.push_back({row.program, row.workload, formatValue(c.metric, row.baseMedian),
                          formatValue(c.metric, row.otherMedian), fmt::format("{:.3f}", row.ratio),
                          fmt::format("{:.3f}–{:.3f}", row.interval.low, row.interval.high),
                          row.p < 0.001 ? "<0.001" : fmt::format("{:.3f}", row.p),
                          verdictName(row.verdict)});
  }
  return table;
}

std::string comparisonSummary(const Comparison& c) {
  return fmt::format(
      "{} against {} ({}): geometric mean ratio {:.3f}, geometric sd {:.3f}, over {} "
      "program{}; {} significantly different",
      c.other.label, c.base.label, metricName(c.metric), c.geometric.mean, c.geometric.sd, c.ratios,
      c.ratios == 1 ? "" : "s", c.flagged);
}

bool exceeds(const Comparison& c, double threshold) {
  if (c.ratios > 0 && c.geometric.mean > 1 + threshold) return true;
  for (const auto& row : c.programs)
    if (row.verdict == Verdict3::slower && row.ratio > 1 + threshold) return true;
  return false;
}

} // namespace bench32
