#include "output/history_table.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <span>

#include <fmt/format.h>

#include "exec/words.hpp"
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
          measured
              ? fmt::format("{}–{}", info.format(row.interval.low), info.format(row.interval.high))
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

// A trend chart's frame: revisions evenly from left to right (one alone in the middle),
// values from low at the bottom to high at the top.
struct TrendFrame {
  static constexpr double height = 150, right = 10, top = 24, bottom = 22;
  double left, width, low, high;
  std::size_t n;
  double x(std::size_t i) const {
    return n == 1 ? (left + width - right) / 2
                  : left + (width - left - right) * double(i) / double(n - 1);
  }
  double y(double v) const { return top + (height - top - bottom) * (high - v) / (high - low); }
};

// The median at each revision over its interval, the flagged ones larger and in colour,
// joined by a line drawn under the marks so that every mark shows.
std::string trendMarks(std::span<const HistoryRow> rows, const TrendFrame& frame,
                       const MetricInfo& info) {
  std::string line, marks;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const HistoryRow& row = rows[i];
    const char* colour = !flagged(row)                          ? "#3366cc"
                         : row.change.verdict == Change::slower ? "#c0392b"
                                                                : "#2ca02c";
    marks +=
        fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1:.1f}' y2='{2:.1f}' stroke='#9bb0d8' "
                    "stroke-width='3'/><circle cx='{0:.1f}' cy='{3:.1f}' r='{4}' fill='{5}'>"
                    "<title>{6}: {7}</title></circle>",
                    frame.x(i), frame.y(row.interval.low), frame.y(row.interval.high),
                    frame.y(row.median), flagged(row) ? 5 : 3, colour,
                    escapeHtml(revisionLabel(row.revision)), escapeHtml(info.format(row.median)));
    line += fmt::format("{}{:.1f},{:.1f}", i ? " " : "", frame.x(i), frame.y(row.median));
  }
  return fmt::format("<polyline points='{}' fill='none' stroke='#3366cc' stroke-opacity='0.5'/>",
                     line) +
         marks;
}

// One series' chart: its name, the value axis's two labels, the marks, and the first and
// last revisions under them.
std::string trendChart(std::span<const HistoryRow> rows, const MetricInfo& info) {
  double low = INFINITY, high = -INFINITY;
  for (const auto& row : rows) {
    low = std::min(low, row.interval.low);
    high = std::max(high, row.interval.high);
  }
  if (!(high > low)) high = low + std::max(std::fabs(low) * 0.05, 1e-9), low -= (high - low);
  const double pad = (high - low) * 0.08;
  low -= pad, high += pad;
  // The axis labels decide the left margin, so that they show whole (12 px text, about
  // 7 px a character).
  const std::string highLabel = info.format(high - pad), lowLabel = info.format(low + pad);
  const double left =
      std::max(62.0, 12 + 7.0 * double(std::max(highLabel.size(), lowLabel.size())));
  const TrendFrame frame{left, 268 + left, low, high, rows.size()};
  return fmt::format("<svg xmlns='http://www.w3.org/2000/svg' width='{}' height='{}' role='img'>"
                     "<text x='4' y='14'>{}</text>"
                     "<text x='{}' y='{:.1f}' text-anchor='end'>{}</text>"
                     "<text x='{}' y='{:.1f}' text-anchor='end'>{}</text>",
                     frame.width, frame.height,
                     escapeHtml(fmt::format("{}/{} · {}", rows.front().program,
                                            rows.front().workload, rows.front().config)),
                     left - 4, frame.y(high - pad) + 4, escapeHtml(highLabel), left - 4,
                     frame.y(low + pad) + 4, escapeHtml(lowLabel)) +
         trendMarks(rows, frame, info) +
         fmt::format("<text x='{}' y='{}'>{}</text><text x='{}' y='{}' text-anchor='end'>{}"
                     "</text></svg>",
                     left, frame.height - 6, escapeHtml(revisionLabel(rows.front().revision)),
                     frame.width - frame.right, frame.height - 6,
                     escapeHtml(revisionLabel(rows.back().revision)));
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
  std::vector<HistoryRow> rows; // the measured ones: a failure has no point to draw
  std::copy_if(all.begin(), all.end(), std::back_inserter(rows),
               [](const HistoryRow& row) { return row.failure.empty(); });
  std::string html;
  // Rows come series by series: each run of one program, workload and configuration is
  // one chart.
  for (std::size_t first = 0; first < rows.size();) {
    std::size_t last = first;
    while (last < rows.size() && rows[last].program == rows[first].program &&
           rows[last].workload == rows[first].workload && rows[last].config == rows[first].config)
      ++last;
    html += trendChart(std::span(rows).subspan(first, last - first), metricInfo(metric));
    first = last;
  }
  if (html.empty()) return "<p class='muted'>No history to draw.</p>";
  return "<div class='trends'>" + html + "</div>";
}

} // namespace bench32
