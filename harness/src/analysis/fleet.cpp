#include "analysis/fleet.hpp"

#include <charconv>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "store/sessions.hpp"

namespace bench32 {

std::string Shard::text() const { return fmt::format("{}/{}", index, count); }

Shard parseShard(const std::string& text) {
  Shard shard;
  const auto slash = text.find('/');
  auto number = [&](std::string_view part, int& out) {
    const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), out);
    return error == std::errc() && end == part.data() + part.size() && !part.empty();
  };
  const std::string_view all(text);
  if (slash == std::string::npos || !number(all.substr(0, slash), shard.index) ||
      !number(all.substr(slash + 1), shard.count) || shard.count < 1 || shard.index < 1 ||
      shard.index > shard.count)
    throw BadInput(fmt::format("--shard {}: expected K/N with 1 <= K <= N, e.g. 2/4", text));
  return shard;
}

bool inShard(std::size_t position, const Shard& shard) {
  return position % std::size_t(shard.count) == std::size_t(shard.index - 1);
}

void keepShard(Results& results, const Shard& shard) {
  std::vector<UnitResult> kept;
  for (std::size_t i = 0; i < results.units.size(); ++i)
    if (inShard(i, shard)) kept.push_back(std::move(results.units[i]));
  results.units = std::move(kept);
  results.environment["shard"] = shard.text();
}

namespace {

// Each run keeps the session it came from: the session, not the run, is the unit of
// replication between sessions.
std::vector<Sample> tagged(std::vector<Sample> samples, int session) {
  for (auto& s : samples) s.session = session;
  return samples;
}

// Compile samples carry no session of their own: several sessions' are pooled.
void poolCompiles(UnitResult& into, const UnitResult& unit) {
  if (!unit.compile || !unit.compile->refused.empty()) return;
  if (!into.compile || !into.compile->refused.empty()) {
    into.compile = unit.compile;
    return;
  }
  for (auto field : {&CompileSamples::wall, &CompileSamples::cpu, &CompileSamples::rssKiB,
                     &CompileSamples::link})
    ((*into.compile).*field)
        .insert(((*into.compile).*field).end(), ((*unit.compile).*field).begin(),
                ((*unit.compile).*field).end());
}

// Another session's runs of a unit already merged: pooled, and a failure anywhere is the
// unit's failure.
void mergeUnit(UnitResult& into, const UnitResult& unit, int session) {
  const auto samples = tagged(unit.samples, session), warmup = tagged(unit.warmup, session);
  into.samples.insert(into.samples.end(), samples.begin(), samples.end());
  into.warmup.insert(into.warmup.end(), warmup.begin(), warmup.end());
  if (unit.status == Status::failed && into.status != Status::failed) {
    into.status = Status::failed;
    into.failure = unit.failure;
  } else if (unit.status == Status::ok && into.status == Status::notRun) {
    into.status = Status::ok;
  }
  if (into.binaryXxh3.empty()) into.binaryXxh3 = unit.binaryXxh3;
  if (into.inputXxh3.empty()) into.inputXxh3 = unit.inputXxh3;
  if (!into.textBytes) into.textBytes = unit.textBytes;
  if (!into.sections) into.sections = unit.sections;
  poolCompiles(into, unit);
}

} // namespace

Results mergeResults(const std::vector<Results>& sessions) {
  if (sessions.size() == 1) return sessions.front();
  Results merged;
  merged.complete = true;
  int index = 0;
  for (const Results& session : sessions) {
    if (merged.created.empty() || session.created < merged.created) {
      merged.created = session.created;
      merged.environment = session.environment;
      merged.runUnder = session.runUnder;
    }
    merged.complete = merged.complete && session.complete;
    for (const auto& config : session.configs)
      if (std::none_of(merged.configs.begin(), merged.configs.end(),
                       [&](auto& c) { return c.name == config.name; }))
        merged.configs.push_back(config);
    for (const auto& unit : session.units) {
      const auto into = std::find_if(merged.units.begin(), merged.units.end(), [&](auto& u) {
        return u.config == unit.config && u.program == unit.program && u.workload == unit.workload;
      });
      if (into != merged.units.end()) {
        mergeUnit(*into, unit, index);
        continue;
      }
      merged.units.push_back(unit);
      merged.units.back().samples = tagged(unit.samples, index);
      merged.units.back().warmup = tagged(unit.warmup, index);
    }
    ++index;
  }
  merged.environment.erase("shard");
  return merged;
}

std::string machineWarning(const std::vector<Results>& sessions, const std::string& what) {
  std::set<std::string> kinds;
  for (const auto& s : sessions) kinds.insert(store::machineKindOf(nlohmann::json(s.environment)));
  if (kinds.size() < 2) return {};
  return fmt::format("warning: the sessions of {} ran on different kinds of machine: {} "
                     "(--machine picks one)",
                     what, fmt::join(kinds, "; "));
}

} // namespace bench32
