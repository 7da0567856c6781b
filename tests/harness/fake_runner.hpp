// Stand-ins for measuring without processes: units with made-up executables, and a
// runner that answers each run with chosen times and a right or wrong ending.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "model/results.hpp"
#include "run/rounds.hpp"
#include "run/unit.hpp"

namespace bench32::fakes {

// Units named CONFIG/PROGRAM (one workload, "ref"), whose executables are named
// CONFIG/PROGRAM, or CONFIG/PROGRAM#K for code layout K.
struct Units {
  Results results;
  std::vector<PlannedUnit> planned;
  std::shared_ptr<const Expectation> expected = [] {
    auto e = std::make_shared<Expectation>();
    e->input = "x";
    e->stdoutBytes = "ok\n";
    e->stdoutDigest = digest("ok\n");
    e->stdoutSize = 3;
    return e;
  }();

  // Configurations outer, programs inner: the order in which run plans them.
  Units(const std::vector<std::string>& configs, const std::vector<std::string>& programs,
        int layouts = 0) {
    for (const auto& config : configs) {
      for (const auto& program : programs) {
        UnitResult u;
        u.config = config;
        u.program = program;
        u.workload = "ref";
        PlannedUnit p{expected, nullptr, {}, results.units.size()};
        for (int k = 0; k < std::max(layouts, 1); ++k)
          p.executables.push_back(config + "/" + program +
                                  (layouts > 0 ? "#" + std::to_string(k) : ""));
        results.units.push_back(u);
        planned.push_back(p);
      }
    }
  }
  const UnitResult& operator[](const std::string& name) const {
    for (const auto& u : results.units)
      if (u.config + "/" + u.program == name) return u;
    throw std::out_of_range(name);
  }
};

// Answers every run with "ok\n" and status 0, except the runs listed in fail (an
// executable and the index of its run, warm-ups included), which end with status 1.
// The wall time of an executable's n-th run is wall(executable, n); when start is set,
// the run started start(executable, n) seconds after `base`, an hour after the runner
// was made (so after any session's start). Safe to call from
// several threads (copies): the n of a call is its place in arrival order. With
// together > 1, each call waits (up to 10 s) until that many calls are in at once, and
// notes whether they were.
struct FakeRunner {
  std::function<double(const std::string&, int)> wall = [](const std::string&, int) {
    return 0.01;
  };
  std::function<double(const std::string&, int)> start;
  std::chrono::steady_clock::time_point base =
      std::chrono::steady_clock::now() + std::chrono::hours(1);
  std::set<std::pair<std::string, int>> fail;
  std::vector<std::string> calls;
  std::vector<std::vector<int>> cpus; // each call's processors
  std::map<std::string, int> count;
  int together = 0;
  int arrived = 0, alone = 0; // alone: calls that waited for the others in vain
  std::mutex mutex;
  std::condition_variable changed;
  std::shared_ptr<MemoryFile> out = [] {
    auto file = std::make_shared<MemoryFile>("fake-output");
    file->append("ok\n");
    return file;
  }();

  RunResult operator()(const RunRequest& request) {
    const std::string exe = request.argv.back();
    std::unique_lock lock(mutex);
    const int n = count[exe]++;
    calls.push_back(exe);
    cpus.push_back(request.cpus);
    if (together > 1) meet(lock);
    RunResult run;
    run.stdoutFile = out;
    run.exitStatus = fail.count({exe, n}) ? 1 : 0;
    run.wallSeconds = wall(exe, n);
    run.userSeconds = run.wallSeconds / 2;
    run.systemSeconds = run.wallSeconds / 4;
    run.maxRssKiB = 1000 + n;
    if (start)
      run.started = base + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(start(exe, n)));
    return run;
  }

private:
  // Waits until every call of this one's group of `together` has come in.
  void meet(std::unique_lock<std::mutex>& lock) {
    const int group = arrived++ / together;
    changed.notify_all();
    if (!changed.wait_for(lock, std::chrono::seconds(10),
                          [&] { return arrived >= (group + 1) * together; }))
      ++alone;
  }
};

// What a measuring loop said and whether it finished.
struct Outcome {
  bool finished;
  std::vector<std::string> notes;
  int checkpoints = 0;
};

// Measures the units through the runner.
inline Outcome measure(Units& units, const Runner& runner, const RunSettings& settings) {
  Outcome outcome{};
  MeasureHooks hooks;
  hooks.note = [&](const std::string& line) { outcome.notes.push_back(line); };
  hooks.checkpoint = [&] { ++outcome.checkpoints; };
  outcome.finished = measureRounds(units.results, units.planned, settings, runner, hooks);
  return outcome;
}

inline Outcome measure(Units& units, FakeRunner& fake, const RunSettings& settings) {
  return measure(
      units, [&](const RunRequest& request) { return fake(request); }, settings);
}

inline std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
  return text;
}

// Exactly `runs` timed runs (per layout) after `warmup` warm-ups.
inline RunSettings fixedRuns(int runs, int warmup = 0, int layouts = 0, int copies = 1) {
  RunSettings s;
  s.runs = runs;
  s.warmup = warmup;
  s.layouts = layouts;
  s.copies = copies;
  return s;
}

} // namespace bench32::fakes
