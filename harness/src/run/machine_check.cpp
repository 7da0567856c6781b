#include "run/machine_check.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include <fmt/format.h>

#include "exec/cpu_list.hpp"
#include "run/environment.hpp"

namespace bench32 {
namespace {

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// A tenth of a second busy on cpu: the share of it that this thread was not running,
// which is time the scheduler gave to another program (or a hypervisor to another
// machine). Negative when the thread cannot be moved there.
double waitedOn(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0) return -1;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const double cpuStart = threadSeconds();
  while (Clock::now() - start < std::chrono::milliseconds(100)) {
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return std::max(0.0, wall - (threadSeconds() - cpuStart)) / wall;
}

// Every processor probed at once, each by a thread of its own: the mean share waited.
std::optional<double> probeWaiting(const std::vector<int>& cpus) {
  std::vector<double> shares(cpus.size(), -1);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < cpus.size(); ++i)
    threads.emplace_back([&shares, &cpus, i] { shares[i] = waitedOn(cpus[i]); });
  for (auto& t : threads) t.join();
  double sum = 0;
  for (const double s : shares) {
    if (s < 0) return std::nullopt;
    sum += s;
  }
  return cpus.empty() ? std::nullopt : std::optional(sum / double(cpus.size()));
}

std::string joined(const std::vector<std::string>& words, const char* between) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : between) + w;
  return text;
}

MachineCheck governorCheck(const MachineState& s) {
  std::vector<std::string> others;
  bool any = false;
  for (std::size_t i = 0; i < s.governors.size(); ++i) {
    if (s.governors[i].empty()) continue;
    any = true;
    if (s.governors[i] != "performance")
      others.push_back(fmt::format("{} on {}", s.governors[i], s.cpus[i]));
  }
  if (!any)
    return {"governor", Finding::unknown, "none",
            "no cpufreq here (a virtual machine, or a fixed clock): nothing to set"};
  if (others.empty()) return {"governor", Finding::ok, "performance", ""};
  return {"governor", Finding::fails, joined(others, ", "),
          "the clock follows the load, so a run's speed depends on what ran before it: "
          "cpupower frequency-set -g performance"};
}

MachineCheck turboCheck(const MachineState& s) {
  if (s.turbo == "off") return {"turbo", Finding::ok, "off", ""};
  if (s.turbo == "on")
    return {"turbo", Finding::fails, "on",
            "the clock rises and falls with temperature and with the other cores' load: "
            "echo 1 > /sys/devices/system/cpu/intel_pstate/no_turbo (Intel), or "
            "echo 0 > /sys/devices/system/cpu/cpufreq/boost"};
  return {"turbo", Finding::unknown, "unknown", "no turbo switch here: nothing to set"};
}

MachineCheck aslrCheck(const MachineState& s) {
  if (s.aslr.empty())
    return {"aslr", Finding::unknown, "unknown", "randomize_va_space cannot be read"};
  if (s.aslr == "0") return {"aslr", Finding::ok, "0 (off)", ""};
  return {"aslr", Finding::fails, s.aslr == "1" ? "1 (stack and libraries)" : s.aslr + " (full)",
          "each run gets other addresses, which moves alignment and cache effects from run to "
          "run: sysctl kernel.randomize_va_space=0 (run --layouts measures layouts on purpose)"};
}

MachineCheck smtCheck(const MachineState& s) {
  if (s.siblings.empty() || s.siblings.front() == "unknown")
    return {"smt", Finding::unknown, "unknown", "the processors' topology cannot be read"};
  std::vector<std::string> shared;
  std::vector<std::string> firsts; // one thread per core: what --cpu should name
  bool twoOfOne = false;
  for (const auto& core : s.siblings) {
    std::vector<int> threads;
    try {
      threads = parseCpuList(core);
    } catch (const std::exception&) {
      return {"smt", Finding::unknown, "unknown", "the processors' topology cannot be read"};
    }
    if (threads.size() > 1) shared.push_back(core);
    if (!threads.empty()) firsts.push_back(std::to_string(threads.front()));
    int used = 0;
    for (const int t : threads) used += std::count(s.cpus.begin(), s.cpus.end(), t) ? 1 : 0;
    twoOfOne = twoOfOne || used > 1;
  }
  if (shared.empty() || s.smtActive == "0") return {"smt", Finding::ok, "one thread per core", ""};
  if (twoOfOne)
    return {"smt", Finding::fails, "cores shared: " + joined(shared, "; "),
            fmt::format("two runs on one core slow each other: --cpu {} (one thread per core)",
                        joined(firsts, ","))};
  return {"smt", Finding::fails, "siblings: " + joined(shared, "; "),
          "another program on a sibling thread slows the run on its core: keep them idle, or "
          "echo off > /sys/devices/system/cpu/smt/control"};
}

MachineCheck loadCheck(const MachineState& s) {
  if (s.load < 0) return {"load", Finding::unknown, "unknown", "/proc/loadavg cannot be read"};
  const std::string state = fmt::format("{:.2f} over the last minute", s.load);
  if (s.load < 1) return {"load", Finding::ok, state, ""};
  return {"load", Finding::fails, state,
          "other work kept a processor busy: stop it, or give the programs processors of their "
          "own with --cpu"};
}

MachineCheck waitingCheck(const MachineState& s) {
  if (!s.waited)
    return {"waiting", Finding::unknown, "not probed",
            "bench32 check probes it; a run notes its runs that waited"};
  const std::string state = fmt::format("{:.1f}% of a busy tenth of a second", *s.waited * 100);
  if (*s.waited < 0.01) return {"waiting", Finding::ok, state, ""};
  return {"waiting", Finding::fails, state,
          "a neighbour (another program, or another virtual machine on the host) takes these "
          "processors: stop it, choose others with --cpu, and compare CPU time (--metric cpu) "
          "rather than wall time"};
}

} // namespace

MachineState readMachineState(const std::vector<int>& given, bool probe,
                              const std::filesystem::path& root) {
  MachineState s;
  s.cpus = given.empty() ? allowedCpus() : given;
  const std::filesystem::path cpuDir = root / "sys/devices/system/cpu";
  for (const int cpu : s.cpus)
    s.governors.push_back(firstLine(cpuDir / fmt::format("cpu{}/cpufreq/scaling_governor", cpu)));
  const auto state = captureProcessorState(s.cpus, root);
  s.turbo = state.at("turbo");
  s.aslr = state.at("aslr") == "unknown" ? "" : state.at("aslr");
  s.siblings = coreSiblings(s.cpus, root);
  s.smtActive = firstLine(cpuDir / "smt/active");
  std::ifstream loadavg(root / "proc/loadavg");
  if (double load = 0; loadavg >> load) s.load = load;
  if (probe) s.waited = probeWaiting(s.cpus);
  return s;
}

std::vector<MachineCheck> judgeMachine(const MachineState& state) {
  return {governorCheck(state), turboCheck(state), aslrCheck(state),
          smtCheck(state),      loadCheck(state),  waitingCheck(state)};
}

std::string failingChecks(const std::vector<MachineCheck>& checks) {
  std::vector<std::string> failing;
  for (const auto& c : checks)
    if (c.finding == Finding::fails) failing.push_back(c.name + " " + c.state);
  return joined(failing, ", ");
}

std::string machineWarning(const std::vector<int>& cpus) {
  const std::string failing = failingChecks(judgeMachine(readMachineState(cpus, false)));
  if (failing.empty()) return failing;
  return fmt::format("this machine moves timings: {} (bench32 check says what to do)", failing);
}

Document checkDocument(const std::vector<MachineCheck>& checks) {
  Table table;
  table.columns = {
      {"check", "check"}, {"finding", "finding"}, {"state", "state"}, {"what to do", "advice"}};
  for (const auto& c : checks) {
    const char* finding = c.finding == Finding::ok      ? "ok"
                          : c.finding == Finding::fails ? "FAILS"
                                                        : "unknown";
    table.rows.push_back({Cell(c.name), Cell(finding), Cell(c.state), Cell(c.advice)});
    table.rowTags.push_back(c.finding == Finding::fails ? "failed" : "");
  }
  return {{Section{"What moves timings on this machine", std::move(table), {}}}};
}

} // namespace bench32
