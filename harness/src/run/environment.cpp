#include "run/environment.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "exec/process.hpp"

namespace bench32 {
namespace {

std::string fileLine(const char* path, const std::string& key) {
  std::ifstream stream(path);
  for (std::string line; std::getline(stream, line);) {
    if (line.rfind(key, 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  }
  return {};
}

std::string commandOutput(std::vector<std::string> argv) {
  RunRequest request;
  request.argv = std::move(argv);
  request.timeout = std::chrono::seconds(20);
  const RunResult run = runProcess(request);
  if (run.exitStatus != 0) return {};
  std::string text = run.stdoutText();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

} // namespace

std::string firstLine(const std::filesystem::path& path) {
  std::ifstream stream(path);
  std::string line;
  std::getline(stream, line);
  return line;
}

std::vector<std::string> coreSiblings(const std::vector<int>& cpus,
                                      const std::filesystem::path& root) {
  std::vector<std::string> cores;
  for (const int cpu : cpus) {
    const std::string siblings = firstLine(
        root / fmt::format("sys/devices/system/cpu/cpu{}/topology/thread_siblings_list", cpu));
    if (siblings.empty()) return {"unknown"};
    if (std::find(cores.begin(), cores.end(), siblings) == cores.end()) cores.push_back(siblings);
  }
  return cores.empty() ? std::vector<std::string>{"unknown"} : cores;
}

std::string loadAverage() {
  std::ifstream stream("/proc/loadavg");
  std::string one, five, fifteen;
  stream >> one >> five >> fifteen;
  return stream ? fmt::format("{} {} {}", one, five, fifteen) : std::string();
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::map<std::string, std::string> captureEnvironment(const std::filesystem::path& sourceDir) {
  std::map<std::string, std::string> env;
  env["cpu"] = fileLine("/proc/cpuinfo", "model name");
  env["cores"] = std::to_string(sysconf(_SC_NPROCESSORS_ONLN));
  env["load_before"] = loadAverage();
  utsname names{};
  if (uname(&names) == 0) {
    env["kernel"] = fmt::format("{} {} {}", names.sysname, names.release, names.machine);
    env["host"] = names.nodename;
  }
  const std::string source = sourceDir.string();
  env["git_revision"] = commandOutput({"git", "-C", source, "rev-parse", "HEAD"});
  if (!env["git_revision"].empty()) {
    // Only the programs and their runtime decide what is measured.
    const auto changes = commandOutput(
        {"git", "-C", source, "status", "--porcelain", "--", "runtime", "benchmarks"});
    env["git_dirty"] = changes.empty() ? "no" : "yes";
  }
  std::ifstream governor("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor");
  if (std::string line; std::getline(governor, line)) env["governor"] = line;
  return env;
}

std::map<std::string, std::string> captureProcessorState(const std::vector<int>& given,
                                                         const std::filesystem::path& root) {
  std::map<std::string, std::string> state;
  const std::vector<int> cpus = given.empty() ? allowedCpus() : given;
  state["cpu_affinity"] = cpuListText(cpus);
  const std::filesystem::path cpuDir = root / "sys/devices/system/cpu";
  // Intel's driver says whether turbo is off; the generic cpufreq switch, whether boost is on.
  const std::string noTurbo = firstLine(cpuDir / "intel_pstate/no_turbo");
  const std::string boost = firstLine(cpuDir / "cpufreq/boost");
  state["turbo"] = noTurbo == "1"   ? "off"
                   : noTurbo == "0" ? "on"
                   : boost == "1"   ? "on"
                   : boost == "0"   ? "off"
                                    : "unknown";
  const std::string aslr = firstLine(root / "proc/sys/kernel/randomize_va_space");
  state["aslr"] = aslr.empty() ? "unknown" : aslr;
  std::string joined;
  for (const auto& core : coreSiblings(cpus, root)) joined += (joined.empty() ? "" : "; ") + core;
  state["smt_siblings"] = joined;
  return state;
}

} // namespace bench32
