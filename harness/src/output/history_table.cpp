#include "output/history_table.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include <fmt/format.h>

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
  if (row.change.withinSessionOnly && flagged(row)) text += " (within-session only)";
  return text;
}

} // namespace

Document historyDocument(const std::vector<HistoryRow>& rows,
                         const std::vector<RevisionPoint>& points,
                         const CompareSettings& settings) {
  const MetricInfo& info = metricInfo(settings.metric);
  Table table;
  table.columns = {{"program", "program"},
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
                   {"state", "state"}};
  std::size_t changes = 0, withinOnly = 0, insideNoise = 0;
  std::set<std::string> series;
  for (const auto& row : rows) {
    series.insert(row.program + "/" + row.workload + "/" + row.config);
    const bool compared = row.hasPrevious && row.change.problem.empty();
    const bool measured = row.failure.empty();
    table.rows.push_back(
        {row.program,
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
         row.change.state});
    table.rowTags.push_back(!measured                              ? "failed"
                            : !flagged(row)                        ? ""
                            : row.change.verdict == Change::slower ? "slower"
                                                                   : "faster");
    changes += flagged(row);
    withinOnly += flagged(row) && row.change.withinSessionOnly;
    insideNoise += compared && row.change.insideNoise;
  }
  std::vector<std::string> notes{
      fmt::format("{} ({}): {} revision{}, {} series; {} significant change{} flagged", info.name,
                  info.unit, points.size(), points.size() == 1 ? "" : "s", series.size(), changes,
                  changes == 1 ? "" : "s")};
  if (!info.exact)
    notes.push_back(fmt::format(
        "a change is flagged when the runs differ significantly (p < {0}) and the sessions' "
        "means differ by more than the between-session noise explains: t(1 - {0}/(2m), df) × "
        "session noise × sqrt(1/n1 + 1/n2), over the n1 and n2 sessions of the two binaries and "
        "the m series whose binaries changed at that revision; the session noise is learned "
        "from sessions of byte-identical binaries (df in brackets)",
        settings.alpha));
  if (insideNoise > 0)
    notes.push_back(fmt::format("{} step{} significant within the sessions but inside the session "
                                "noise: not flagged",
                                insideNoise, insideNoise == 1 ? "" : "s"));
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
  return {{{"", table, notes}}};
}

std::string trendCharts(const std::vector<HistoryRow>& all, Metric metric) {
  const MetricInfo& info = metricInfo(metric);
  std::vector<HistoryRow> rows; // the measured ones: a failure has no point to draw
  std::copy_if(all.begin(), all.end(), std::back_inserter(rows),
               [](const HistoryRow& row) { return row.failure.empty(); });
  const double height = 150, right = 10, top = 24, bottom = 22;
  std::string html;
  for (std::size_t first = 0; first < rows.size();) {
    std::size_t last = first;
    while (last < rows.size() && rows[last].program == rows[first].program &&
           rows[last].workload == rows[first].workload && rows[last].config == rows[first].config)
      ++last;
    double low = INFINITY, high = -INFINITY;
    for (std::size_t i = first; i < last; ++i) {
      low = std::min(low, rows[i].interval.low);
      high = std::max(high, rows[i].interval.high);
    }
    if (!(high > low)) high = low + std::max(std::fabs(low) * 0.05, 1e-9), low -= (high - low);
    const double pad = (high - low) * 0.08;
    low -= pad, high += pad;
    // The axis labels decide the left margin, so that they show whole (12 px text, about
    // 7 px a character).
    const std::string highLabel = info.format(high - pad), lowLabel = info.format(low + pad);
    const double left =
        std::max(62.0, 12 + 7.0 * double(std::max(highLabel.size(), lowLabel.size())));
    const double width = 268 + left;
    const std::size_t n = last - first;
    auto x = [&](std::size_t i) {
      return n == 1 ? (left + width - right) / 2
                    : left + (width - left - right) * double(i) / double(n - 1);
    };
    auto y = [&](double v) { return top + (height - top - bottom) * (high - v) / (high - low); };
    std::string svg =
        fmt::format("<svg xmlns='http://www.w3.org/2000/svg' width='{}' height='{}' role='img'>"
                    "<text x='4' y='14'>{}</text>"
                    "<text x='{}' y='{:.1f}' text-anchor='end'>{}</text>"
                    "<text x='{}' y='{:.1f}' text-anchor='end'>{}</text>",
                    width, height,
                    escapeHtml(fmt::format("{}/{} · {}", rows[first].program, rows[first].workload,
                                           rows[first].config)),
                    left - 4, y(high - pad) + 4, escapeHtml(highLabel), left - 4, y(low + pad) + 4,
                    escapeHtml(lowLabel));
    std::string line, marks;
    for (std::size_t i = 0; i < n; ++i) {
      const HistoryRow& row = rows[first + i];
      const char* colour = !flagged(row)                          ? "#3366cc"
                           : row.change.verdict == Change::slower ? "#c0392b"
                                                                  : "#2ca02c";
      marks += fmt::format(
          "<line x1='{0:.1f}' x2='{0:.1f}' y1='{1:.1f}' y2='{2:.1f}' stroke='#9bb0d8' "
          "stroke-width='3'/><circle cx='{0:.1f}' cy='{3:.1f}' r='{4}' fill='{5}'>"
          "<title>{6}: {7}</title></circle>",
          x(i), y(row.interval.low), y(row.interval.high), y(row.median), flagged(row) ? 5 : 3,
          colour, escapeHtml(revisionLabel(row.revision)), escapeHtml(info.format(row.median)));
      line += fmt::format("{}{:.1f},{:.1f}", i ? " " : "", x(i), y(row.median));
    }
    // The line under the marks, so that every mark shows.
    svg += fmt::format("<polyline points='{}' fill='none' stroke='#3366cc' stroke-opacity='0.5'/>",
                       line) +
           marks;
    svg +=
        fmt::format("<text x='{}' y='{}'>{}</text><text x='{}' y='{}' text-anchor='end'>{}"
                    "</text></svg>",
                    left, height - 6, escapeHtml(revisionLabel(rows[first].revision)),
                    width - right, height - 6, escapeHtml(revisionLabel(rows[last - 1].revision)));
    html += svg;
    first = last;
  }
  if (html.empty()) return "<p class='muted'>No history to draw.</p>";
  return "<div class='trends'>" + html + "</div>";
}

} // namespace bench32
