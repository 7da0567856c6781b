#include "output/report.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "analysis/stats.hpp"
#include "exec/errors.hpp"
#include "exec/words.hpp"
#include "model/metrics.hpp"
#include "output/chart.hpp"
#include "output/comparison_table.hpp"
#include "output/export/html.hpp"

namespace bench32 {
namespace {

using chart::Scale;
using chart::Shape;

// ---- Pairing --------------------------------------------------------------------------

std::size_t labelIndex(const std::vector<Series>& series, const std::string& label) {
  for (std::size_t i = 0; i < series.size(); ++i)
    if (series[i].label == label) return i;
  return series.size();
}

std::string knownLabels(const std::vector<Series>& series) {
  std::vector<std::string> known;
  for (const auto& s : series) known.push_back(s.label);
  return joinNames(known);
}

// "BASE:OTHER", split at the colon where both sides are labels.
SeriesPair namedPair(const std::vector<Series>& series, const std::string& text) {
  for (std::size_t colon = text.find(':'); colon != std::string::npos;
       colon = text.find(':', colon + 1)) {
    const std::size_t base = labelIndex(series, text.substr(0, colon));
    const std::size_t other = labelIndex(series, text.substr(colon + 1));
    if (base < series.size() && other < series.size() && base != other) return {base, other};
  }
  throw BadInput(fmt::format("--pair \"{}\" names no two series as BASE:OTHER (there are: {})",
                             text, knownLabels(series)));
}

} // namespace

std::vector<SeriesPair> reportPairs(const std::vector<Series>& series,
                                    const std::vector<std::string>& named,
                                    const std::string& baseline) {
  std::vector<SeriesPair> pairs;
  if (!named.empty()) {
    if (!baseline.empty()) throw BadInput("give --pair or --baseline, not both");
    for (const auto& text : named) pairs.push_back(namedPair(series, text));
    return pairs;
  }
  if (!baseline.empty()) {
    const std::size_t base = labelIndex(series, baseline);
    if (base == series.size())
      throw BadInput(
          fmt::format("no configuration \"{}\" (there are: {})", baseline, knownLabels(series)));
    for (std::size_t i = 0; i < series.size(); ++i)
      if (i != base) pairs.push_back({base, i});
    return pairs;
  }
  // Files in the order their series come; a series' file is its results.
  std::vector<const Results*> files;
  for (const auto& s : series)
    if (std::find(files.begin(), files.end(), s.results) == files.end()) files.push_back(s.results);
  auto fileOf = [&](std::size_t i) {
    return std::size_t(std::find(files.begin(), files.end(), series[i].results) - files.begin());
  };
  for (std::size_t i = 0; i < series.size(); ++i) {
    std::size_t best = series.size();
    for (std::size_t j = 0; j < series.size(); ++j)
      if (series[j].config == series[i].config && fileOf(j) < fileOf(i) &&
          (best == series.size() || fileOf(j) > fileOf(best)))
        best = j;
    if (best < series.size()) pairs.push_back({best, i});
  }
  std::size_t first = series.size();
  for (std::size_t i = 0; i < series.size(); ++i) {
    if (series[i].results != files.back()) continue;
    if (first == series.size())
      first = i;
    else
      pairs.push_back({first, i});
  }
  if (pairs.empty())
    for (std::size_t i = 1; i < series.size(); ++i) pairs.push_back({0, i});
  return pairs;
}

namespace {

// ---- Shared pieces --------------------------------------------------------------------

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

const UnitResult* unitOf(const Series& s, const Row& row) {
  return s.results->find(s.config, row.program, row.workload);
}

std::string svgOpen(double width, double height, const std::string& label) {
  return fmt::format("<svg xmlns='http://www.w3.org/2000/svg' width='{:.0f}' height='{:.0f}' "
                     "viewBox='0 0 {:.0f} {:.0f}' role='img' aria-label='{}'>",
                     width, height, width, height, escapeHtml(label));
}

std::string legend(const std::vector<Series>& series) {
  std::string html = "<div class='legend'>";
  for (std::size_t i = 0; i < series.size(); ++i)
    html += "<span>" + chart::swatch(i) + escapeHtml(series[i].label) + "</span>";
  return html + "</div>";
}

double widest(const std::vector<std::string>& labels, double px = 12) {
  double w = 0;
  for (const auto& l : labels) w = std::max(w, chart::textWidth(l, px));
  return w;
}

// A value axis over [low, high] with round ends.
struct ValueAxis {
  chart::Ticks ticks;
  double low, high;
};

ValueAxis valueAxis(double low, double high, int count) {
  if (!(high > low)) {
    const double pad = std::max(std::fabs(low) * 0.05, 1e-9);
    low -= pad, high += pad;
  }
  const double pad = (high - low) * 0.04;
  chart::Ticks ticks = chart::niceTicks(low - pad, high + pad, count);
  const double step = ticks.step;
  return {ticks, std::floor((low - pad) / step) * step, std::ceil((high + pad) / step) * step};
}

// ---- Wall time per program ------------------------------------------------------------

// One program's panel: a lane per series, each with its runs' range (thin line), their
// interquartile range (box), the median (the series' mark) and the median's 95% interval
// (black whiskers drawn over the mark, so that a narrow one still shows), on a linear
// axis of its own.
std::string timesPanel(const std::vector<Series>& series, const Row& row) {
  double low = INFINITY, high = -INFINITY;
  std::vector<std::string> labels;
  for (const auto& s : series) {
    labels.push_back(s.label);
    if (const UnitResult* u = unitOf(s, row))
      for (double v : metricValues(*u, Metric::wall))
        low = std::min(low, v), high = std::max(high, v);
  }
  const double laneHeight = 22, top = 28, width = 520;
  const double left = std::max(70.0, widest(labels) + 14), right = 84;
  const double plotBottom = top + laneHeight * double(series.size());
  const double height = plotBottom + 6 + chart::bottomAxisHeight + 4;
  std::string svg =
      svgOpen(width, height, row.key() + " wall time") +
      fmt::format("<text class='panel-title' x='4' y='16'>{}</text>", escapeHtml(row.key()));
  if (!(high >= low)) {
    for (std::size_t i = 0; i < series.size(); ++i) {
      const double y = top + laneHeight * (double(i) + 0.5);
      const UnitResult* u = unitOf(series[i], row);
      svg += fmt::format("<text x='{:.1f}' y='{:.1f}' text-anchor='end'>{}</text>"
                         "<text class='fail' x='{:.1f}' y='{:.1f}'>{}</text>",
                         left - 8, y + 4, escapeHtml(series[i].label), left + 4, y + 4,
                         !u                            ? "not measured"
                         : u->status == Status::failed ? "failed"
                                                       : "not run");
    }
    return svg + "</svg>";
  }
  const chart::TimeUnit unit = chart::timeUnit(high);
  const ValueAxis axis = valueAxis(low, high, 5);
  const Scale x{axis.low, axis.high, left, width - right};
  for (double t : axis.ticks.values)
    svg += fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1:.1f}' y2='{2:.1f}' "
                       "stroke='#e8e8e8'/>",
                       x.at(t), top, plotBottom);
  for (std::size_t i = 0; i < series.size(); ++i) {
    const double y = top + laneHeight * (double(i) + 0.5);
    svg += fmt::format("<text x='{:.1f}' y='{:.1f}' text-anchor='end'>{}</text>", left - 8, y + 4,
                       escapeHtml(series[i].label));
    const UnitResult* u = unitOf(series[i], row);
    const auto v = u ? metricValues(*u, Metric::wall) : std::vector<double>{};
    if (v.empty()) {
      svg += fmt::format("<text class='fail' x='{:.1f}' y='{:.1f}'>{}</text>", left + 4, y + 4,
                         !u                            ? "not measured"
                         : u->status == Status::failed ? "failed"
                                                       : "not run");
      continue;
    }
    const chart::Look look = chart::seriesLook(i);
    const double q1 = stats::quantile(v, 0.25), q3 = stats::quantile(v, 0.75);
    const double m = stats::median(v);
    const auto ci = stats::medianInterval(v);
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    svg += fmt::format(
        "<g class='program-mark'><title>{} {}: median {}, 95% interval {} to {}, quartiles {} "
        "to {}, {}</title>"
        "<line x1='{:.1f}' x2='{:.1f}' y1='{:.1f}' y2='{:.1f}' stroke='{}' stroke-width='1.5'/>"
        "<rect x='{:.1f}' y='{:.1f}' width='{:.1f}' height='10' fill='{}' fill-opacity='0.35' "
        "stroke='{}'/>{}",
        escapeHtml(series[i].label), escapeHtml(row.key()), escapeHtml(formatSeconds(m)),
        escapeHtml(formatSeconds(ci.low)), escapeHtml(formatSeconds(ci.high)),
        escapeHtml(formatSeconds(q1)), escapeHtml(formatSeconds(q3)), plural(v.size(), "run"),
        x.at(*lo), x.at(*hi), y, y, look.colour, x.at(q1), y - 5,
        std::max(1.0, x.at(q3) - x.at(q1)), look.colour, look.colour,
        chart::mark(look.shape, x.at(m), y, 5, look.colour, "#222", 0.8));
    svg += fmt::format("<path class='interval' d='M{0:.1f},{2:.1f}V{3:.1f}M{0:.1f},{4:.1f}H{1:.1f}"
                       "M{1:.1f},{2:.1f}V{3:.1f}' stroke='#222' stroke-width='1.6' fill='none'/>"
                       "</g><text x='{5:.1f}' y='{6:.1f}'>{7}</text>",
                       x.at(ci.low), x.at(ci.high), y - 8, y + 8, y, width - right + 8, y + 4,
                       escapeHtml(formatSeconds(m)));
  }
  svg += chart::bottomAxis(x, plotBottom + 6, axis.ticks, fmt::format("wall time ({})", unit.name),
                           {unit.scale, "", false});
  return svg + "</svg>";
}

std::string timesSection(const std::vector<Series>& series, const std::vector<Row>& rows) {
  std::string html =
      "<h2>Wall time per program</h2><p class='muted'>Each program on its own linear axis. Mark: "
      "the median; black whiskers: the median's 95% interval; box: the interquartile range; "
      "thin line: fastest to slowest run. The figure at the right is the median.</p>" +
      legend(series) + "<div class='charts'>";
  for (const auto& row : rows) html += timesPanel(series, row);
  if (rows.empty()) html += "<p class='muted'>No timed runs.</p>";
  return html + "</div>";
}

// ---- Ratio chart ----------------------------------------------------------------------

// The ratio chart's horizontal axis: logarithmic, centred on 1, reaching `spread` (a
// logarithm) on each side; ratios beyond it are drawn at its edge.
struct RatioAxis {
  double left, right, width, spread;
  double x(double v) const {
    const double l = std::clamp(std::log(v), -spread, spread);
    return left + (width - left - right) * (l + spread) / (2 * spread);
  }
};

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

// A ratio as a change in per cent, signed: 1.12 is "+12.0%", 0.9 is "−10.0%".
std::string changePercent(double ratio) {
  const double p = (ratio - 1) * 100;
  return fmt::format("{}{:.1f}%", p < 0 ? "\u2212" : "+", std::fabs(p));
}

// One line of the ratio chart. A ratio of 0 draws no mark: the text says why.
struct RatioMark {
  std::string label;
  double ratio, low, high;
  const char* colour;
  Shape shape;
  std::string text, tip;
};

RatioMark programMark(const ProgramComparison& row) {
  const bool slower = row.verdict == Change::slower, faster = row.verdict == Change::faster;
  return {row.program + "/" + row.workload,
          row.problem.empty() ? row.ratio : 0,
          row.interval.low,
          row.interval.high,
          slower   ? chart::slowerColour
          : faster ? chart::fasterColour
                   : chart::sameColour,
          slower   ? Shape::triangleUp
          : faster ? Shape::triangleDown
                   : Shape::circle,
          row.problem.empty() ? fmt::format("{:.3f}× {} {}", row.ratio, changePercent(row.ratio),
                                            changeName(row.verdict))
                              : row.problem,
          fmt::format("{}: {:.3f}× (95% CI {:.3f} to {:.3f}), p = {:.3g}, {}", row.program,
                      row.ratio, row.interval.low, row.interval.high, row.p,
                      changeName(row.verdict))};
}

// The geometric mean's interval, when the programs' runs are one flat sample each side:
// resampling runs then matches how each program's ratio was taken. With code layouts or
// several sessions a side, the ratios are the grouped ones, and no interval is given.
std::optional<stats::Interval> geometricInterval(const Comparison& c) {
  if (c.layouts) return std::nullopt;
  stats::Pairs pairs;
  for (const auto& row : c.programs) {
    if (!row.problem.empty()) continue;
    if (row.baseSessions > 1 || row.otherSessions > 1) return std::nullopt;
    const Row key{row.program, row.workload};
    const UnitResult* a = unitOf(c.base, key);
    const UnitResult* b = unitOf(c.other, key);
    if (!a || !b) return std::nullopt;
    auto base = metricValues(*a, c.metric), other = metricValues(*b, c.metric);
    // The interval is of median(first) / median(second): other over base, so that above
    // 1 is slower, or base over other for a metric where more is better.
    if (metricInfo(c.metric).higherIsBetter) std::swap(base, other);
    pairs.emplace_back(std::move(other), std::move(base));
  }
  if (pairs.empty()) return std::nullopt;
  const stats::Interval ci = stats::geometricRatioInterval(pairs);
  if (!(ci.low > 0) || !std::isfinite(ci.high)) return std::nullopt;
  return ci;
}

RatioMark geometricMark(const Comparison& c, const std::optional<stats::Interval>& ci) {
  const double mean = c.geometric.mean;
  if (ci)
    return {"geometric mean",
            mean,
            ci->low,
            ci->high,
            chart::inkColour,
            Shape::diamond,
            fmt::format("{:.3f}× {} (95% CI {})", mean, changePercent(mean),
                        formatInterval(ci->low, ci->high)),
            "geometric mean of the programs' ratios, with its 95% bootstrap interval"};
  return {"geometric mean",
          mean,
          mean / c.geometric.sd,
          mean * c.geometric.sd,
          chart::inkColour,
          Shape::diamond,
          fmt::format("{:.3f}× {} (gsd {:.3f})", mean, changePercent(mean), c.geometric.sd),
          "geometric mean of the programs' ratios; the whiskers span one geometric standard "
          "deviation of the ratios"};
}

std::string ratioLine(const RatioAxis& axis, double y, const RatioMark& mark) {
  std::string svg = fmt::format("<text x='{}' y='{:.1f}' text-anchor='end'>{}</text>",
                                axis.left - 8, y + 4, escapeHtml(mark.label));
  if (!(mark.ratio > 0))
    return svg + fmt::format("<text class='fail' x='{}' y='{:.1f}'>{}</text>", axis.left + 4, y + 4,
                             escapeHtml(mark.text));
  const double lo = axis.x(mark.low), hi = axis.x(mark.high);
  return svg + fmt::format(
                   "<g class='ratio-mark'><title>{0}</title>{1}<path class='interval' "
                   "d='M{2:.1f},{4:.1f}V{5:.1f}M{2:.1f},{6:.1f}H{3:.1f}M{3:.1f},{4:.1f}V{5:.1f}' "
                   "stroke='#222' stroke-width='1.6' fill='none'/></g>"
                   "<text x='{7:.1f}' y='{8:.1f}'>{9}</text>",
                   escapeHtml(mark.tip),
                   chart::mark(mark.shape, axis.x(mark.ratio), y, 5, mark.colour, "#222", 0.8), lo,
                   hi, y - 7, y + 7, y, axis.width - axis.right + 10, y + 4, escapeHtml(mark.text));
}

// How far the axis must reach to show every ratio and interval end: at least 10% either
// way, with a margin.
double ratioSpread(const Comparison& c, const RatioMark& geometric) {
  double spread = std::log(1.1);
  auto take = [&](double v) {
    if (v > 0 && std::isfinite(v)) spread = std::max(spread, std::fabs(std::log(v)));
  };
  for (const auto& row : c.programs)
    if (row.problem.empty())
      for (double v : {row.ratio, row.interval.low, row.interval.high}) take(v);
  if (c.ratios > 0)
    for (double v : {geometric.ratio, geometric.low, geometric.high}) take(v);
  return spread * 1.1;
}

// Ratio of medians against the base with its confidence interval, on a log axis centred
// on 1; the geometric mean closes the chart.
std::string ratioChart(const Comparison& c, const RatioMark& geometric) {
  std::vector<RatioMark> marks;
  for (const auto& row : c.programs) marks.push_back(programMark(row));
  if (c.ratios > 0) marks.push_back(geometric);
  std::vector<std::string> labels, texts;
  for (const auto& m : marks) labels.push_back(m.label), texts.push_back(m.text);
  const double width = 1000;
  RatioAxis axis{std::max(120.0, widest(labels) + 16), std::max(120.0, widest(texts) + 18), width,
                 ratioSpread(c, geometric)};
  const double rowHeight = 22, top = 10;
  const double plotBottom = top + rowHeight * double(marks.size());
  const double height = plotBottom + 6 + chart::bottomAxisHeight + 4;
  std::string svg = svgOpen(width, height, c.other.label + " against " + c.base.label);
  for (double t : ratioTicks(axis))
    svg += fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1}' y2='{2:.1f}' stroke='{3}'/>",
                       axis.x(t), top, plotBottom, t == 1.0 ? "#555" : "#e4e4e4");
  for (std::size_t r = 0; r < marks.size(); ++r)
    svg += ratioLine(axis, top + rowHeight * (double(r) + 0.5), marks[r]);
  // The log axis's ticks, labelled under its line.
  const double y = plotBottom + 6;
  svg += fmt::format("<g class='axis'><line x1='{:.1f}' x2='{:.1f}' y1='{:.1f}' y2='{:.1f}' "
                     "stroke='#555'/>",
                     axis.left, width - axis.right, y, y);
  for (double t : ratioTicks(axis))
    svg += fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1:.1f}' y2='{2:.1f}' stroke='#555'/>"
                       "<text class='tick' x='{0:.1f}' y='{3:.1f}' text-anchor='middle'>{4:g}×"
                       "</text>",
                       axis.x(t), y, y + 4, y + 16, t);
  svg += fmt::format(
      "<text class='axis-title' x='{:.1f}' y='{:.1f}' text-anchor='middle'>{}</text></g>",
      (axis.left + width - axis.right) / 2, y + 33,
      escapeHtml(fmt::format("{} ratio, {} / {} (log scale; above 1×: {} slower)",
                             metricInfo(c.metric).name, c.other.label, c.base.label,
                             c.other.label)));
  return svg + "</svg>";
}

// ---- Configurations and comparisons ---------------------------------------------------

// Configurations, with the machines and checkouts they were measured on.
std::string configurationTable(const std::vector<Series>& series) {
  std::string html = "<div class='scroll'><table class='sortable'><thead><tr><th>series</th>"
                     "<th>compiler</th><th>flags</th><th>file</th><th>measured</th>"
                     "<th>machine</th><th>revision</th></tr></thead><tbody>";
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
        "<tr><td>{}{}</td><td>{}</td><td><code>{}</code></td><td>{}</td><td>{}{}</td><td>{}</td>"
        "<td><code>{}</code>{}</td></tr>",
        chart::swatch(i), escapeHtml(series[i].label),
        escapeHtml(info.compilerVersion.empty() ? info.compiler : info.compilerVersion),
        escapeHtml(info.flags), escapeHtml(series[i].file), escapeHtml(r.created),
        r.complete ? "" : " <span class='fail'>(incomplete)</span>",
        escapeHtml(env("cpu") + ", " + env("kernel")),
        escapeHtml(env("git_revision").substr(0, 12)),
        env("git_dirty") == "yes" ? " (modified)" : "");
  }
  return html + "</tbody></table></div>";
}

// What a comparison sets side by side, in words.
std::string pairKind(const Comparison& c) {
  if (c.base.results == c.other.results) return "two configurations measured in one session";
  if (c.base.config == c.other.config)
    return fmt::format("configuration {} in two results (revisions or sessions)", c.base.config);
  return "two configurations from different results";
}

// One comparison: its summary and notes, how to read its chart, the chart and its table.
std::string comparisonSection(const Comparison& c) {
  const auto ci = geometricInterval(c);
  const RatioMark geometric = geometricMark(c, ci);
  std::string html = fmt::format(
      "<section class='comparison' data-base='{0}' data-other='{1}'><h2>{1} against {0}</h2>"
      "<p class='muted'>{2}.</p><p>{3}</p>",
      escapeHtml(c.base.label), escapeHtml(c.other.label), escapeHtml(pairKind(c)),
      escapeHtml(comparisonSummary(c)));
  for (const auto& note : noiseNotes(c)) html += "<p class='muted'>" + escapeHtml(note) + "</p>";
  const std::string marks =
      "▲ (vermillion): significantly slower; ▼ (blue): significantly faster; ● (grey): no "
      "significant difference. ";
  const std::string mean =
      ci ? "◆ Geometric mean of the programs' ratios, with its 95% bootstrap interval (each "
           "program's runs resampled; the programs are the suite, not a sample)."
         : "◆ Geometric mean of the programs' ratios; with code layouts or several sessions a "
           "side its whiskers span one geometric standard deviation of the ratios, not an "
           "interval.";
  html += c.layouts
              ? "<p class='muted'>Ratio of the medians of the per-layout median wall times "
                "(above 1: slower than the base), whiskers: its 95% two-level bootstrap "
                "interval (layouts, then runs within them). " +
                    marks + mean +
                    " Layout spread: how far the layouts' medians spread; run spread: how far "
                    "runs spread within a layout (base/other).</p>"
              : "<p class='muted'>Ratio of median wall times (above 1: slower than the base), "
                "whiskers: its 95% bootstrap interval. " +
                    marks + "Significance by the Mann–Whitney U test. " + mean + "</p>";
  return html + "<div class='scroll'>" + ratioChart(c, geometric) + "</div>" +
         htmlSections({{{"", comparisonTable(c), {}}}}) + "</section>";
}

// ---- Each program's runs --------------------------------------------------------------

// Every run of every series in the order measured, on one linear time axis.
std::string sequenceChart(const std::vector<Series>& series, const Row& row,
                          const chart::TimeUnit& unit, const ValueAxis& axis) {
  std::size_t most = 1;
  for (const auto& s : series)
    if (const UnitResult* u = unitOf(s, row)) most = std::max(most, u->samples.size());
  const double width = 520, height = 240, top = 14;
  std::vector<std::string> tickLabels;
  for (double t : axis.ticks.values)
    tickLabels.push_back(chart::tickText(t, axis.ticks.step, {unit.scale, "", false}));
  const double left = widest(tickLabels) + 36, right = 16;
  const double plotBottom = height - 6 - chart::bottomAxisHeight - 4;
  const Scale y{axis.low, axis.high, plotBottom, top};
  // Half a run's room either side, so that the first and last runs clear the axes.
  const Scale x{0.5, double(most) + 0.5, left, width - right};
  chart::Ticks runs = chart::niceTicks(1, double(most), std::min<int>(int(most), 6));
  if (runs.step < 1) runs = chart::niceTicks(1, double(most), 1);
  std::string svg = svgOpen(width, height, row.key() + " runs in order");
  for (std::size_t i = 0; i < series.size(); ++i) {
    const UnitResult* u = unitOf(series[i], row);
    if (!u || u->samples.empty()) continue;
    const chart::Look look = chart::seriesLook(i);
    std::string points, marks;
    for (std::size_t k = 0; k < u->samples.size(); ++k) {
      const double v = u->samples[k].wall;
      points += fmt::format("{}{:.1f},{:.1f}", k ? " " : "", x.at(double(k + 1)), y.at(v));
      marks += fmt::format(
          "<g><title>{} run {}: {}</title>{}</g>", escapeHtml(series[i].label), k + 1,
          escapeHtml(formatSeconds(v)),
          chart::mark(look.shape, x.at(double(k + 1)), y.at(v), 3.5, look.colour, "#222", 0.5));
    }
    svg += fmt::format("<polyline points='{}' fill='none' stroke='{}' stroke-opacity='0.7'/>{}",
                       points, look.colour, marks);
  }
  svg += chart::leftAxis(y, left, axis.ticks, fmt::format("wall time ({})", unit.name), 12,
                         {unit.scale, "", false});
  svg += chart::bottomAxis(x, plotBottom, runs, "timed run, in the order measured");
  return svg + "</svg>";
}

// How the runs of each series fall into shared bins: a row of bars per series, each
// bar's count over it.
std::string histogram(const std::vector<Series>& series, const Row& row,
                      const chart::TimeUnit& unit, const ValueAxis& axis) {
  std::vector<std::size_t> shown;
  std::vector<std::string> labels;
  std::size_t total = 0;
  for (std::size_t i = 0; i < series.size(); ++i)
    if (const UnitResult* u = unitOf(series[i], row); u && !u->samples.empty()) {
      shown.push_back(i);
      labels.push_back(series[i].label);
      total = std::max(total, u->samples.size());
    }
  const std::size_t bins =
      std::clamp<std::size_t>(std::size_t(std::ceil(std::sqrt(double(total)) * 1.5)), 5, 24);
  const double width = 520, laneHeight = 46, top = 8;
  const double left = widest(labels) + 36, right = 16;
  const double plotBottom = top + laneHeight * double(shown.size());
  const double height = plotBottom + chart::bottomAxisHeight + 6;
  const Scale x{axis.low, axis.high, left, width - right};
  const double binWidth = (axis.high - axis.low) / double(bins);
  std::string svg = svgOpen(width, height, row.key() + " histogram");
  for (std::size_t lane = 0; lane < shown.size(); ++lane) {
    const std::size_t i = shown[lane];
    const chart::Look look = chart::seriesLook(i);
    std::vector<std::size_t> counts(bins, 0);
    for (const auto& s : unitOf(series[i], row)->samples) {
      const double at = std::floor((s.wall - axis.low) / binWidth);
      counts[std::size_t(std::clamp(at, 0.0, double(bins - 1)))]++;
    }
    const std::size_t peak = *std::max_element(counts.begin(), counts.end());
    const double base = top + laneHeight * double(lane + 1) - 2, room = laneHeight - 16;
    svg += fmt::format("<text x='{:.1f}' y='{:.1f}' text-anchor='end'>{}</text>", left - 8,
                       base - room / 2 + 4, escapeHtml(series[i].label));
    svg += fmt::format("<line x1='{:.1f}' x2='{:.1f}' y1='{:.1f}' y2='{:.1f}' stroke='#ccc'/>",
                       left, width - right, base, base);
    for (std::size_t b = 0; b < bins; ++b) {
      if (counts[b] == 0) continue;
      const double h = room * double(counts[b]) / double(peak);
      const double x0 = x.at(axis.low + binWidth * double(b)),
                   x1 = x.at(axis.low + binWidth * double(b + 1));
      svg += fmt::format("<rect x='{:.1f}' y='{:.1f}' width='{:.1f}' height='{:.1f}' fill='{}' "
                         "stroke='#222' stroke-width='0.5'/><text x='{:.1f}' y='{:.1f}' "
                         "text-anchor='middle' font-size='10'>{}</text>",
                         x0 + 0.5, base - h, std::max(1.0, x1 - x0 - 1), h, look.colour,
                         (x0 + x1) / 2, base - h - 2, counts[b]);
    }
  }
  svg += fmt::format("<text class='axis-title' x='12' y='{0:.1f}' text-anchor='middle' "
                     "transform='rotate(-90 12 {0:.1f})'>runs</text>",
                     (top + plotBottom) / 2);
  svg += chart::bottomAxis(x, plotBottom, axis.ticks, fmt::format("wall time ({})", unit.name),
                           {unit.scale, "", false});
  return svg + "</svg>";
}

// The runs as numbers: one row per run, a column per series.
std::string runsTable(const std::vector<Series>& series, const Row& row) {
  std::string html = "<div class='scroll'><table class='sortable runs'><thead><tr><th>run</th>";
  std::size_t most = 0;
  for (const auto& s : series) {
    html += "<th>" + escapeHtml(s.label) + "</th>";
    if (const UnitResult* u = unitOf(s, row)) most = std::max(most, u->samples.size());
  }
  html += "</tr></thead><tbody>";
  for (std::size_t k = 0; k < most; ++k) {
    html += fmt::format("<tr><td class='n'>{}</td>", k + 1);
    for (const auto& s : series) {
      const UnitResult* u = unitOf(s, row);
      if (u && k < u->samples.size())
        html += fmt::format("<td class='n' data-text='{}'>{}</td>",
                            escapeHtml(formatRaw(u->samples[k].wall)),
                            escapeHtml(formatSeconds(u->samples[k].wall)));
      else
        html += "<td class='n'>-</td>";
    }
    html += "</tr>";
  }
  return html + "</tbody></table></div>";
}

std::string programDetails(const std::vector<Series>& series, const Row& row,
                           const std::string& explained) {
  double low = INFINITY, high = -INFINITY;
  std::vector<std::string> summary;
  for (const auto& s : series) {
    const UnitResult* u = unitOf(s, row);
    if (!u) continue;
    for (const auto& sample : u->samples)
      low = std::min(low, sample.wall), high = std::max(high, sample.wall);
    summary.push_back(
        u->samples.empty()
            ? fmt::format("{} {}", s.label, statusName(u->status))
            : fmt::format("{} {} ({})", s.label,
                          formatSeconds(stats::median(metricValues(*u, Metric::wall))),
                          plural(u->samples.size(), "run")));
  }
  std::string html = fmt::format("<details class='program'><summary>{}: {}</summary>",
                                 escapeHtml(row.key()), escapeHtml(joinNames(summary)));
  if (!(high >= low))
    return html + "<p class='muted'>No timed runs.</p>" + explained + "</details>";
  const chart::TimeUnit unit = chart::timeUnit(high);
  const ValueAxis axis = valueAxis(low, high, 5);
  html += "<div class='charts'>" + sequenceChart(series, row, unit, axis) +
          histogram(series, row, unit, axis) + "</div>";
  for (const auto& s : series)
    if (const UnitResult* u = unitOf(s, row); u && !u->failure.empty())
      html += "<p class='fail'>" + escapeHtml(failureLine(*u)) + "</p>";
  return html + runsTable(series, row) + explained + "</details>";
}

std::string detailsSection(const std::vector<Series>& series, const std::vector<Row>& rows,
                           const std::map<std::string, std::string>& explained) {
  std::string html = "<h2>Each program's runs</h2><p class='muted'>Open a program for its timed "
                     "runs in the order they ran (a drift or a step shows there), how they "
                     "spread, and every run's wall time.</p>" +
                     legend(series);
  for (const auto& row : rows) {
    const auto it = explained.find(row.key());
    html += programDetails(series, row, it == explained.end() ? "" : it->second);
  }
  return html;
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
                       const std::vector<Comparison>& comparisons, const std::string& appendix,
                       const std::string& script,
                       const std::map<std::string, std::string>& explained) {
  std::string html = fmt::format(
      "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
      "<meta name='viewport' content='width=device-width, initial-scale=1'>"
      "<title>bench32 report</title><style>{}</style></head><body><h1>bench32 report</h1>",
      htmlStyle);
  if (script.empty())
    html += "<p class='muted'>The tables do not sort here: the page was written without its "
            "table script.</p>";
  const auto rows = allRows(series);
  html += configurationTable(series) + timesSection(series, rows);
  for (const auto& c : comparisons) html += comparisonSection(c);
  html += detailsSection(series, rows, explained);
  return html + measurementSections(series) + appendix + script + "</body></html>\n";
}

} // namespace bench32
