#include "history.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "export/html.hpp"
#include "noise.hpp"
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

// Units of one program, workload and configuration, as `compare` takes them: the
// sessions of one or several revisions pooled, each run keeping its session apart, under
// the first revision's environment.
Results pooled(const std::vector<const UnitResult*>& units, const Results& first) {
  Results r;
  r.environment = first.environment;
  r.runUnder = first.runUnder;
  UnitResult unit = *units.front();
  unit.samples.clear();
  unit.warmup.clear();
  int offset = 0;
  for (const UnitResult* u : units) {
    int sessions = 1;
    for (Sample s : u->samples) {
      sessions = std::max(sessions, s.session + 1);
      s.session = std::max(s.session, 0) + offset;
      unit.samples.push_back(s);
    }
    offset += sessions;
  }
  r.units = {std::move(unit)};
  return r;
}

// One revision's unit of a series.
struct Entry {
  const RevisionPoint* point;
  const UnitResult* unit;
  std::string conditions;
};

bool sameRun(const Entry& a, const Entry& b) {
  return a.conditions == b.conditions && sameBinaries(*a.unit, *b.unit);
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

namespace {

// The entries from `from` on, one way, while they ran the same binary as `from`.
std::vector<const UnitResult*> block(const std::vector<Entry>& entries, std::size_t from,
                                     int step) {
  std::vector<const UnitResult*> units{entries[from].unit};
  for (auto i = std::ptrdiff_t(from) + step; i >= 0 && i < std::ptrdiff_t(entries.size());
       i += step) {
    const Entry& e = entries[std::size_t(i)];
    if (e.unit->status != Status::ok || !sameRun(e, entries[from])) break;
    units.push_back(e.unit);
  }
  if (step < 0) std::reverse(units.begin(), units.end());
  return units;
}

// Flags of a step where every program moved together become the session's shift.
void markShifts(std::vector<HistoryRow>& rows) {
  for (const auto& shift : sessionShifts(rows))
    for (auto& row : rows)
      if (row.revision == shift.revision && row.workload == shift.workload &&
          row.config == shift.config && flagged(row))
        row.change.verdict = Change::shift;
}

} // namespace

namespace {

// One program, workload and configuration through the revisions: each revision's unit,
// and for each measured one the last measured revision before it.
struct Track {
  std::string program, workload, config;
  std::vector<Entry> entries;
  std::vector<std::optional<std::size_t>> previous;
};

std::vector<Track> tracks(const std::vector<RevisionPoint>& points, const HistoryFilter& filter) {
  std::set<std::tuple<std::string, std::string, std::string>> keys;
  for (const auto& p : points)
    for (const auto& u : p.merged.units)
      if (matchesAny(filter.programs, u.program) && matchesAny(filter.configs, u.config))
        keys.insert({u.program, u.workload, u.config});
  std::vector<Track> all;
  for (const auto& [program, workload, config] : keys) {
    Track track{program, workload, config, {}, {}};
    std::optional<std::size_t> last;
    for (const auto& point : points) {
      const UnitResult* unit = point.merged.find(config, program, workload);
      if (!unit || unit->status == Status::notRun) continue;
      if (unit->status == Status::ok && metricValues(*unit, filter.settings.metric).empty())
        continue;
      track.entries.push_back({&point, unit, runConditions(point.merged)});
      track.previous.push_back(unit->status == Status::ok ? last : std::nullopt);
      if (unit->status == Status::ok) last = track.entries.size() - 1;
    }
    all.push_back(std::move(track));
  }
  return all;
}

} // namespace

std::vector<HistoryRow> history(const std::vector<RevisionPoint>& points,
                                const HistoryFilter& filter) {
  const Metric metric = filter.settings.metric;
  const auto all = tracks(points, filter);
  // The series whose binaries changed at a revision are judged together against the
  // session noise: its level is shared among them, so that a revision of unchanged
  // quality is flagged anywhere with probability at most alpha.
  std::map<std::string, std::size_t> family;
  for (const auto& track : all)
    for (std::size_t i = 0; i < track.entries.size(); ++i)
      if (const auto j = track.previous[i]; j && !sameRun(track.entries[*j], track.entries[i]))
        ++family[track.entries[i].point->revision];
  std::vector<HistoryRow> rows;
  for (const auto& track : all) {
    const auto& entries = track.entries;
    const stats::PooledSpread noise =
        filter.settings.noise && !entries.empty()
            ? filter.settings.noise->spread(track.program, track.workload, track.config,
                                            entries.back().conditions)
            : stats::PooledSpread{0, 0};
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry& entry = entries[i];
      HistoryRow row;
      row.program = track.program;
      row.workload = track.workload;
      row.config = track.config;
      row.revision = entry.point->revision;
      row.sessions = entry.point->sessions.size();
      row.noise = noise;
      if (entry.unit->status == Status::failed) {
        row.failure = entry.unit->failure.empty() ? "failed" : "failed: " + entry.unit->failure;
        rows.push_back(std::move(row));
        continue;
      }
      const auto values = metricValues(*entry.unit, metric);
      row.count = values.size();
      row.median = stats::median(values);
      row.interval = metricInfo(metric).exact
                         ? stats::Interval{row.median, row.median}
                         : stats::medianInterval(values, filter.settings.confidence);
      if (const auto j = track.previous[i]) {
        const Entry& before = entries[*j];
        // The same binary on both sides is compared revision to revision (and called
        // noise); different binaries each bring every session that ran them.
        const bool same = sameRun(before, entry);
        const auto baseUnits = same ? std::vector{before.unit} : block(entries, *j, -1);
        const auto otherUnits = same ? std::vector{entry.unit} : block(entries, i, +1);
        const Results base = pooled(baseUnits, before.point->merged);
        const Results other = pooled(otherUnits, entry.point->merged);
        CompareSettings settings = filter.settings;
        settings.noiseFamily = std::max<std::size_t>(family[row.revision], 1);
        const Comparison c = compare({before.point->revision, "", &base, track.config},
                                     {entry.point->revision, "", &other, track.config}, settings);
        row.hasPrevious = true;
        row.change = c.programs.at(0);
        if (settings.states)
          if (const auto it =
                  settings.states->find({row.revision, row.program, row.workload, row.config});
              it != settings.states->end())
            row.change.state = it->second;
      }
      rows.push_back(std::move(row));
    }
  }
  markShifts(rows);
  return rows;
}

std::vector<SessionShift> sessionShifts(const std::vector<HistoryRow>& rows) {
  // Every compared row of one step: (revision, workload, config) -> log ratios, flags.
  std::map<std::tuple<std::string, std::string, std::string>, std::pair<std::vector<double>, int>>
      steps;
  for (const auto& row : rows) {
    if (!row.hasPrevious || !row.change.problem.empty() || !(row.change.ratio > 0)) continue;
    auto& [logs, flags] = steps[{row.revision, row.workload, row.config}];
    logs.push_back(std::log(row.change.ratio));
    flags += flagged(row) || row.change.verdict == Change::shift;
  }
  std::vector<SessionShift> shifts;
  for (const auto& [key, step] : steps) {
    const auto& [logs, flags] = step;
    if (logs.size() < minShiftPrograms || flags < 2) continue;
    const bool allUp = std::all_of(logs.begin(), logs.end(), [](double l) { return l > 0; });
    const bool allDown = std::all_of(logs.begin(), logs.end(), [](double l) { return l < 0; });
    const double centre = stats::median(logs);
    // Together: one way, and every program within half the common move of it.
    const bool together = std::all_of(logs.begin(), logs.end(), [&](double l) {
      return std::fabs(l - centre) <= std::fabs(centre) / 2;
    });
    if ((allUp || allDown) && together)
      shifts.push_back(
          {std::get<0>(key), std::get<1>(key), std::get<2>(key), logs.size(), std::exp(centre)});
  }
  return shifts;
}

bool flagged(const HistoryRow& row) {
  return row.hasPrevious && row.change.problem.empty() &&
         (row.change.verdict == Change::slower || row.change.verdict == Change::faster);
}

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
