#include "session.hpp"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "stats.hpp"

namespace bench32 {
namespace {

std::atomic<bool> interruptedFlag{false};

extern "C" void onInterrupt(int signalNumber) {
  interruptedFlag = true;
  if (const int group = runningProcessGroup(); group > 0) kill(-group, SIGKILL);
  // A second interrupt ends the harness at once.
  signal(signalNumber, SIG_DFL);
}

Sample sampleOf(const RunResult& run) {
  return {run.wallSeconds, run.userSeconds, run.systemSeconds, run.maxRssKiB};
}

RunRequest requestFor(const PlannedUnit& unit, const RunSettings& settings) {
  RunRequest request;
  request.argv = settings.runUnder;
  request.argv.push_back(unit.executable.string());
  request.input = unit.expected->input;
  request.timeout = std::chrono::duration<double>(settings.timeout);
  request.cancel = &interruptedFlag;
  return request;
}

// Runs once and verifies; false (with the unit marked failed) when the run fails.
bool runOnce(UnitResult& result, const PlannedUnit& unit, const RunSettings& settings,
             std::vector<Sample>& into) {
  const RunResult run = runProcess(requestFor(unit, settings));
  if (run.cancelled || interruptedFlag) return false;
  Verdict verdict = verify(*unit.expected, run);
  if (run.timedOut)
    verdict.detail = fmt::format("timed out after {} s (process group killed)", settings.timeout);
  if (!verdict.ok) {
    result.status = "failed";
    result.failure = verdict.detail;
    return false;
  }
  into.push_back(sampleOf(run));
  if (result.status == "not-run") result.status = "ok";
  return true;
}

std::vector<double> walls(const UnitResult& result) { return result.values(Metric::wall); }

std::string duration(double seconds) {
  if (!(seconds < 1e7)) return "?";
  const long s = std::lround(seconds);
  if (s >= 3600) return fmt::format("{}h{:02}m", s / 3600, s / 60 % 60);
  if (s >= 60) return fmt::format("{}m{:02}s", s / 60, s % 60);
  return fmt::format("{}s", s);
}

// Runs still expected for one configuration of a program, for the time-left estimate.
double runsLeft(const std::vector<double>& wall, const RunSettings& settings) {
  const double n = double(wall.size());
  if (settings.runs > 0) return std::max(0.0, settings.runs - n);
  double left = std::max(0.0, settings.minRuns - n);
  if (!wall.empty()) {
    double spent = 0;
    for (double w : wall) spent += w;
    const double m = stats::median(wall);
    if (m > 0 && stats::relativePrecision(wall) > settings.precision)
      left =
          std::max(left, std::min(settings.maxRuns - n, std::ceil((settings.minTime - spent) / m)));
  }
  return left;
}

} // namespace

const std::atomic<bool>& interruptFlag() { return interruptedFlag; }

void installInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool enoughRuns(const std::vector<std::vector<double>>& wallLists, const RunSettings& settings) {
  for (const auto& wall : wallLists) {
    const auto n = int(wall.size());
    if (settings.runs > 0) {
      if (n < settings.runs) return false;
      continue;
    }
    if (n >= settings.maxRuns) continue;
    if (n < settings.minRuns) return false;
    double spent = 0;
    for (double w : wall) spent += w;
    if (spent < settings.minTime && stats::relativePrecision(wall) > settings.precision)
      return false;
  }
  return true;
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
  auto active = [&](const PlannedUnit& u) { return unitResult(u).status != "failed"; };

  // Warm-up, verified like every other run.
  for (int w = 0; w < settings.warmup; ++w) {
    for (const auto& u : units) {
      if (!active(u)) continue;
      progress(fmt::format("warm-up {}/{}: {}", w + 1, settings.warmup, label(u)));
      UnitResult& r = unitResult(u);
      if (!runOnce(r, u, settings, r.warmup)) {
        if (interruptedFlag) return false;
        reportFailure(u);
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
        secondsLeft += typical * runsLeft(wall, settings);
      }
    }
    if (hooks.round)
      hooks.round(fmt::format("round {}: {} run{}, about {} left", round + 1, order.size(),
                              order.size() == 1 ? "" : "s", duration(secondsLeft)));
    for (const PlannedUnit* u : order) {
      progress(fmt::format("round {}: {} ({} left)", round + 1, label(*u), duration(secondsLeft)));
      UnitResult& r = unitResult(*u);
      const auto before = walls(r);
      if (!runOnce(r, *u, settings, r.samples)) {
        if (interruptedFlag) return false;
        reportFailure(*u);
      }
      if (!before.empty()) secondsLeft = std::max(0.0, secondsLeft - stats::median(before));
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
        if (interruptedFlag) return false;
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

namespace {

// A temporary file for a counter's report, removed when done.
struct TemporaryFile {
  std::string path;
  TemporaryFile() {
    char name[] = "/tmp/bench32-count-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) {
      ::close(fd);
      path = name;
    }
  }
  ~TemporaryFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
  std::string text() const {
    std::ifstream stream(path);
    std::ostringstream all;
    all << stream.rdbuf();
    return all.str();
  }
};

// The count in a counter's report: perf's CSV line "N,,instructions:u,...", or
// callgrind's "Collected : N".
std::optional<std::uint64_t> parseCount(const std::string& counter, const std::string& report) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    std::size_t at = std::string::npos;
    if (counter == "perf" && line.find(",instructions") != std::string::npos) {
      at = 0;
    } else if (counter == "callgrind" && line.find("Collected") != std::string::npos) {
      at = line.find(':');
      if (at != std::string::npos) at = line.find_first_not_of(' ', at + 1);
    }
    if (at == std::string::npos || at >= line.size() ||
        !std::isdigit(static_cast<unsigned char>(line[at])))
      continue;
    try {
      return std::stoull(line.substr(at));
    } catch (const std::out_of_range&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::vector<std::string> counterPrefix(const std::string& counter, const std::string& report) {
  if (counter == "perf") return {"perf", "stat", "-x,", "-e", "instructions:u", "-o", report, "--"};
  return {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--log-file=" + report};
}

} // namespace

std::string instructionCounter() {
  for (const std::string counter : {"perf", "callgrind"}) {
    TemporaryFile report;
    RunRequest request;
    request.argv = counterPrefix(counter, report.path);
    request.argv.push_back("true");
    request.timeout = std::chrono::seconds(60);
    const RunResult run = runProcess(request);
    if (run.exitStatus == 0 && parseCount(counter, report.text())) return counter;
  }
  return {};
}

InstructionCount countInstructions(const std::string& counter, const PlannedUnit& unit,
                                   const RunSettings& settings) {
  InstructionCount result;
  TemporaryFile report;
  RunRequest request = requestFor(unit, settings);
  auto prefix = counterPrefix(counter, report.path);
  request.argv.insert(request.argv.begin(), prefix.begin(), prefix.end());
  // Counting under valgrind is some fifty times slower than running.
  if (counter == "callgrind") request.timeout *= 100;
  const RunResult run = runProcess(request);
  const Verdict verdict = verify(*unit.expected, run);
  if (!verdict.ok) {
    result.error = verdict.detail;
    return result;
  }
  const auto count = parseCount(counter, report.text());
  if (!count) {
    result.error = "no count in the counter's report";
    return result;
  }
  result.count = *count;
  result.source = counter;
  return result;
}

} // namespace bench32
