#include "model/results.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace bench32 {

std::string statusName(Status status) {
  switch (status) {
  case Status::ok:
    return "ok";
  case Status::failed:
    return "failed";
  case Status::notRun:
    break;
  }
  return "not-run";
}

std::optional<Status> statusFromName(const std::string& name) {
  for (Status s : {Status::ok, Status::failed, Status::notRun})
    if (statusName(s) == name) return s;
  return std::nullopt;
}

const UnitResult* Results::find(const std::string& config, const std::string& program,
                                const std::string& workload) const {
  for (const auto& u : units)
    if (u.config == config && u.program == program && u.workload == workload) return &u;
  return nullptr;
}

bool busyRun(const Sample& s) {
  // A run that spent far longer on the clock than on a processor waited for one. The
  // margin covers the tick-based accounting of user and system time in short runs.
  return s.wall > 1.5 * (s.user + s.system) + 0.01;
}

std::size_t busyRuns(const UnitResult& unit) {
  return std::size_t(std::count_if(unit.samples.begin(), unit.samples.end(), busyRun));
}

namespace {

std::string valueOf(const std::map<std::string, std::string>& map, const std::string& key) {
  const auto it = map.find(key);
  return it == map.end() ? std::string() : it->second;
}

} // namespace

std::string machineKind(const std::map<std::string, std::string>& environment) {
  // The architecture is the kernel string's last word ("Linux 6.1.0 x86_64").
  const std::string kernel = valueOf(environment, "kernel");
  const std::string arch = kernel.substr(kernel.find_last_of(' ') + 1);
  return fmt::format("{}, {} cores, {}", valueOf(environment, "cpu"), valueOf(environment, "cores"),
                     arch);
}

std::string revisionOf(const std::map<std::string, std::string>& environment) {
  const std::string label = valueOf(environment, "revision");
  return label.empty() ? valueOf(environment, "git_revision") : label;
}

} // namespace bench32
