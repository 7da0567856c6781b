#include "analysis/history.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "analysis/noise.hpp"
#include "exec/git.hpp"
#include "model/globs.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

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

// How many series changed binaries at each revision. They are judged together against
// the session noise: its level is shared among them, so that a revision of unchanged
// quality is flagged anywhere with probability at most alpha.
std::map<std::string, std::size_t> changedSeries(const std::vector<Track>& all) {
  std::map<std::string, std::size_t> family;
  for (const auto& track : all)
    for (std::size_t i = 0; i < track.entries.size(); ++i)
      if (const auto j = track.previous[i]; j && !sameRun(track.entries[*j], track.entries[i]))
        ++family[track.entries[i].point->revision];
  return family;
}

// A track's entry `i` against the measured entry `j` before it. The same binary on both
// sides is compared revision to revision (and called noise); different binaries each
// bring every session that ran them.
ProgramComparison changeFrom(const Track& track, std::size_t j, std::size_t i,
                             CompareSettings settings, std::size_t family) {
  const Entry& before = track.entries[j];
  const Entry& entry = track.entries[i];
  const bool same = sameRun(before, entry);
  const auto baseUnits = same ? std::vector{before.unit} : block(track.entries, j, -1);
  const auto otherUnits = same ? std::vector{entry.unit} : block(track.entries, i, +1);
  const Results base = pooled(baseUnits, before.point->merged);
  const Results other = pooled(otherUnits, entry.point->merged);
  settings.noiseFamily = std::max<std::size_t>(family, 1);
  const Comparison c = compare({before.point->revision, "", &base, track.config},
                               {entry.point->revision, "", &other, track.config}, settings);
  return c.programs.at(0);
}

// A track's entry `i`: its failure, or its median and interval and, after a measured
// revision, its change from that one.
HistoryRow historyRow(const Track& track, std::size_t i, const stats::PooledSpread& noise,
                      const std::map<std::string, std::size_t>& family,
                      const HistoryFilter& filter) {
  const Entry& entry = track.entries[i];
  const Metric metric = filter.settings.metric;
  HistoryRow row;
  row.program = track.program;
  row.workload = track.workload;
  row.config = track.config;
  row.revision = entry.point->revision;
  row.sessions = entry.point->sessions.size();
  row.noise = noise;
  if (entry.unit->status == Status::failed) {
    row.failure = entry.unit->failure.empty() ? "failed" : "failed: " + entry.unit->failure;
    return row;
  }
  const auto values = metricValues(*entry.unit, metric);
  row.count = values.size();
  row.median = stats::median(values);
  row.interval = metricInfo(metric).exact
                     ? stats::Interval{row.median, row.median}
                     : stats::medianInterval(values, filter.settings.confidence);
  const auto j = track.previous[i];
  if (!j) return row;
  const auto changed = family.find(row.revision);
  row.hasPrevious = true;
  row.change =
      changeFrom(track, *j, i, filter.settings, changed == family.end() ? 0 : changed->second);
  const TriageStates* states = filter.settings.states;
  if (states)
    if (const auto it = states->find({row.revision, row.program, row.workload, row.config});
        it != states->end())
      row.change.state = it->second;
  return row;
}

} // namespace

std::vector<HistoryRow> history(const std::vector<RevisionPoint>& points,
                                const HistoryFilter& filter) {
  const auto all = tracks(points, filter);
  const auto family = changedSeries(all);
  std::vector<HistoryRow> rows;
  for (const auto& track : all) {
    // The series' learned noise, under the conditions of its last revision.
    const stats::PooledSpread noise =
        filter.settings.noise && !track.entries.empty()
            ? filter.settings.noise->spread(track.program, track.workload, track.config,
                                            track.entries.back().conditions)
            : stats::PooledSpread{0, 0};
    for (std::size_t i = 0; i < track.entries.size(); ++i)
      rows.push_back(historyRow(track, i, noise, family, filter));
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

} // namespace bench32
