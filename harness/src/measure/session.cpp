#include "measure/session.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include <fmt/format.h>

#include "analysis/stats.hpp"
#include "measure/counters.hpp"
#include "measure/interrupt.hpp"
#include "model/metrics.hpp"

namespace bench32 {
namespace {

// Runs once (code layout `layout` when the session has layouts) and verifies; false
// (with the unit marked failed) when the run fails.
bool runOnce(UnitResult& result, const PlannedUnit& unit, const RunSettings& settings,
             std::vector<Sample>& into, int layout = 0) {
  RunRequest request = runRequest(unit, settings, layout);
  if (settings.layouts > 0) request.environmentPadding = randomPadding();
  const RunResult run = runProcess(request);
  if (run.cancelled || interruptFlag()) return false;
  Verdict verdict = verify(*unit.expected, run);
  if (run.timedOut && !run.stdoutOverflow)
    verdict.detail = fmt::format("timed out after {} s (process group killed)", settings.timeout);
  if (!verdict.ok) {
    result.status = Status::failed;
    result.failure = verdict.detail;
    return false;
  }
  Sample sample{run.wallSeconds, run.userSeconds, run.systemSeconds, double(run.maxRssKiB)};
  if (settings.layouts > 0) {
    sample.layout = layout;
    sample.paddingBytes = int(request.environmentPadding);
  }
  into.push_back(sample);
  // A unit is ok once it has a verified timed run; warm-ups alone leave it not-run.
  if (!result.samples.empty()) result.status = Status::ok;
  return true;
}

std::vector<double> walls(const UnitResult& result) { return metricValues(result, Metric::wall); }

std::string duration(double seconds) {
  if (!(seconds < 1e7)) return "?";
  const long s = std::lround(seconds);
  if (s >= 3600) return fmt::format("{}h{:02}m", s / 3600, s / 60 % 60);
  if (s >= 60) return fmt::format("{}m{:02}s", s / 60, s % 60);
  return fmt::format("{}s", s);
}

} // namespace

double runsNeeded(const std::vector<double>& wall, const RunSettings& given) {
  // With code layouts the counts are per layout, and a round runs every layout once.
  RunSettings settings = given;
  const int layouts = std::max(given.layouts, 1);
  settings.runs *= layouts;
  settings.minRuns *= layouts;
  settings.maxRuns *= layouts;
  const double n = double(wall.size());
  if (settings.runs > 0) return std::max(0.0, settings.runs - n);
  if (n >= settings.maxRuns) return 0;
  double spent = 0;
  for (double w : wall) spent += w;
  const bool settled =
      spent >= settings.minTime || stats::relativePrecision(wall) <= settings.precision;
  double needed = std::max(0.0, settings.minRuns - n);
  if (!settled) {
    // Enough runs to fill the time at the typical speed seen so far.
    const double typical = wall.empty() ? 0 : stats::median(wall);
    needed = std::max(
        {needed, 1.0, typical > 0 ? std::ceil((settings.minTime - spent) / typical) : 1.0});
  }
  return std::min(needed, settings.maxRuns - n);
}

bool enoughRuns(const std::vector<std::vector<double>>& wallLists, const RunSettings& settings) {
  return std::all_of(wallLists.begin(), wallLists.end(),
                     [&](const auto& wall) { return runsNeeded(wall, settings) == 0; });
}

bool runSession(Results& results, const std::vector<PlannedUnit>& units,
                const RunSettings& settings, const SessionHooks& hooks) {
  auto progress = [&](const std::string& line) {
    if (hooks.progress) hooks.progress(line);
  };
  auto note = [&](const std::string& line) {
    if (hooks.note) hooks.note(line);
  };
  auto checkpoint = [&] {
    if (hooks.checkpoint) hooks.checkpoint();
  };
  auto unitResult = [&](const PlannedUnit& u) -> UnitResult& {
    return results.units[u.resultIndex];
  };
  auto label = [&](const PlannedUnit& u) {
    const UnitResult& r = unitResult(u);
    return fmt::format("{} {}/{}", r.config, r.program, r.workload);
  };
  auto reportFailure = [&](const PlannedUnit& u) {
    note(fmt::format("FAILED {}: {}", label(u), unitResult(u).failure));
    checkpoint();
  };

  // Groups: the configurations of one program and workload, measured side by side and
  // stopped together so that they keep the same number of interleaved rounds.
  std::map<std::pair<std::string, std::string>, std::vector<const PlannedUnit*>> groups;
  std::vector<std::pair<std::string, std::string>> groupOrder;
  for (const auto& u : units) {
    const UnitResult& r = unitResult(u);
    const auto key = std::make_pair(r.program, r.workload);
    if (!groups.count(key)) groupOrder.push_back(key);
    groups[key].push_back(&u);
  }
  auto active = [&](const PlannedUnit& u) { return unitResult(u).status != Status::failed; };

  const int layouts = std::max(settings.layouts, 1);
  // Warm-up, verified like every other run: every code layout once.
  for (int w = 0; w < settings.warmup; ++w) {
    for (const auto& u : units) {
      for (int k = 0; k < layouts && active(u); ++k) {
        progress(fmt::format("warm-up {}/{}: {}", w + 1, settings.warmup, label(u)));
        UnitResult& r = unitResult(u);
        if (!runOnce(r, u, settings, r.warmup, k)) {
          if (interruptFlag()) return false;
          reportFailure(u);
        }
      }
    }
  }
  if (settings.warmup > 0) checkpoint();

  std::map<std::pair<std::string, std::string>, bool> done;
  for (int round = 0;; ++round) {
    // This round's units: every unfinished group's working configurations, in an order
    // that is reversed on every other round so that drift falls on both sides alike.
    std::vector<const PlannedUnit*> order;
    for (const auto& key : groupOrder) {
      if (done[key]) continue;
      std::vector<std::vector<double>> wallLists;
      for (const PlannedUnit* u : groups[key])
        if (active(*u)) wallLists.push_back(walls(unitResult(*u)));
      if (wallLists.empty() || enoughRuns(wallLists, settings)) {
        done[key] = true;
        if (!wallLists.empty())
          note(fmt::format(
              "done {}/{}: {} runs", key.first, key.second,
              std::min_element(wallLists.begin(), wallLists.end(), [](auto& a, auto& b) {
                return a.size() < b.size();
              })->size()));
        continue;
      }
      for (const PlannedUnit* u : groups[key])
        if (active(*u)) order.push_back(u);
    }
    if (order.empty()) break;
    if (round % 2 == 1) std::reverse(order.begin(), order.end());

    double secondsLeft = 0;
    for (const auto& key : groupOrder) {
      if (done[key]) continue;
      for (const PlannedUnit* u : groups[key]) {
        if (!active(*u)) continue;
        const auto wall = walls(unitResult(*u));
        // Before the first timed run, the warm-up tells how long a run takes.
        std::vector<double> seen = wall;
        for (const Sample& w : unitResult(*u).warmup) seen.push_back(w.wall);
        const double typical = seen.empty() ? 0 : stats::median(seen);
        secondsLeft += typical * runsNeeded(wall, settings);
      }
    }
    if (hooks.round)
      hooks.round(fmt::format("round {}: {} run{}, about {} left", round + 1,
                              order.size() * layouts, order.size() * layouts == 1 ? "" : "s",
                              duration(secondsLeft)));
    // With code layouts, the round passes over the units once per layout, each pass
    // one layout further on, starting one further on each round: every layout runs
    // once a round, in a different place of it each time.
    for (int slot = 0; slot < layouts; ++slot) {
      for (const PlannedUnit* u : order) {
        if (!active(*u)) continue;
        progress(
            fmt::format("round {}: {} ({} left)", round + 1, label(*u), duration(secondsLeft)));
        UnitResult& r = unitResult(*u);
        const auto before = walls(r);
        if (!runOnce(r, *u, settings, r.samples, (slot + round) % layouts)) {
          if (interruptFlag()) return false;
          reportFailure(*u);
        }
        if (!before.empty()) secondsLeft = std::max(0.0, secondsLeft - stats::median(before));
      }
    }
    checkpoint();
  }

  if (settings.instructions) {
    const std::string counter = instructionCounter();
    if (counter.empty()) {
      note("instruction counts skipped: neither perf nor valgrind works here");
    } else {
      for (const auto& u : units) {
        UnitResult& r = unitResult(u);
        if (!r.ok()) continue;
        progress(fmt::format("counting instructions ({}): {}", counter, label(u)));
        const InstructionCount count = countInstructions(counter, u, settings);
        if (interruptFlag()) return false;
        if (!count.error.empty()) {
          note(fmt::format("no instruction count for {}: {}", label(u), count.error));
          continue;
        }
        r.instructions = count.count;
        r.instructionsSource = count.source;
      }
      checkpoint();
    }
  }
  return true;
}

} // namespace bench32
