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
  return s.wall > busyWallFactor * (s.user + s.system) + busyWallMargin;
}

std::string busyRunsNote(std::size_t busy, std::size_t runs) {
  if (busy == 0) return "";
  return fmt::format("{} of {} timed runs waited for a processor (wall time well above user + "
                     "system): the machine was busy",
                     busy, runs);
}

std::string failureLine(const UnitResult& u) {
  return fmt::format("FAILED {} {}/{}: {}", u.config, u.program, u.workload, u.failure);
}

std::size_t busyRuns(const UnitResult& unit) {
  return std::size_t(std::count_if(unit.samples.begin(), unit.samples.end(), busyRun));
}

namespace {
constexpr double waitSlack = 0.0005;
} // namespace

double waitedShare(const UnitResult& unit) {
  double wall = 0, waited = 0;
  for (const Sample& s : unit.samples) {
    wall += s.wall;
    // Less the scheduler's half millisecond of slack; the child's set-up before the
    // exec counts in its processor time but not its wall time, so a run that never
    // waited shows none.
    waited += std::max(0.0, s.wall - s.user - s.system - waitSlack);
  }
  return wall > 0 ? waited / wall : 0;
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

std::map<std::string, std::string>
thisMachine(const std::map<std::string, std::string>& environment) {
  const std::string kernel = valueOf(environment, "kernel");
  return {{"machine", kernel.substr(kernel.find_last_of(' ') + 1)},
          {"kernel", kernel},
          {"cpu", valueOf(environment, "cpu")},
          {"cores", valueOf(environment, "cores")},
          {"host", valueOf(environment, "host")}};
}

std::string ranOnNote(const Results& results) {
  const auto& target = results.ranOn;
  if (target.empty() || (valueOf(target, "remote").empty() &&
                         valueOf(target, "host") == valueOf(results.environment, "host")))
    return "";
  const std::string where = valueOf(target, "remote");
  return fmt::format("ran on {} ({}, {} cores, {}; {}), not on the build host {}",
                     where.empty() ? valueOf(target, "host") : where, valueOf(target, "cpu"),
                     valueOf(target, "cores"), valueOf(target, "machine"),
                     valueOf(target, "kernel"), valueOf(results.environment, "host"));
}

std::string revisionOf(const std::map<std::string, std::string>& environment) {
  const std::string label = valueOf(environment, "revision");
  return label.empty() ? valueOf(environment, "git_revision") : label;
}

} // namespace bench32
