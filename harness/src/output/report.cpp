#include "output/report.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include <fmt/format.h>

#include "analysis/stats.hpp"
#include "model/metrics.hpp"
#include "output/comparison_table.hpp"
#include "output/export/html.hpp"

namespace bench32 {
namespace {

const char* const palette[] = {"#3366cc", "#dc7d1e", "#2ca02c", "#9467bd",
                               "#8c564b", "#e377c2", "#17becf", "#7f7f7f"};

const char* colour(std::size_t i) { return palette[i % std::size(palette)]; }

struct Row {
  std::string program, workload;
  std::string key() const { return program + "/" + workload; }
};

std::vector<Row> allRows(const std::vector<Series>& series) {
  std::set<std::pair<std::string, std::string>> keys;
  for (const auto& s : series)
    for (const auto& u : s.results->units)
      if (u.config == s.config) keys.insert({u.program, u.workload});
  std::vector<Row> rows;
  for (const auto& [p, w] : keys) rows.push_back({p, w});
  return rows;
}

// Decade ticks (1, 2, 5 times powers of ten) of a log axis.
std::vector<double> logTicks(double low, double high) {
  std::vector<double> ticks;
  for (double decade = std::pow(10, std::floor(std::log10(low))); decade <= high; decade *= 10)
    for (double m : {1.0, 2.0, 5.0})
      if (m * decade >= low && m * decade <= high) ticks.push_back(m * decade);
  return ticks;
}

// Median wall time of every program for every series, with the interquartile range as
// a thick bar and the full range as a thin line, on a log axis.
std::string timesChart(const std::vector<Series>& series, const std::vector<Row>& rows) {
  const double left = 190, right = 30, width = 1000, laneHeight = 16, gap = 10, top = 30;
  double low = INFINITY, high = 0;
  for (const auto& s : series)
    for (const auto& u : s.results->units) {
      if (u.config != s.config) continue;
      for (double v : metricValues(u, Metric::wall))
        if (v > 0) low = std::min(low, v), high = std::max(high, v);
    }
  if (!(high > 0)) return "<p class=muted>No timed runs.</p>";
  low = std::pow(10, std::floor(std::log10(low)));
  high = std::pow(10, std::ceil(std::log10(high)));
  auto x = [&](double v) {
    return left + (width - left - right) * (std::log(v) - std::log(low)) /
                      (std::log(high) - std::log(low));
  };
  const double groupHeight = laneHeight * double(series.size()) + gap;
  const double height = top + groupHeight * double(rows.size()) + 10;
  std::string svg = fmt::format(
      "<svg xmlns='http://www.w3.org/2000/svg' width='{}' height='{}' role='img'>", width, height);
  for (double t : logTicks(low, high))
    svg += fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1}' y2='{2:.1f}' stroke='#e4e4e4'/>"
                       "<text x='{0:.1f}' y='{3}' text-anchor='middle'>{4}</text>",
                       x(t), top - 8, height - 10, top - 14,
                       escapeHtml(formatTime(t, TimeStyle::tick)));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double y0 = top + groupHeight * double(r);
    svg += fmt::format("<text x='{}' y='{:.1f}' text-anchor='end'>{}</text>", left - 8,
                       y0 + groupHeight / 2, escapeHtml(rows[r].key()));
    for (std::size_t i = 0; i < series.size(); ++i) {
      const UnitResult* u =
          series[i].results->find(series[i].config, rows[r].program, rows[r].workload);
      const double y = y0 + laneHeight * (double(i) + 0.5);
      if (!u) continue;
      if (metricValues(*u, Metric::wall).empty()) {
        const bool failed = u->status == Status::failed;
        svg += fmt::format("<text x='{}' y='{:.1f}' fill='{}' font-size='11'>{}: {}</text>",
                           left + 4, y + 4, failed ? "#c0392b" : "#888",
                           escapeHtml(series[i].label), failed ? "failed" : "not run");
        continue;
      }
      const auto v = metricValues(*u, Metric::wall);
      const double q1 = stats::quantile(v, 0.25), q3 = stats::quantile(v, 0.75);
      const double lo = *std::min_element(v.begin(), v.end());
      const double hi = *std::max_element(v.begin(), v.end());
      const double m = stats::median(v);
      svg += fmt::format(
          "<g><title>{} {}: median {}, quartiles {} to {}, {} runs</title>"
          "<line x1='{:.1f}' x2='{:.1f}' y1='{:.1f}' y2='{:.1f}' stroke='{}' stroke-width='1'/>"
          "<rect x='{:.1f}' y='{:.1f}' width='{:.1f}' height='8' fill='{}' opacity='0.45'/>"
          "<circle cx='{:.1f}' cy='{:.1f}' r='4' fill='{}'/></g>",
          escapeHtml(series[i].label), escapeHtml(rows[r].key()),
          escapeHtml(formatTime(m, TimeStyle::tick)), escapeHtml(formatTime(q1, TimeStyle::tick)),
          escapeHtml(formatTime(q3, TimeStyle::tick)), v.size(), x(lo), x(hi), y, y, colour(i),
          x(q1), y - 4, std::max(1.0, x(q3) - x(q1)), colour(i), x(m), y, colour(i));
    }
  }
  return svg + "</svg>";
}

// The ratio chart's horizontal axis: logarithmic, centred on 1, reaching `spread` (a
// logarithm) on each side; ratios beyond it are drawn at its edge.
struct RatioAxis {
  double left, right, width, spread;
  double x(double v) const {
    const double l = std::clamp(std::log(v), -spread, spread);
    return left + (width - left - right) * (l + spread) / (2 * spread);
  }
};

// How far the axis must reach to show every ratio and interval end: at least 10% either
// way, with a margin.
double ratioSpread(const Comparison& c) {
  double spread = std::log(1.1);
  for (const auto& row : c.programs)
    if (row.problem.empty())
      for (double v : {row.ratio, row.interval.low, row.interval.high})
        if (v > 0 && std::isfinite(v)) spread = std::max(spread, std::fabs(std::log(v)));
  return spread * 1.1;
}

// Ticks outward from 1, each far enough from the last one kept to be read.
std::vector<double> ratioTicks(const RatioAxis& axis) {
  std::vector<double> ticks{1.0};
  for (const auto& side : {std::vector<double>{1.05, 1.1, 1.25, 1.5, 2.0, 3.0, 5.0, 10.0},
                           std::vector<double>{0.95, 0.9, 0.8, 0.67, 0.5, 0.33, 0.2, 0.1}}) {
    double last = 1.0;
    for (double t : side)
      if (std::fabs(std::log(t)) <= axis.spread && std::fabs(axis.x(t) - axis.x(last)) >= 45) {
        ticks.push_back(t);
        last = t;
      }
  }
  return ticks;
}

// One line of the ratio chart. A ratio of 0 draws no mark: the text says why, in red.
struct RatioMark {
  std::string label;
  double ratio, low, high;
  const char* fill;
  std::string text, tip;
};

RatioMark programMark(const ProgramComparison& row) {
  const char* fill = row.verdict == Change::slower   ? "#c0392b"
                     : row.verdict == Change::faster ? "#1e8449"
                                                     : "#888";
  return {row.program + "/" + row.workload,
          row.problem.empty() ? row.ratio : 0,
          row.interval.low,
          row.interval.high,
          fill,
          row.problem.empty() ? fmt::format("{:.3f}× {}", row.ratio, changeName(row.verdict))
                              : row.problem,
          fmt::format("{}: {:.3f}× (95% CI {:.3f} to {:.3f}), p = {:.3g}", row.program, row.ratio,
                      row.interval.low, row.interval.high, row.p)};
}

RatioMark geometricMark(const Comparison& c) {
  return {"geometric mean",
          c.geometric.mean,
          c.geometric.mean / c.geometric.sd,
          c.geometric.mean * c.geometric.sd,
          "#222",
          fmt::format("{:.3f}× (gsd {:.3f})", c.geometric.mean, c.geometric.sd),
          "geometric mean of the ratios; the line spans one geometric standard deviation"};
}

std::string ratioLine(const RatioAxis& axis, double y, const RatioMark& mark) {
  std::string svg = fmt::format("<text x='{}' y='{:.1f}' text-anchor='end'>{}</text>",
                                axis.left - 8, y + 4, escapeHtml(mark.label));
  if (!(mark.ratio > 0))
    return svg + fmt::format("<text x='{}' y='{:.1f}' fill='#c0392b'>{}</text>", axis.left + 4,
                             y + 4, escapeHtml(mark.text));
  return svg + fmt::format("<g><title>{}</title><line x1='{:.1f}' x2='{:.1f}' y1='{:.1f}' "
                           "y2='{:.1f}' stroke='{}' stroke-width='2'/><circle cx='{:.1f}' "
                           "cy='{:.1f}' r='4.5' fill='{}'/></g><text x='{}' y='{:.1f}'>{}</text>",
                           escapeHtml(mark.tip), axis.x(mark.low), axis.x(mark.high), y, y,
                           mark.fill, axis.x(mark.ratio), y, mark.fill, axis.width - axis.right + 8,
                           y + 4, escapeHtml(mark.text));
}

// Ratio of medians against the baseline, with its confidence interval, on a log axis
// centred on 1; the geometric mean closes the chart.
std::string ratioChart(const Comparison& c) {
  const RatioAxis axis{190, 190, 1000, ratioSpread(c)};
  const double rowHeight = 20, top = 30;
  const double height = top + rowHeight * double(c.programs.size() + 1) + 16;
  std::string svg = fmt::format("<svg xmlns='http://www.w3.org/2000/svg' width='{}' height='{}' "
                                "role='img'>",
                                axis.width, height);
  for (double t : ratioTicks(axis))
    svg += fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1}' y2='{2:.1f}' stroke='{3}'/>"
                       "<text x='{0:.1f}' y='{4}' text-anchor='middle'>{5:g}×</text>",
                       axis.x(t), top - 8, height - 8, t == 1.0 ? "#555" : "#e4e4e4", top - 14, t);
  auto y = [&](std::size_t r) { return top + rowHeight * (double(r) + 0.5); };
  for (std::size_t r = 0; r < c.programs.size(); ++r)
    svg += ratioLine(axis, y(r), programMark(c.programs[r]));
  if (c.ratios > 0) svg += ratioLine(axis, y(c.programs.size()), geometricMark(c));
  return svg + "</svg>";
}

// Configurations, with the machines and checkouts they were measured on.
std::string configurationTable(const std::vector<Series>& series) {
  std::string html =
      "<table><tr><th></th><th>configuration</th><th>compiler</th><th>flags</th><th>file</th>"
      "<th>measured</th><th>machine</th><th>revision</th></tr>";
  for (std::size_t i = 0; i < series.size(); ++i) {
    const Results& r = *series[i].results;
    ConfigInfo info;
    for (const auto& c : r.configs)
      if (c.name == series[i].config) info = c;
    auto env = [&](const char* key) {
      auto it = r.environment.find(key);
      return it == r.environment.end() ? std::string() : it->second;
    };
    html += fmt::format(
        "<tr><td><i style='display:inline-block;width:12px;height:12px;background:{}'></i></td>"
        "<td>{}</td><td>{}</td><td><code>{}</code></td><td>{}</td><td>{}{}</td><td>{}</td>"
        "<td><code>{}</code>{}</td></tr>",
        colour(i), escapeHtml(series[i].label),
        escapeHtml(info.compilerVersion.empty() ? info.compiler : info.compilerVersion),
        escapeHtml(info.flags), escapeHtml(series[i].file), escapeHtml(r.created),
        r.complete ? "" : " <span class='fail'>(incomplete)</span>",
        escapeHtml(env("cpu") + ", " + env("kernel")),
        escapeHtml(env("git_revision").substr(0, 12)),
        env("git_dirty") == "yes" ? " (modified)" : "");
  }
  return html + "</table>";
}

// One comparison: its summary and notes, how to read its chart, the chart and its table.
std::string comparisonSection(const Comparison& c) {
  std::string html = fmt::format("<h2>{} against {}</h2><p>{}</p>", escapeHtml(c.other.label),
                                 escapeHtml(c.base.label), escapeHtml(comparisonSummary(c)));
  for (const auto& note : noiseNotes(c)) html += "<p class='muted'>" + escapeHtml(note) + "</p>";
  html += c.layouts
              ? "<p class='muted'>Ratio of the medians of the per-layout median wall times "
                "(above 1: slower than the baseline), with its 95% two-level bootstrap "
                "interval (layouts, then runs within them); red and green mark significant "
                "differences. Layout spread: how far the layouts' medians spread; run spread: "
                "how far runs spread within a layout (base/other).</p>"
              : "<p class='muted'>Ratio of median wall times (above 1: slower than the "
                "baseline), with its 95% bootstrap interval; red and green mark significant "
                "differences (Mann–Whitney U).</p>";
  return html + ratioChart(c) + htmlSections({{{"", comparisonTable(c), {}}}});
}

// Each results file once, with its run table and, with code layouts, its layout table.
std::string measurementSections(const std::vector<Series>& series) {
  std::string html = "<h2>Measurements</h2>";
  std::set<const Results*> shown;
  for (const auto& s : series) {
    if (!shown.insert(s.results).second) continue;
    html += fmt::format("<h3>{}</h3>", escapeHtml(s.file));
    html += htmlSections(runDocument(*s.results));
    if (Table layouts = layoutTable(*s.results); !layouts.rows.empty())
      html += "<h4>Median wall time of each code layout</h4>" +
              htmlSections({{{"", std::move(layouts), {}}}});
  }
  return html;
}

} // namespace

std::string htmlReport(const std::vector<Series>& series,
                       const std::vector<Comparison>& comparisons, const std::string& appendix) {
  std::string html = fmt::format(
      "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>bench32 report</title>"
      "<style>{}</style></head><body><h1>bench32 report</h1>",
      htmlStyle);
  html += configurationTable(series);
  html += "<h2>Wall time per program</h2><p class='muted'>Dot: median; bar: interquartile "
          "range; line: fastest to slowest run. Log scale.</p><div class='legend'>";
  for (std::size_t i = 0; i < series.size(); ++i)
    html += fmt::format("<span><i style='background:{}'></i>{}</span>", colour(i),
                        escapeHtml(series[i].label));
  html += "</div>" + timesChart(series, allRows(series));
  for (const auto& c : comparisons) html += comparisonSection(c);
  return html + measurementSections(series) + appendix + "</body></html>\n";
}

} // namespace bench32
