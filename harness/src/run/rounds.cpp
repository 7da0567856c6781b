#include "run/rounds.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <latch>
#include <map>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "analysis/sequential.hpp"
#include "analysis/stats.hpp"
#include "exec/interrupt.hpp"
#include "exec/words.hpp"
#include "model/metrics.hpp"
#include "run/collectors.hpp"

namespace bench32 {
namespace {

bool active(const Measuring& m, const PlannedUnit& unit) {
  return m.result(unit).status != Status::failed;
}

// The requests of one run of a unit (code layout `layout` when the session has
// layouts): one per copy, each with its own padding, and with processors given, each
// copy alone on one of them in turn.
std::vector<RunRequest> copyRequests(const Measuring& m, const PlannedUnit& unit, int layout) {
  const std::size_t copies = std::size_t(std::max(m.settings.copies, 1));
  std::vector<RunRequest> requests;
  for (std::size_t i = 0; i < copies; ++i) {
    RunRequest request = programRequest(unit, m.settings, layout);
    if (m.settings.layouts > 0) request.environmentPadding = randomPadding();
    if (copies > 1 && !m.settings.cpus.empty())
      request.cpus = {m.settings.cpus[i % m.settings.cpus.size()]};
    requests.push_back(std::move(request));
  }
  return requests;
}

// A copy's run and when it started and ended on the monotonic clock: as the runner
// saw it, else around the runner's call.
struct CopyRun {
  RunResult run;
  std::chrono::steady_clock::time_point start, end;
};

CopyRun runTimed(const Runner& runner, const RunRequest& request) {
  const auto before = std::chrono::steady_clock::now();
  CopyRun copy{runner(request), before, {}};
  const auto after = std::chrono::steady_clock::now();
  copy.start = copy.run.started.value_or(before);
  copy.end = copy.run.started
                 ? copy.start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(copy.run.wallSeconds))
                 : after;
  return copy;
}

// Runs every request at once through the runner, each copy on a thread of its own that
// waits for the others to be ready, and with a start gate, held just before its exec
// until every copy is there; a single request runs on this thread. An exception in any
// copy is raised here once every copy has ended.
std::vector<CopyRun> runCopies(const Runner& runner, std::vector<RunRequest> requests, bool gated) {
  if (requests.size() == 1) return {runTimed(runner, requests.front())};
  std::vector<CopyRun> runs(requests.size());
  std::vector<std::exception_ptr> errors(requests.size());
  std::latch ready(std::ptrdiff_t(requests.size()));
  StartGate gate;
  if (gated) {
    gate = openGate();
    for (RunRequest& r : requests) r.gateReady = gate.readyWrite, r.gateOpen = gate.openRead;
  }
  {
    std::vector<std::jthread> threads;
    try {
      for (std::size_t i = 0; i < requests.size(); ++i)
        threads.emplace_back([&, i] {
          ready.arrive_and_wait();
          try {
            runs[i] = runTimed(runner, requests[i]);
          } catch (...) {
            errors[i] = std::current_exception();
          }
        });
    } catch (...) {
      // No thread for a copy: the started ones are let go, and joined as they end.
      ready.count_down(std::ptrdiff_t(requests.size() - threads.size()));
      if (gated) releaseGate(gate, 0, std::chrono::milliseconds(0));
      closeGate(gate);
      throw;
    }
    if (gated) releaseGate(gate, requests.size(), std::chrono::seconds(10));
  }
  closeGate(gate);
  for (const auto& error : errors)
    if (error) std::rethrow_exception(error);
  return runs;
}

// For a program that ran to its end here with a wrong output, built by clang in a
// configuration of the harness's own (-c): the command that finds the pass run from
// which the output goes wrong, to follow the failure. Empty elsewhere: that command
// rebuilds the configuration and runs the program here, without a prefix.
std::string passBisectHint(const Measuring& m, const PlannedUnit& unit, const RunResult& run) {
  if (!run.startError.empty() || run.timedOut || run.cancelled || !m.settings.runUnder.empty() ||
      m.results.ranOn.count("remote"))
    return {};
  const UnitResult& result = m.result(unit);
  const auto config = std::find_if(m.results.configs.begin(), m.results.configs.end(),
                                   [&](const ConfigInfo& c) { return c.name == result.config; });
  if (config == m.results.configs.end() || config->pgo ||
      config->compilerVersion.find("clang") == std::string::npos ||
      std::filesystem::path(config->buildDir).filename() != "cfg-" + config->name)
    return {};
  const std::string built = fmt::format("{}={}:{}", config->name, config->compiler, config->flags);
  std::vector<std::string> words{"bench32",      "bisect", "--passes", "-p",
                                 result.program, "-c",     built};
  if (result.workload != "smoke") words.insert(words.end(), {"-w", result.workload});
  words.push_back("--wrong-output");
  return fmt::format("; `{}` finds the pass", commandText(words));
}

// The reason a copy's run failed, or nothing when it is verified.
std::optional<std::string> failureOf(const Measuring& m, const PlannedUnit& unit,
                                     const RunResult& run, std::size_t copy) {
  Verdict verdict = verify(*unit.expected, run);
  if (run.timedOut && !run.stdoutOverflow)
    verdict.detail = fmt::format("timed out after {} s (process group killed)", m.settings.timeout);
  if (verdict.ok) return std::nullopt;
  verdict.detail += passBisectHint(m, unit, run);
  if (m.settings.copies <= 1) return verdict.detail;
  return fmt::format("copy {} of {}: {}", copy + 1, m.settings.copies, verdict.detail);
}

double secondsSince(std::chrono::steady_clock::time_point origin,
                    std::chrono::steady_clock::time_point at) {
  return std::max(0.0, std::chrono::duration<double>(at - origin).count());
}

// A round's rate: its copies over the time from the first copy's start to the last
// one's end. None when that time is not above zero (a runner that cannot tell).
void recordRate(const std::vector<Sample>& round, UnitResult& result) {
  double first = INFINITY, last = -INFINITY;
  for (const Sample& s : round) {
    first = std::min(first, s.start);
    last = std::max(last, s.end);
  }
  if (last > first) result.rate.push_back(double(round.size()) / (last - first));
}

// Runs a unit's program once, as many copies at once as asked (code layout `layout`
// when the session has layouts), and verifies every copy; false (with the unit marked
// failed, for the first copy that failed) when a copy fails. Nothing of a failed run
// is kept.
bool runVerified(const Measuring& m, const PlannedUnit& unit, std::vector<Sample>& into,
                 int layout) {
  const auto requests = copyRequests(m, unit, layout);
  const auto runs = runCopies(m.runner, requests, m.settings.startGate);
  if (interruptFlag() ||
      std::any_of(runs.begin(), runs.end(), [](const CopyRun& c) { return c.run.cancelled; }))
    return false;
  UnitResult& result = m.result(unit);
  std::vector<Sample> round;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (auto failure = failureOf(m, unit, runs[i].run, i)) {
      result.status = Status::failed;
      result.failure = std::move(*failure);
      return false;
    }
    Sample sample;
    collectRun(m.settings, runs[i].run, sample);
    if (m.settings.layouts > 0) {
      sample.layout = layout;
      sample.paddingBytes = int(requests[i].environmentPadding);
    }
    if (runs.size() > 1) {
      sample.copy = int(i);
      sample.start = secondsSince(m.origin, runs[i].start);
      sample.end = secondsSince(m.origin, runs[i].end);
    }
    round.push_back(sample);
  }
  into.insert(into.end(), round.begin(), round.end());
  if (runs.size() > 1) {
    result.copies = int(runs.size());
    if (&into == &result.samples) recordRate(round, result);
  }
  // A unit is ok once it has a verified timed run; warm-ups alone leave it not-run.
  if (!result.samples.empty()) result.status = Status::ok;
  return true;
}

// A duet: one run of every unit at the same moment, unit i on the (i + round)-th of the
// processors, through a start gate, each verified as a single run is. A unit whose run
// fails is marked failed and reported; nothing of it is kept. False when interrupted.
bool runDuet(const Measuring& m, const std::vector<const PlannedUnit*>& units, int round) {
  const std::vector<int> cpus = m.settings.cpus.empty() ? allowedCpus() : m.settings.cpus;
  std::vector<RunRequest> requests;
  for (std::size_t i = 0; i < units.size(); ++i) {
    RunRequest request = programRequest(*units[i], m.settings, 0);
    request.cpus = {cpus[(i + std::size_t(round)) % cpus.size()]};
    requests.push_back(std::move(request));
  }
  const auto runs = runCopies(m.runner, requests, m.settings.startGate);
  if (interruptFlag() ||
      std::any_of(runs.begin(), runs.end(), [](const CopyRun& c) { return c.run.cancelled; }))
    return false;
  for (std::size_t i = 0; i < units.size(); ++i) {
    UnitResult& result = m.result(*units[i]);
    if (auto failure = failureOf(m, *units[i], runs[i].run, 0)) {
      result.status = Status::failed;
      result.failure = std::move(*failure);
      m.note(failureLine(result));
      continue;
    }
    Sample sample;
    collectRun(m.settings, runs[i].run, sample);
    result.samples.push_back(sample);
    result.status = Status::ok;
  }
  return true;
}

// Runs a unit once and reports its failure, if any; false when interrupted.
bool runOrReport(const Measuring& m, const PlannedUnit& unit, std::vector<Sample>& into,
                 int layout) {
  if (runVerified(m, unit, into, layout)) return true;
  if (interruptFlag()) return false;
  m.note(failureLine(m.result(unit)));
  m.checkpoint();
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

// The configurations of one program and workload, measured side by side and stopped
// together so that they keep the same number of interleaved rounds.
struct Group {
  std::string program, workload;
  std::vector<const PlannedUnit*> units;
  bool done = false;
};

// The pace of each unit: the time a run of it takes here, harness and verification
// included, measured around each run. The time left is estimated from it, unit by unit,
// so that it does not lurch when a round of slow programs follows a round of fast ones.
struct Pace {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::map<const PlannedUnit*, std::pair<std::size_t, double>> seen; // runs, seconds
  std::size_t done = 0;
  std::size_t warmupLeft = 0;
  std::chrono::steady_clock::time_point shown{};

  double elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  // Seconds per run of the unit; of all units alike before it has run; negative before
  // anything has.
  double perRun(const PlannedUnit* unit) const {
    if (const auto it = seen.find(unit); it != seen.end() && it->second.first > 0)
      return it->second.second / double(it->second.first);
    std::size_t runs = 0;
    double seconds = 0;
    for (const auto& [u, s] : seen) runs += s.first, seconds += s.second;
    return runs > 0 ? seconds / double(runs) : -1;
  }
};

// Times one run of a unit into its pace.
template <typename Run>
bool paced(Pace& pace, const PlannedUnit* unit, Run run) {
  const auto before = std::chrono::steady_clock::now();
  const bool going = run();
  auto& [runs, seconds] = pace.seen[unit];
  ++runs;
  seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  ++pace.done;
  return going;
}

// The runs still needed by the unfinished groups, and the time they need at each unit's
// pace (negative while no run has been timed).
std::pair<std::size_t, double> runsLeft(const Measuring& m, const std::vector<Group>& groups,
                                        const Pace& pace) {
  const std::size_t copies = std::size_t(std::max(m.settings.copies, 1));
  std::size_t runs = pace.warmupLeft;
  double seconds = 0;
  bool known = true;
  for (const Group& g : groups) {
    if (g.done) continue;
    for (const PlannedUnit* u : g.units) {
      if (!active(m, *u)) continue;
      // The counts are of runs of every copy; one call of the runner starts them all.
      const auto needed = std::size_t(runsNeeded(walls(m.result(*u)), m.settings)) / copies;
      runs += needed;
      const double each = pace.perRun(u);
      if (each < 0) known = false;
      seconds += each * double(needed);
    }
  }
  if (pace.warmupLeft > 0) {
    const double each = pace.perRun(nullptr);
    if (each < 0) known = false;
    seconds += each * double(pace.warmupLeft);
  }
  return {runs, known ? seconds : -1};
}

// Tells the hook how far the loop is: at most ten times a second, and always at the end.
void advance(const Measuring& m, const std::vector<Group>& groups, Pace& pace,
             const PlannedUnit* unit, bool last = false) {
  if (!m.hooks.advance) return;
  const auto now = std::chrono::steady_clock::now();
  if (!last && now - pace.shown < std::chrono::milliseconds(100)) return;
  pace.shown = now;
  const auto [runs, seconds] = runsLeft(m, groups, pace);
  Advance a;
  a.done = pace.done;
  a.total = pace.done + runs;
  a.elapsed = pace.elapsed();
  a.left = seconds;
  if (unit) a.unit = m.label(*unit);
  m.hooks.advance(a);
}

// Warm-up, verified like every other run: every code layout of every unit once per
// warm-up round; false when interrupted.
bool warmUp(const Measuring& m, const std::vector<Group>& groups, Pace& pace) {
  const int layouts = std::max(m.settings.layouts, 1);
  pace.warmupLeft =
      std::size_t(std::max(m.settings.warmup, 0)) * m.units.size() * std::size_t(layouts);
  for (int w = 0; w < m.settings.warmup; ++w) {
    for (const auto& u : m.units) {
      for (int k = 0; k < layouts && active(m, u); ++k) {
        if (!m.hooks.advance)
          m.progress(fmt::format("warm-up {}/{}: {}", w + 1, m.settings.warmup, m.label(u)));
        if (!paced(pace, &u, [&] { return runOrReport(m, u, m.result(u).warmup, k); }))
          return false;
        if (pace.warmupLeft > 0) --pace.warmupLeft;
        advance(m, groups, pace, &u);
      }
    }
  }
  pace.warmupLeft = 0;
  if (m.settings.warmup > 0) m.checkpoint();
  return true;
}

// The groups in the order their first unit is planned.
std::vector<Group> groupsOf(const Measuring& m) {
  std::vector<Group> groups;
  for (const auto& u : m.units) {
    const UnitResult& r = m.result(u);
    auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
      return g.program == r.program && g.workload == r.workload;
    });
    if (group == groups.end()) group = groups.insert(groups.end(), {r.program, r.workload, {}});
    group->units.push_back(&u);
  }
  return groups;
}

// This round's units: every unfinished group's working configurations, in an order that
// is reversed on every other round so that drift falls on both sides alike. A group
// whose working configurations all have enough runs (or that has none left) is done.
std::vector<const PlannedUnit*> roundOrder(const Measuring& m, std::vector<Group>& groups,
                                           int round) {
  std::vector<const PlannedUnit*> order;
  for (Group& g : groups) {
    if (g.done) continue;
    std::vector<std::vector<double>> wallLists;
    for (const PlannedUnit* u : g.units)
      if (active(m, *u)) wallLists.push_back(walls(m.result(*u)));
    if (wallLists.empty() || enoughRuns(wallLists, m.settings)) {
      g.done = true;
      if (!wallLists.empty())
        m.note(fmt::format(
            "done {}/{}: {}", g.program, g.workload,
            plural(std::min_element(wallLists.begin(), wallLists.end(),
                                    [](auto& a, auto& b) { return a.size() < b.size(); })
                       ->size(),
                   "run")));
      continue;
    }
    for (const PlannedUnit* u : g.units)
      if (active(m, *u)) order.push_back(u);
  }
  if (round % 2 == 1) std::reverse(order.begin(), order.end());
  return order;
}

// The time the unfinished groups' runs still need, at the typical speed seen so far.
double secondsLeft(const Measuring& m, const std::vector<Group>& groups) {
  double seconds = 0;
  for (const Group& g : groups) {
    if (g.done) continue;
    for (const PlannedUnit* u : g.units) {
      if (!active(m, *u)) continue;
      const auto wall = walls(m.result(*u));
      // Before the first timed run, the warm-up tells how long a run takes.
      std::vector<double> seen = wall;
      for (const Sample& w : m.result(*u).warmup) seen.push_back(w.wall);
      const double typical = seen.empty() ? 0 : stats::median(seen);
      // Copies run side by side: a round takes about one run's time.
      seconds += typical * runsNeeded(wall, m.settings) / std::max(m.settings.copies, 1);
    }
  }
  return seconds;
}

// One round of timed runs; false when interrupted. With code layouts, the round passes
// over the units once per layout, each pass one layout further on, starting one further
// on each round: every layout runs once a round, in a different place of it each time.
bool runRound(const Measuring& m, const std::vector<Group>& groups,
              const std::vector<const PlannedUnit*>& order, int round, double left, Pace& pace) {
  const std::size_t layouts = std::size_t(std::max(m.settings.layouts, 1));
  if (m.hooks.round)
    m.hooks.round(fmt::format("round {}: {}, about {} left", round + 1,
                              plural(order.size() * layouts, "run"), duration(left)));
  for (std::size_t slot = 0; slot < layouts; ++slot) {
    for (const PlannedUnit* u : order) {
      if (!active(m, *u)) continue;
      // A bar, when there is one, says it better than a line per run.
      if (!m.hooks.advance)
        m.progress(fmt::format("round {}: {} ({} left)", round + 1, m.label(*u), duration(left)));
      UnitResult& r = m.result(*u);
      const auto before = walls(r);
      if (!paced(pace, u, [&] {
            return runOrReport(m, *u, r.samples, int((slot + std::size_t(round)) % layouts));
          }))
        return false;
      if (!before.empty()) left = std::max(0.0, left - stats::median(before));
      advance(m, groups, pace, u);
    }
  }
  m.checkpoint();
  return true;
}

// The verdict-driven rounds (--decide). A group is judged after every round: each of its
// working configurations against the baseline, on runs paired by round.
struct Judgement {
  std::vector<std::pair<std::string, PairedDecision>> decisions; // configuration, decision
  bool open = false;
  double pairsNeeded = 0;  // the most any open comparison needs
  double roundSeconds = 0; // one round of the group's runs, at the speed seen so far
};

DecideSettings decideSettings(const DecidePlan& plan) {
  DecideSettings d;
  d.resolution = plan.resolution;
  d.alpha = plan.alpha;
  return d;
}

double typicalWall(const UnitResult& r) {
  std::vector<double> seen = walls(r);
  if (seen.empty())
    for (const Sample& w : r.warmup) seen.push_back(w.wall);
  return seen.empty() ? 0 : stats::median(seen);
}

// One round of a group's runs: one after another, or together in a duet.
double roundSeconds(const Measuring& m, const Group& g) {
  double sum = 0, longest = 0;
  for (const PlannedUnit* u : g.units) {
    if (!active(m, *u)) continue;
    const double t = typicalWall(m.result(*u));
    sum += t;
    longest = std::max(longest, t);
  }
  return m.settings.duet ? longest : sum;
}

Judgement judge(const Measuring& m, const Group& g) {
  const DecidePlan& plan = *m.settings.decide;
  const DecideSettings settings = decideSettings(plan);
  const MetricInfo& metric = metricNamed(plan.metric);
  Judgement j;
  const PlannedUnit* base = nullptr;
  j.roundSeconds = roundSeconds(m, g);
  for (const PlannedUnit* u : g.units)
    if (m.result(*u).config == plan.baseline) base = u;
  // Without a working baseline there is nothing to decide against.
  if (!base || !active(m, *base)) return j;
  const auto baseValues = metricValues(m.result(*base), metric.id);
  for (const PlannedUnit* u : g.units) {
    if (u == base || !active(m, *u)) continue;
    const UnitResult& r = m.result(*u);
    if (r.config == m.settings.anchor) continue;
    PairedDecision d = decidePaired(baseValues, metricValues(r, metric.id), settings);
    if (d.state == Decision::open) {
      j.open = true;
      j.pairsNeeded = std::max(j.pairsNeeded, pairsToDecide(d, settings));
    }
    j.decisions.emplace_back(r.config, d);
  }
  return j;
}

std::string decisionLine(const Group& g, const Judgement& j, const DecidePlan& plan) {
  std::vector<std::string> parts;
  for (const auto& [config, d] : j.decisions) {
    const Decision state = d.state == Decision::open ? Decision::undecided : d.state;
    parts.push_back(fmt::format("{} {} {:.4f} ({:.4f}-{:.4f}) after {} pairs", config,
                                decisionName(state), d.ratio, d.interval.low, d.interval.high,
                                d.pairs));
  }
  return fmt::format("decided {}/{} on {} against {}: {}", g.program, g.workload, plan.metric,
                     plan.baseline, fmt::join(parts, "; "));
}

// This round's groups: those still open, cheapest to decide first, as many as the budget
// left can decide. A group's cost is the pairs it still needs times one round's time;
// one that has barely started always runs, since its estimate means little yet.
std::vector<Group*> decideOrder(const Measuring& m, std::vector<Group>& groups, double left) {
  std::vector<std::pair<double, Group*>> open;
  for (Group& g : groups) {
    if (g.done) continue;
    const Judgement j = judge(m, g);
    if (!j.open) {
      g.done = true;
      if (!j.decisions.empty()) m.note(decisionLine(g, j, *m.settings.decide));
      continue;
    }
    open.emplace_back(j.pairsNeeded * j.roundSeconds, &g);
  }
  std::stable_sort(open.begin(), open.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Group*> chosen;
  double committed = 0;
  for (const auto& [cost, g] : open) {
    const bool starting = walls(m.result(*g->units.front())).size() < 10;
    if (!starting && !chosen.empty() && committed + cost > left) continue;
    committed += cost;
    chosen.push_back(g);
  }
  return chosen;
}

// Runs rounds until every group is decided or the budget is spent. A group's runs are
// only started when one more round of them fits in what is left, so a pair is never
// cut in half; the order of groups and of the configurations within each is reversed
// on every other round.
bool decideRounds(const Measuring& m, std::vector<Group>& groups) {
  const DecidePlan& plan = *m.settings.decide;
  const auto spent = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m.origin).count();
  };
  double lastLine = -INFINITY;
  for (int round = 0;; ++round) {
    const double left = plan.budgetSeconds - spent();
    auto chosen = decideOrder(m, groups, left);
    const std::size_t decided = std::size_t(
        std::count_if(groups.begin(), groups.end(), [](const Group& g) { return g.done; }));
    if (chosen.empty() || left <= 0) break;
    // Rounds of short programs take milliseconds: a line every ten seconds is enough.
    if (m.hooks.round && spent() - lastLine >= 10 && (lastLine = spent(), true))
      m.hooks.round(fmt::format("round {}: {} decided, {} open, {} of the budget left", round + 1,
                                decided, groups.size() - decided, duration(left)));
    if (round % 2 == 1) std::reverse(chosen.begin(), chosen.end());
    bool ran = false;
    for (Group* g : chosen) {
      const double now = plan.budgetSeconds - spent();
      if (roundSeconds(m, *g) > now) continue;
      std::vector<const PlannedUnit*> units;
      for (const PlannedUnit* u : g->units)
        if (active(m, *u)) units.push_back(u);
      // Together, the order means nothing; the processors rotate instead.
      if (round % 2 == 1 && !m.settings.duet) std::reverse(units.begin(), units.end());
      const std::string where = fmt::format("round {}: {} decided, {} open, {} left: ", round + 1,
                                            decided, groups.size() - decided, duration(now));
      if (m.settings.duet) {
        m.progress(where + fmt::format("{}/{} together", g->program, g->workload));
        if (!runDuet(m, units, round)) return false;
        m.checkpoint();
      } else {
        for (const PlannedUnit* u : units) {
          m.progress(where + m.label(*u));
          if (!runOrReport(m, *u, m.result(*u).samples, 0)) return false;
        }
      }
      ran = true;
    }
    m.checkpoint();
    if (!ran) break;
  }
  for (Group& g : groups) {
    if (g.done) continue;
    const Judgement j = judge(m, g);
    if (!j.decisions.empty()) m.note(decisionLine(g, j, plan));
  }
  return true;
}

} // namespace

double runsNeeded(const std::vector<double>& wall, const RunSettings& given) {
  // With code layouts the counts are per layout, and a round runs every layout once;
  // with copies they are rounds, each of as many runs as copies, and the time to fill
  // is the time the rounds take, each copy's alike.
  RunSettings settings = given;
  const int perRound = std::max(given.layouts, 1) * std::max(given.copies, 1);
  settings.runs *= perRound;
  settings.minRuns *= perRound;
  settings.maxRuns *= perRound;
  settings.minTime *= std::max(given.copies, 1);
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

bool measureRounds(Results& results, const std::vector<PlannedUnit>& units,
                   const RunSettings& settings, const Runner& runner, const MeasureHooks& hooks) {
  const Measuring m{results, units, settings, runner, hooks, std::chrono::steady_clock::now()};
  std::vector<Group> groups = groupsOf(m);
  Pace pace;
  if (!collectAllUnits(m, true) || !warmUp(m, groups, pace)) return false;
  if (settings.decide) return decideRounds(m, groups) && collectAllUnits(m, false);
  for (int round = 0;; ++round) {
    const auto order = roundOrder(m, groups, round);
    if (order.empty()) break;
    if (!runRound(m, groups, order, round, secondsLeft(m, groups), pace)) return false;
  }
  advance(m, groups, pace, nullptr, true);
  return collectAllUnits(m, false);
}

} // namespace bench32
