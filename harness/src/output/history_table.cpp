#include "output/history_table.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <span>

#include <fmt/format.h>

#include "exec/words.hpp"
#include "output/chart.hpp"
#include "output/export/html.hpp"

namespace bench32 {

namespace {

// The learned between-session spread, for people.
std::string noiseText(const stats::PooledSpread& noise) {
  return noise.df > 0 ? fmt::format("±{} ({})", formatPercent(noise.sd), noise.df) : "-";
}

std::string changeText(const HistoryRow& row) {
  if (!row.failure.empty()) return row.failure;
  if (!row.hasPrevious) return "";
  if (!row.change.problem.empty()) return row.change.problem;
  std::string text = changeName(row.change.verdict);
  if (row.change.insideNoise) text += " (inside session noise)";
  if (row.change.disturbedShare > 0)
    text += fmt::format(" (busy session: waited {:.0f}%)", row.change.disturbedShare * 100);
  if (row.change.withinSessionOnly && flagged(row)) text += " (within-session only)";
  return text;
}

std::vector<Column> historyColumns(const MetricInfo& info) {
  return {{"program", "program"},
          {"workload", "workload"},
          {"config", "config"},
          {"revision", "revision"},
          {"sessions", "sessions", true},
          {"runs", "runs", true},
          {info.column, "median", true},
          {"95% CI", "", true},
          {"", "ci_low"},
          {"", "ci_high"},
          {"vs previous", "ratio", true},
          {"p", "p", true},
          {"change", "change"},
          {"session noise", "", true},
          {"", "session_spread"},
          {"detects", "detects", true},
          {"state", "state"}};
}

// A revision of a series: its median and interval unless it failed, and its change from
// the revision before when the two could be compared.
std::vector<Cell> historyCells(const HistoryRow& row, const MetricInfo& info,
                               const CompareSettings& settings) {
  const bool compared = row.hasPrevious && row.change.problem.empty();
  const double step = compared ? detectableStep(row.change, settings) : std::nan("");
  const bool measured = row.failure.empty();
  return {row.program,
          row.workload,
          row.config,
          {revisionLabel(row.revision), row.revision},
          std::to_string(row.sessions),
          std::to_string(row.count),
          {measured ? info.format(row.median) : "-", measured ? formatRaw(row.median) : ""},
          measured ? formatInterval(info.format(row.interval.low), info.format(row.interval.high))
                   : "-",
          measured ? formatRaw(row.interval.low) : "",
          measured ? formatRaw(row.interval.high) : "",
          {compared ? fmt::format("{:.3f}", row.change.ratio) : "",
           compared ? formatRaw(row.change.ratio) : ""},
          {compared ? (row.change.p < 0.001 ? "<0.001" : fmt::format("{:.3f}", row.change.p)) : "",
           compared ? formatRaw(row.change.p) : ""},
          {changeText(row), !measured  ? row.failure
                            : compared ? changeName(row.change.verdict)
                                       : row.change.problem},
          noiseText(row.noise),
          row.noise.df > 0 ? formatRaw(row.noise.sd) : "",
          {std::isfinite(step) ? "≥ " + formatPercent(step) : "", formatRaw(step)},
          row.change.state};
}

std::string historyRowTag(const HistoryRow& row) {
  if (!row.failure.empty()) return "failed";
  if (!flagged(row)) return "";
  return row.change.verdict == Change::slower ? "slower" : "faster";
}

// Under the table: what was flagged and by which rule, what was held back and why, the
// sessions' shifts, and the revision points' warnings.
std::vector<std::string> historyNotes(const std::vector<HistoryRow>& rows,
                                      const std::vector<RevisionPoint>& points,
                                      const CompareSettings& settings) {
  const MetricInfo& info = metricInfo(settings.metric);
  std::size_t changes = 0, withinOnly = 0, insideNoise = 0;
  std::set<std::string> series;
  for (const auto& row : rows) {
    series.insert(row.program + "/" + row.workload + "/" + row.config);
    const bool compared = row.hasPrevious && row.change.problem.empty();
    changes += flagged(row);
    withinOnly += flagged(row) && row.change.withinSessionOnly;
    insideNoise += compared && row.change.insideNoise;
  }
  std::vector<std::string> notes{fmt::format("{} ({}): {}, {} series; {} flagged", info.name,
                                             info.unit, plural(points.size(), "revision"),
                                             series.size(), plural(changes, "significant change"))};
  if (!info.exact)
    notes.push_back(fmt::format(
        "a change is flagged when the runs differ significantly (p < {0}) and the sessions' "
        "means differ by more than the between-session noise explains: t(1 - {0}/(2m), df) × "
        "session noise × sqrt(1/n1 + 1/n2), over the n1 and n2 sessions of the two binaries and "
        "the m series whose binaries changed at that revision; the session noise is learned "
        "from sessions of byte-identical binaries (df in brackets)",
        settings.alpha));
  if (!info.exact)
    notes.push_back(fmt::format(
        "detects: the smallest step that revision's comparison could flag, the larger of "
        "--min-effect ({}) and that threshold; a quiet series says only that no step beyond it "
        "happened. Sessions whose runs waited for a processor more than {} of their time are "
        "left out of the session noise",
        formatPercent(settings.minEffect), formatPercent(disturbedShare)));
  if (insideNoise > 0)
    notes.push_back(fmt::format("{} significant within the sessions but inside the session "
                                "noise: not flagged",
                                plural(insideNoise, "step")));
  if (withinOnly > 0)
    notes.push_back(fmt::format("{} flag{} within-session only: too few sessions of identical "
                                "binaries (df at least {}) to learn that series' session noise",
                                withinOnly, withinOnly == 1 ? " is" : "s are", minNoiseDf));
  for (const auto& shift : sessionShifts(rows))
    notes.push_back(fmt::format("revision {} ({}, {}): all {} programs moved together, median "
                                "ratio {:.3f}: the session's shift, not a change of each",
                                revisionLabel(shift.revision), shift.config, shift.workload,
                                shift.programs, shift.ratio));
  for (const auto& p : points)
    if (!p.warning.empty()) notes.push_back(p.warning);
  return notes;
}

// The series of one program and workload: each configuration's measured revisions, in
// the history's order.
struct TrendSeries {
  std::string config;
  std::vector<const HistoryRow*> rows;
  double reference; // the first measured revision's median: 0% on the axis
};

struct TrendGroup {
  std::string program, workload;
  std::vector<TrendSeries> series;
  std::vector<const HistoryRow*> failures;
};

// Revisions in the history's order, merged over every series: one first seen in a later
// series goes before the next revision of that series already placed, else at the end.
std::vector<std::string> revisionOrder(const std::vector<HistoryRow>& rows) {
  std::vector<std::string> order;
  auto sameSeries = [&](std::size_t a, std::size_t b) {
    return rows[a].program == rows[b].program && rows[a].workload == rows[b].workload &&
           rows[a].config == rows[b].config;
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (std::find(order.begin(), order.end(), rows[i].revision) != order.end()) continue;
    auto at = order.end();
    for (std::size_t j = i + 1; j < rows.size() && sameSeries(i, j) && at == order.end(); ++j)
      at = std::find(order.begin(), order.end(), rows[j].revision);
    order.insert(at, rows[i].revision);
  }
  return order;
}

double relative(double value, double reference) { return value / reference - 1; }

std::string signedPercent(double fraction) {
  return fmt::format("{}{:.1f}%", fraction < 0 ? "\u2212" : "+", std::fabs(fraction) * 100);
}

// The shared vertical axis: every series relative to its first revision, at least ±10%
// so that a few per cent of noise never fills a panel.
chart::Ticks trendTicks(const std::vector<TrendGroup>& groups, double& low, double& high) {
  low = -0.1, high = 0.1;
  for (const auto& g : groups)
    for (const auto& s : g.series)
      for (const HistoryRow* row : s.rows)
        for (double v : {row->median, row->interval.low, row->interval.high})
          if (std::isfinite(v)) {
            low = std::min(low, relative(v, s.reference));
            high = std::max(high, relative(v, s.reference));
          }
  chart::Ticks ticks = chart::niceTicks(low, high, 6);
  low = std::floor(low / ticks.step - 1e-9) * ticks.step;
  high = std::ceil(high / ticks.step + 1e-9) * ticks.step;
  return chart::niceTicks(low, high, 6);
}

// A flagged change that has been triaged (fixed, accepted, a false positive).
constexpr const char* triagedColour = "#bbbbbb";

// The series' learned between-session deviation of log values (0: none learned).
double seriesNoise(const TrendSeries& s) {
  for (auto it = s.rows.rbegin(); it != s.rows.rend(); ++it)
    if ((*it)->noise.df > 0) return (*it)->noise.sd;
  return 0;
}

// One program's panel: its configurations overlaid, each a line of its median per
// revision with the interval as whiskers. A flagged change is a triangle (up: slower,
// down: faster) with its change written beside it; a step between byte-identical
// binaries is a hollow mark reached by a dashed line.
std::string trendPanel(const TrendGroup& g, const std::vector<std::string>& order,
                       const std::vector<std::string>& configs, const chart::Ticks& ticks,
                       double low, double high, const MetricInfo& info) {
  // A configuration keeps its colour and shape in every panel.
  auto lookOf = [&](const std::string& config) {
    return chart::seriesLook(
        std::size_t(std::find(configs.begin(), configs.end(), config) - configs.begin()));
  };
  std::vector<std::string> revisions; // this panel's, in order
  for (const auto& r : order)
    for (const auto& s : g.series)
      if (std::any_of(s.rows.begin(), s.rows.end(),
                      [&](auto* row) { return row->revision == r; }) &&
          std::find(revisions.begin(), revisions.end(), r) == revisions.end())
        revisions.push_back(r);
  double labelWidth = 0;
  for (const auto& r : revisions)
    labelWidth = std::max(labelWidth, chart::textWidth(revisionLabel(r)));
  double tickWidth = 0;
  for (double t : ticks.values)
    tickWidth =
        std::max(tickWidth, chart::textWidth(chart::tickText(t, ticks.step, {100, "%", true})));
  const double width = 520, height = 256, top = 52;
  const double left = std::max(tickWidth + 34, labelWidth / 2 + 6);
  const double right = std::max(24.0, labelWidth / 2 + 6);
  const double plotBottom = height - chart::bottomAxisHeight - 8;
  const chart::Scale y{low, high, plotBottom, top};
  const std::size_t n = revisions.size();
  const double plotLeft = left + 14, plotRight = width - right - 14;
  auto x = [&](const std::string& r) {
    const auto i = double(std::find(revisions.begin(), revisions.end(), r) - revisions.begin());
    return n == 1 ? (plotLeft + plotRight) / 2
                  : plotLeft + (plotRight - plotLeft) * i / double(n - 1);
  };
  std::string svg = fmt::format(
      "<svg xmlns='http://www.w3.org/2000/svg' width='{0:.0f}' height='{1:.0f}' "
      "viewBox='0 0 {0:.0f} {1:.0f}' role='img' aria-label='{2}'><text class='panel-title' x='4' "
      "y='16'>{2}</text>",
      width, height, escapeHtml(g.program + "/" + g.workload));
  // The legend: each configuration's mark and name.
  double lx = 4;
  for (std::size_t k = 0; k < g.series.size(); ++k) {
    const chart::Look look = lookOf(g.series[k].config);
    svg +=
        chart::mark(look.shape, lx + 6, 30, 5, look.colour, "#222", 0.6) +
        fmt::format("<text x='{:.1f}' y='34'>{}</text>", lx + 15, escapeHtml(g.series[k].config));
    lx += 15 + chart::textWidth(g.series[k].config) + 16;
  }
  for (double t : ticks.values)
    svg += fmt::format("<line x1='{0:.1f}' x2='{1:.1f}' y1='{2:.1f}' y2='{2:.1f}' stroke='{3}'/>",
                       left, width - right, y.at(t), t == 0 ? "#999" : "#ececec");
  // Configurations sit a little apart at each revision, so that their marks never hide
  // one another.
  const double spread = g.series.size() > 1 ? std::min(8.0, 24.0 / double(g.series.size())) : 0;
  std::string lines, marks, labels;
  // Each series' session noise as a band about its first point: two of its learned
  // between-session deviations either way, how far sessions of one binary wander.
  for (const TrendSeries& s : g.series) {
    const double sd = seriesNoise(s);
    if (sd <= 0) continue;
    const double up = y.at(std::min(high, std::expm1(2 * sd)));
    const double down = y.at(std::max(low, std::expm1(-2 * sd)));
    svg += fmt::format("<rect class='noise-band' x='{:.1f}' y='{:.1f}' width='{:.1f}' "
                       "height='{:.1f}' fill='{}' fill-opacity='0.12'/>",
                       left, up, width - right - left, std::max(1.0, down - up),
                       lookOf(s.config).colour);
  }
  for (std::size_t k = 0; k < g.series.size(); ++k) {
    const TrendSeries& s = g.series[k];
    const chart::Look look = lookOf(s.config);
    const double dx = (double(k) - double(g.series.size() - 1) / 2) * spread;
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
      const HistoryRow& row = *s.rows[i];
      const double px = x(row.revision) + dx, py = y.at(relative(row.median, s.reference));
      const bool same = row.hasPrevious && row.change.verdict == Change::sameBinary;
      if (i > 0)
        lines += fmt::format("<line x1='{:.1f}' y1='{:.1f}' x2='{:.1f}' y2='{:.1f}' stroke='{}' "
                             "stroke-width='1.5'{}/>",
                             x(s.rows[i - 1]->revision) + dx,
                             y.at(relative(s.rows[i - 1]->median, s.reference)), px, py,
                             look.colour, same ? " stroke-dasharray='4 3'" : "");
      const double lo = y.at(relative(row.interval.low, s.reference));
      const double hi = y.at(relative(row.interval.high, s.reference));
      std::string shape;
      if (flagged(row)) {
        const bool slower = row.change.verdict == Change::slower;
        // A change someone has triaged is grey, its state written beside it; an open one
        // keeps the colour of its direction.
        const bool triaged = !row.change.state.empty() && row.change.state != "open";
        shape =
            chart::mark(slower ? chart::Shape::triangleUp : chart::Shape::triangleDown, px, py, 6,
                        triaged  ? triagedColour
                        : slower ? chart::slowerColour
                                 : chart::fasterColour,
                        "#222", 0.8);
        const std::string text =
            fmt::format("{} {} {}{}", s.config, signedPercent(row.change.ratio - 1),
                        changeName(row.change.verdict), triaged ? ", " + row.change.state : "");
        const bool leftSide = px + 10 + chart::textWidth(text, 11) > width - 4;
        labels += fmt::format("<text class='change' x='{:.1f}' y='{:.1f}' text-anchor='{}' "
                              "font-size='11'>{}</text>",
                              leftSide ? px - 10 : px + 10,
                              std::clamp(slower ? py - 8 : py + 14, top + 8, plotBottom - 2),
                              leftSide ? "end" : "start", escapeHtml(text));
      } else {
        shape = chart::mark(look.shape, px, py, 4, same ? "#ffffff" : look.colour,
                            same ? look.colour : "#222", same ? 1.6 : 0.6);
      }
      marks += fmt::format(
          "<g class='trend-mark'><title>{}: {} {} ({} from {}), 95% interval {} to "
          "{}, {}{}</title>"
          "<path d='M{:.1f},{:.1f}V{:.1f}M{:.1f},{:.1f}H{:.1f}M{:.1f},{:.1f}H{:.1f}' "
          "stroke='{}' stroke-opacity='0.8' fill='none'/>{}</g>",
          escapeHtml(revisionLabel(row.revision)), escapeHtml(s.config),
          escapeHtml(info.format(row.median)),
          escapeHtml(signedPercent(relative(row.median, s.reference))),
          escapeHtml(revisionLabel(s.rows.front()->revision)),
          escapeHtml(info.format(row.interval.low)), escapeHtml(info.format(row.interval.high)),
          escapeHtml(plural(row.sessions, "session")),
          !row.hasPrevious ? ""
          : same           ? ", same binary"
          : flagged(row)   ? ", " + changeName(row.change.verdict) + ", " +
                               (row.change.state.empty() ? "open" : row.change.state)
                         : "",
          px, lo, hi, px - 3, lo, px + 3, px - 3, hi, px + 3, look.colour, shape);
    }
  }
  svg += lines + marks + labels;
  svg += chart::leftAxis(y, left, ticks, fmt::format("{} vs first (%)", info.name), 12,
                         {100, "%", true});
  // Revision labels under the axis, every one that fits.
  const double pitch = n > 1 ? (plotRight - plotLeft) / double(n - 1) : plotRight - plotLeft;
  const std::size_t every =
      std::max<std::size_t>(1, std::size_t(std::ceil((labelWidth + 8) / pitch)));
  svg += fmt::format("<g class='axis'><line x1='{0:.1f}' x2='{1:.1f}' y1='{2:.1f}' y2='{2:.1f}' "
                     "stroke='#555'/>",
                     left, width - right, plotBottom);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % every != 0 && i + 1 != n) continue;
    if (i + 1 == n && i % every != 0 && i % every < (every + 1) / 2) continue;
    svg += fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1:.1f}' y2='{2:.1f}' stroke='#555'/>"
                       "<text class='tick' x='{0:.1f}' y='{3:.1f}' text-anchor='middle'>{4}</text>",
                       x(revisions[i]), plotBottom, plotBottom + 4, plotBottom + 16,
                       escapeHtml(revisionLabel(revisions[i])));
  }
  svg += fmt::format("<text class='axis-title' x='{:.1f}' y='{:.1f}' text-anchor='middle'>"
                     "revision, oldest first</text></g></svg>",
                     (left + width - right) / 2, plotBottom + 33);
  // Under the chart, in words: what 0% is, and every step the marks flag.
  std::vector<std::string> words, sameSteps, changes, failures;
  for (const auto& s : g.series) {
    words.push_back(fmt::format("{} {} at {}", s.config, info.format(s.reference),
                                revisionLabel(s.rows.front()->revision)));
    for (const HistoryRow* measured : s.rows) {
      const HistoryRow& row = *measured;
      if (row.hasPrevious && row.change.verdict == Change::sameBinary)
        sameSteps.push_back(fmt::format("{} {}", revisionLabel(row.revision), s.config));
      if (flagged(row))
        changes.push_back(fmt::format("{} {} {} {} ({})", revisionLabel(row.revision), s.config,
                                      signedPercent(row.change.ratio - 1),
                                      changeName(row.change.verdict),
                                      row.change.state.empty() ? "open" : row.change.state));
    }
  }
  for (const HistoryRow* row : g.failures)
    failures.push_back(fmt::format("{} {}", revisionLabel(row->revision), row->config));
  std::vector<std::string> bands;
  for (const auto& s : g.series) {
    const double sd = seriesNoise(s);
    if (sd <= 0) continue;
    std::string band = fmt::format("{} ±{}", s.config, formatPercent(std::expm1(2 * sd)));
    for (auto it = s.rows.rbegin(); it != s.rows.rend(); ++it)
      if ((*it)->hasPrevious && (*it)->change.noiseLimit > 0) {
        band += fmt::format(", steps beyond {} flaggable", formatPercent((*it)->change.noiseLimit));
        break;
      }
    bands.push_back(band);
  }
  std::string caption = "0% is " + joinNames(words) + ".";
  if (!bands.empty()) caption += " Bands: two session-noise deviations (" + joinNames(bands) + ").";
  if (!changes.empty()) caption += " Changes: " + joinNames(changes) + ".";
  if (!sameSteps.empty()) caption += " Same binary (dashed, hollow): " + joinNames(sameSteps) + ".";
  if (!failures.empty()) caption += " Failed, not drawn: " + joinNames(failures) + ".";
  return fmt::format("<figure class='trend' style='width:{:.0f}px'>{}<figcaption class='muted'>"
                     "{}</figcaption></figure>",
                     width, svg, escapeHtml(caption));
}

} // namespace

Document historyDocument(const std::vector<HistoryRow>& rows,
                         const std::vector<RevisionPoint>& points,
                         const CompareSettings& settings) {
  const MetricInfo& info = metricInfo(settings.metric);
  Table table;
  table.columns = historyColumns(info);
  for (const auto& row : rows) {
    table.rows.push_back(historyCells(row, info, settings));
    table.rowTags.push_back(historyRowTag(row));
  }
  return {{{"", table, historyNotes(rows, points, settings)}}};
}

std::string trendCharts(const std::vector<HistoryRow>& all, Metric metric) {
  // Rows come series by series: each run of one program, workload and configuration is
  // one series, and the series of one program and workload share a panel.
  std::vector<TrendGroup> groups;
  for (std::size_t first = 0; first < all.size();) {
    std::size_t last = first;
    while (last < all.size() && all[last].program == all[first].program &&
           all[last].workload == all[first].workload && all[last].config == all[first].config)
      ++last;
    auto group = std::find_if(groups.begin(), groups.end(), [&](const TrendGroup& g) {
      return g.program == all[first].program && g.workload == all[first].workload;
    });
    if (group == groups.end())
      group = groups.insert(groups.end(), {all[first].program, all[first].workload, {}, {}});
    // A failure has no point to draw: it is named under the chart, and the line goes on
    // from the last revision measured, which the next one is compared with.
    TrendSeries series{all[first].config, {}, 0};
    for (std::size_t i = first; i < last; ++i) {
      if (!all[i].failure.empty())
        group->failures.push_back(&all[i]);
      else if (all[i].median > 0 && std::isfinite(all[i].median))
        series.rows.push_back(&all[i]);
    }
    if (!series.rows.empty()) {
      series.reference = series.rows.front()->median;
      group->series.push_back(std::move(series));
    }
    first = last;
  }
  std::erase_if(groups, [](const TrendGroup& g) { return g.series.empty(); });
  if (groups.empty()) return "<p class='muted'>No history to draw.</p>";
  double low = 0, high = 0;
  const chart::Ticks ticks = trendTicks(groups, low, high);
  const auto order = revisionOrder(all);
  std::vector<std::string> configs;
  for (const auto& row : all)
    if (std::find(configs.begin(), configs.end(), row.config) == configs.end())
      configs.push_back(row.config);
  std::string html = "<div class='charts trends'>";
  for (const auto& g : groups)
    html += trendPanel(g, order, configs, ticks, low, high, metricInfo(metric));
  return html + "</div>";
}

} // namespace bench32
