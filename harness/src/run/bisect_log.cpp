#include "run/bisect_log.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"

namespace bench32 {
namespace {

using nlohmann::json;

constexpr std::uint64_t maxLogBytes = std::uint64_t{64} << 20;

json requestJson(const BisectRequest& r) {
  return {{"repo", r.repo},
          {"good", r.good},
          {"bad", r.bad},
          {"build", r.buildCommand},
          {"compiler", r.compiler},
          {"flags", r.flags},
          {"programs", r.programs},
          {"workload", r.workload},
          {"metric", r.metric},
          {"resolution", r.resolution},
          {"budget_s", r.budgetSeconds},
          {"build_timeout_s", r.buildTimeoutSeconds}};
}

const json& member(const json& object, const char* key, std::string_view path) {
  if (!object.is_object()) throw BadInput(fmt::format("{}: not an object", path));
  const auto it = object.find(key);
  if (it == object.end()) throw BadInput(fmt::format("{}: missing", keyPath(path, key)));
  return *it;
}

std::string text(const json& object, const char* key, std::string_view path) {
  return stringAt(member(object, key, path), keyPath(path, key));
}

std::vector<std::string> texts(const json& object, const char* key, std::string_view path) {
  const json& list = member(object, key, path);
  const std::string at = keyPath(path, key);
  if (!list.is_array()) throw BadInput(fmt::format("{}: not a list", at));
  std::vector<std::string> out;
  for (std::size_t i = 0; i < list.size(); ++i) out.push_back(stringAt(list[i], indexPath(at, i)));
  return out;
}

std::map<std::string, double> numbers(const json& object, const char* key, std::string_view path) {
  const json& map = member(object, key, path);
  const std::string at = keyPath(path, key);
  if (!map.is_object()) throw BadInput(fmt::format("{}: not an object", at));
  std::map<std::string, double> out;
  for (const auto& [name, value] : map.items())
    out[name] = numberAt(value, keyPath(at, name), -1e300, 1e300);
  return out;
}

BisectRequest requestFrom(const json& r, std::string_view path) {
  BisectRequest q;
  q.repo = text(r, "repo", path);
  q.good = text(r, "good", path);
  q.bad = text(r, "bad", path);
  q.buildCommand = text(r, "build", path);
  q.compiler = text(r, "compiler", path);
  q.flags = text(r, "flags", path);
  q.programs = texts(r, "programs", path);
  q.workload = text(r, "workload", path);
  q.metric = text(r, "metric", path);
  q.resolution = numberAt(member(r, "resolution", path), keyPath(path, "resolution"), 1e-9, 1);
  q.budgetSeconds = numberAt(member(r, "budget_s", path), keyPath(path, "budget_s"), 1e-3, 1e9);
  q.buildTimeoutSeconds =
      numberAt(member(r, "build_timeout_s", path), keyPath(path, "build_timeout_s"), 1e-3, 1e9);
  return q;
}

} // namespace

std::vector<Outcome> outcomesOf(const BisectLog& log) {
  std::vector<Outcome> outcomes(log.commits.size(), Outcome::untested);
  if (outcomes.size() < 2) return outcomes;
  for (const auto& step : log.steps)
    if (step.index < outcomes.size()) outcomes[step.index] = step.outcome;
  outcomes.front() = Outcome::good;
  outcomes.back() = Outcome::bad;
  return outcomes;
}

std::string bisectLogText(const BisectLog& log) {
  json steps = json::array();
  for (const auto& s : log.steps) {
    json step{{"index", s.index},
              {"commit", log.commits.at(s.index)},
              {"outcome", outcomeName(s.outcome)},
              {"detail", s.detail},
              {"values", s.values},
              {"results", s.results}};
    if (s.session) step["session"] = *s.session;
    steps.push_back(std::move(step));
  }
  json ends{{"measured", log.endsMeasured},
            {"good_build", log.goodBuild},
            {"bad_build", log.badBuild},
            {"results", log.endsResults},
            {"good_values", log.goodValues},
            {"bad_values", log.badValues},
            {"moved", log.moved}};
  const json out{{"schema", "bench32-bisect"},
                 {"version", bisectLogVersion},
                 {"request", requestJson(log.request)},
                 {"commits", log.commits},
                 {"ends", ends},
                 {"steps", steps}};
  return out.dump(2) + "\n";
}

BisectLog parseBisectLog(std::string_view textIn, std::string_view what) {
  const json doc = parseStoredJson(textIn, what);
  const std::string top(what);
  if (!doc.is_object() || doc.value("schema", json()) != "bench32-bisect")
    throw BadInput(fmt::format("{}: not a bench32 bisect log", what));
  const auto version = integerAt(member(doc, "version", top), keyPath(top, "version"), 1, 1000);
  if (version > bisectLogVersion)
    throw BadInput(fmt::format("{}: a bisect log of version {}; this harness reads up to {}", what,
                               version, bisectLogVersion));
  BisectLog log;
  log.request = requestFrom(member(doc, "request", top), keyPath(top, "request"));
  log.commits = texts(doc, "commits", top);
  if (log.commits.size() < 2)
    throw BadInput(fmt::format("{}: fewer than two commits", keyPath(top, "commits")));
  const json& ends = member(doc, "ends", top);
  const std::string endsAt = keyPath(top, "ends");
  const json& measured = member(ends, "measured", endsAt);
  if (!measured.is_boolean())
    throw BadInput(fmt::format("{}: not true or false", keyPath(endsAt, "measured")));
  log.endsMeasured = measured.get<bool>();
  log.goodBuild = text(ends, "good_build", endsAt);
  log.badBuild = text(ends, "bad_build", endsAt);
  log.endsResults = text(ends, "results", endsAt);
  log.goodValues = numbers(ends, "good_values", endsAt);
  log.badValues = numbers(ends, "bad_values", endsAt);
  const json& moved = member(ends, "moved", endsAt);
  if (!moved.is_object())
    throw BadInput(fmt::format("{}: not an object", keyPath(endsAt, "moved")));
  for (const auto& [program, way] : moved.items())
    log.moved[program] = stringAt(way, keyPath(keyPath(endsAt, "moved"), program));
  const json& steps = member(doc, "steps", top);
  if (!steps.is_array()) throw BadInput(fmt::format("{}: not a list", keyPath(top, "steps")));
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::string at = indexPath(keyPath(top, "steps"), i);
    BisectStep s;
    s.index = std::size_t(integerAt(member(steps[i], "index", at), keyPath(at, "index"), 1,
                                    std::int64_t(log.commits.size()) - 2));
    if (text(steps[i], "commit", at) != log.commits[s.index])
      throw BadInput(fmt::format("{}: not the commit at index {}", keyPath(at, "commit"), s.index));
    const auto outcome = outcomeFromName(text(steps[i], "outcome", at));
    if (!outcome || *outcome == Outcome::untested)
      throw BadInput(fmt::format("{}: not an outcome", keyPath(at, "outcome")));
    s.outcome = *outcome;
    s.detail = text(steps[i], "detail", at);
    s.values = numbers(steps[i], "values", at);
    s.results = text(steps[i], "results", at);
    if (steps[i].contains("session"))
      s.session = integerAt(steps[i]["session"], keyPath(at, "session"), 0, INT64_MAX);
    log.steps.push_back(std::move(s));
  }
  return log;
}

BisectLog loadBisectLog(const std::filesystem::path& file) {
  return parseBisectLog(readStoredFile(file, maxLogBytes, true), file.string());
}

} // namespace bench32
