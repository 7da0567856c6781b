#include "history.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "export/html.hpp"
#include "process.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

bool matchesAny(const std::vector<std::string>& globs, const std::string& name) {
  return globs.empty() || std::any_of(globs.begin(), globs.end(), [&](const std::string& g) {
           return fnmatch(g.c_str(), name.c_str(), 0) == 0;
         });
}

// Only hexadecimal object names go to git: a label is never read as an option.
bool looksLikeCommit(const std::string& revision) {
  return revision.size() >= 7 && revision.size() <= 64 &&
         std::all_of(revision.begin(), revision.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// The unit of one revision, alone, as `compare` takes it.
Results alone(const UnitResult& unit) {
  Results r;
  r.units = {unit};
  return r;
}

} // namespace

std::string revisionLabel(const std::string& revision) {
  if (revision.empty()) return "(no revision)";
  return revision.size() == 40 && looksLikeCommit(revision) ? revision.substr(0, 12) : revision;
}

std::vector<std::size_t> revisionOrder(const std::vector<RevisionStamp>& stamps,
                                       const std::map<std::string, std::size_t>& commitRank) {
  std::vector<std::size_t> order(stamps.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::tie(stamps[a].created, stamps[a].revision) <
           std::tie(stamps[b].created, stamps[b].revision);
  });
  std::vector<std::size_t> slots, known;
  for (std::size_t i = 0; i < order.size(); ++i)
    if (commitRank.count(stamps[order[i]].revision)) {
      slots.push_back(i);
      known.push_back(order[i]);
    }
  std::stable_sort(known.begin(), known.end(), [&](std::size_t a, std::size_t b) {
    return commitRank.at(stamps[a].revision) < commitRank.at(stamps[b].revision);
  });
  for (std::size_t k = 0; k < slots.size(); ++k) order[slots[k]] = known[k];
  return order;
}

std::map<std::string, std::size_t> commitRanks(const fs::path& repo,
                                               const std::vector<std::string>& revisions) {
  std::map<std::string, std::size_t> ranks;
  RunRequest request;
  request.argv = {"git",          "-C",        repo.string(),     "rev-list",
                  "--topo-order", "--reverse", "--ignore-missing"};
  for (const auto& r : revisions)
    if (looksLikeCommit(r)) request.argv.push_back(r);
  if (request.argv.size() == 7) return ranks;
  request.timeout = std::chrono::seconds(60);
  const RunResult run = runProcess(request);
  if (run.exitStatus != 0) return ranks;
  std::map<std::string, std::size_t> position;
  const std::string text = run.stdoutText();
  std::size_t line = 0;
  for (std::size_t start = 0; start < text.size(); ++line) {
    const auto end = std::min(text.find('\n', start), text.size());
    position[text.substr(start, end - start)] = line;
    start = end + 1;
  }
  for (const auto& r : revisions) {
    if (!looksLikeCommit(r)) continue;
    // A full name is looked up; an abbreviated one is the commit it begins.
    auto it = position.lower_bound(r);
    if (it != position.end() && it->first.rfind(r, 0) == 0) ranks[r] = it->second;
  }
  return ranks;
}

std::vector<HistoryRow> history(const std::vector<RevisionPoint>& points,
                                const HistoryFilter& filter) {
  std::set<std::tuple<std::string, std::string, std::string>> keys;
  for (const auto& p : points)
    for (const auto& u : p.merged.units)
      if (matchesAny(filter.programs, u.program) && matchesAny(filter.configs, u.config))
        keys.insert({u.program, u.workload, u.config});
  const Metric metric = filter.settings.metric;
  std::vector<HistoryRow> rows;
  for (const auto& [program, workload, config] : keys) {
    const UnitResult* previous = nullptr;
    const RevisionPoint* previousPoint = nullptr;
    for (const auto& point : points) {
      const UnitResult* unit = point.merged.find(config, program, workload);
      if (!unit || unit->status == Status::notRun) continue;
      HistoryRow row;
      row.program = program;
      row.workload = workload;
      row.config = config;
      row.revision = point.revision;
      row.sessions = point.sessions.size();
      if (unit->status == Status::failed) {
        row.failure = unit->failure.empty() ? "failed" : "failed: " + unit->failure;
        rows.push_back(std::move(row));
        continue;
      }
      const auto values = metricValues(*unit, metric);
      if (values.empty()) continue;
      row.count = values.size();
      row.median = stats::median(values);
      row.interval = metricInfo(metric).exact
                         ? stats::Interval{row.median, row.median}
                         : stats::medianInterval(values, filter.settings.confidence);
      if (previous) {
        const Results before = alone(*previous), after = alone(*unit);
        const Comparison c = compare({previousPoint->revision, "", &before, config},
                                     {point.revision, "", &after, config}, filter.settings);
        row.hasPrevious = true;
        row.change = c.programs.at(0);
      }
      previous = unit;
      previousPoint = &point;
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

bool flagged(const HistoryRow& row) {
  return row.hasPrevious && row.change.problem.empty() &&
         (row.change.verdict == Change::slower || row.change.verdict == Change::faster);
}

Document historyDocument(const std::vector<HistoryRow>& rows,
                         const std::vector<RevisionPoint>& points, Metric metric) {
  const MetricInfo& info = metricInfo(metric);
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
                   {"change", "change"}};
  std::size_t changes = 0;
  std::set<std::string> series;
  for (const auto& row : rows) {
    series.insert(row.program + "/" + row.workload + "/" + row.config);
    const bool compared = row.hasPrevious && row.change.problem.empty();
    const bool measured = row.failure.empty();
    std::string change = !measured          ? row.failure
                         : !row.hasPrevious ? ""
                         : compared         ? changeName(row.change.verdict)
                                            : row.change.problem;
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
         change});
    table.rowTags.push_back(!measured                              ? "failed"
                            : !flagged(row)                        ? ""
                            : row.change.verdict == Change::slower ? "slower"
                                                                   : "faster");
    if (flagged(row)) ++changes;
  }
  std::vector<std::string> notes{
      fmt::format("{} ({}): {} revision{}, {} series; {} significant change{} flagged", info.name,
                  info.unit, points.size(), points.size() == 1 ? "" : "s", series.size(), changes,
                  changes == 1 ? "" : "s")};
  for (const auto& p : points)
    if (!p.warning.empty()) notes.push_back(p.warning);
  return {{{"", table, notes}}};
}

std::string trendCharts(const std::vector<HistoryRow>& all, Metric metric) {
  const MetricInfo& info = metricInfo(metric);
  std::vector<HistoryRow> rows; // the measured ones: a failure has no point to draw
  std::copy_if(all.begin(), all.end(), std::back_inserter(rows),
               [](const HistoryRow& row) { return row.failure.empty(); });
  const double width = 330, height = 150, left = 62, right = 10, top = 24, bottom = 22;
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
                    left - 4, y(high - pad) + 4, escapeHtml(info.format(high - pad)), left - 4,
                    y(low + pad) + 4, escapeHtml(info.format(low + pad)));
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
