#include "model/results_file.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "model/metrics.hpp"

namespace bench32 {
namespace {

using nlohmann::json;

// Each per-run metric is a list of its own, in run order: "wall_s": [...], ...
json samplesJson(const std::vector<Sample>& samples) {
  json lists = json::object();
  for (const auto& m : metrics()) {
    if (!m.field) continue;
    json& list = lists[m.samplesKey] = json::array();
    for (const Sample& s : samples)
      list.push_back(m.integral ? json(std::llround(s.*m.field)) : json(s.*m.field));
  }
  if (std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.layout >= 0; })) {
    json& layouts = lists[layoutListKey] = json::array();
    json& padding = lists[paddingListKey] = json::array();
    for (const Sample& s : samples) {
      layouts.push_back(s.layout);
      padding.push_back(s.paddingBytes);
    }
  }
  if (std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.copy >= 0; })) {
    json& copies = lists[copyListKey] = json::array();
    json& starts = lists[startListKey] = json::array();
    json& ends = lists[endListKey] = json::array();
    for (const Sample& s : samples) {
      copies.push_back(s.copy);
      starts.push_back(s.start);
      ends.push_back(s.end);
    }
  }
  return lists;
}

// Which copy each run was, and when it started and ended: all three lists or none.
void copiesFrom(const json& doc, std::vector<Sample>& samples) {
  if (!doc.contains(copyListKey) && !doc.contains(startListKey) && !doc.contains(endListKey))
    return;
  const auto copies = doc.at(copyListKey).get<std::vector<int>>();
  const auto starts = doc.at(startListKey).get<std::vector<double>>();
  const auto ends = doc.at(endListKey).get<std::vector<double>>();
  if (copies.size() != samples.size() || starts.size() != samples.size() ||
      ends.size() != samples.size())
    throw BadInput("sample lists of different lengths");
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (copies[i] < 0 || !(starts[i] >= 0) || !(ends[i] >= starts[i]))
      throw BadInput("a negative copy, or a run that ends before it starts");
    samples[i].copy = copies[i];
    samples[i].start = starts[i];
    samples[i].end = ends[i];
  }
}

std::vector<Sample> samplesFrom(const json& doc) {
  std::vector<Sample> samples;
  bool first = true;
  for (const auto& m : metrics()) {
    if (!m.field) continue;
    const auto values = doc.at(m.samplesKey).get<std::vector<double>>();
    if (first) samples.resize(values.size());
    if (values.size() != samples.size()) throw BadInput("sample lists of different lengths");
    first = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!(values[i] >= 0)) throw BadInput("negative or missing sample");
      samples[i].*m.field = values[i];
    }
  }
  if (doc.contains(layoutListKey) || doc.contains(paddingListKey)) {
    const auto layouts = doc.at(layoutListKey).get<std::vector<int>>();
    const auto padding = doc.at(paddingListKey).get<std::vector<int>>();
    if (layouts.size() != samples.size() || padding.size() != samples.size())
      throw BadInput("sample lists of different lengths");
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (layouts[i] < 0 || padding[i] < 0) throw BadInput("negative layout or padding");
      samples[i].layout = layouts[i];
      samples[i].paddingBytes = padding[i];
    }
  }
  copiesFrom(doc, samples);
  return samples;
}

// A unit of copies run at once: "copies": N and "rate_per_s": [...], one per round.
void copiesJson(const UnitResult& u, json& unit) {
  if (u.copies <= 1 && u.rate.empty()) return;
  unit["copies"] = u.copies;
  unit[metricInfo(Metric::rate).samplesKey] = u.rate;
}

void unitCopiesFrom(const json& entry, UnitResult& u) {
  u.copies = entry.value("copies", 1);
  if (u.copies < 1) throw BadInput(fmt::format("{}/{}: copies below 1", u.program, u.workload));
  u.rate = entry.value(metricInfo(Metric::rate).samplesKey, std::vector<double>{});
  for (double r : u.rate)
    if (!(r > 0)) throw BadInput(fmt::format("{}/{}: a rate not above 0", u.program, u.workload));
}

json textBytesJson(const std::optional<std::uint64_t>& bytes) {
  return bytes ? json(*bytes) : json(nullptr);
}

std::optional<std::uint64_t> textBytesFrom(const json& doc) {
  if (!doc.contains("text_bytes") || doc.at("text_bytes").is_null()) return std::nullopt;
  return doc.at("text_bytes").get<std::uint64_t>();
}

// Absent in files written before section sizes were recorded.
std::optional<std::map<std::string, std::uint64_t>> sectionsFrom(const json& binary) {
  if (!binary.contains("sections") || binary.at("sections").is_null()) return std::nullopt;
  const json& sections = binary.at("sections");
  if (!sections.is_object()) throw BadInput("binary.sections is not an object");
  std::map<std::string, std::uint64_t> sizes;
  for (const auto& [name, bytes] : sections.items()) {
    if (!bytes.is_number_unsigned())
      throw BadInput(fmt::format("binary.sections: {} is not a size in bytes", name));
    sizes[name] = bytes.get<std::uint64_t>();
  }
  return sizes;
}

// "compile": {"translation_units": N, "wall_s": [...], "cpu_s": [...], "max_rss_kib":
// [...], "link_wall_s": [...]}, one value per round, or {"refused": "why"}.
json compileJson(const CompileSamples& c) {
  if (!c.refused.empty()) return {{"refused", c.refused}};
  json doc{{"translation_units", c.translationUnits}};
  for (const auto& m : metrics())
    if (m.compileField) {
      json& list = doc[m.samplesKey] = json::array();
      for (double v : c.*m.compileField)
        list.push_back(m.integral ? json(std::llround(v)) : json(v));
    }
  return doc;
}

CompileSamples compileFrom(const json& doc) {
  CompileSamples c;
  if (!doc.is_object()) throw BadInput("compile is not an object");
  c.refused = doc.value("refused", "");
  if (!c.refused.empty()) return c;
  c.translationUnits = doc.at("translation_units").get<int>();
  std::optional<std::size_t> rounds;
  for (const auto& m : metrics()) {
    if (!m.compileField) continue;
    auto& list = c.*m.compileField;
    list = doc.at(m.samplesKey).get<std::vector<double>>();
    if (rounds && list.size() != *rounds) throw BadInput("compile lists of different lengths");
    rounds = list.size();
    for (double v : list)
      if (!(v >= 0)) throw BadInput("negative or missing compile sample");
  }
  return c;
}

json profileGuidedJson(const ProfileGuided& pgo) {
  json profiles = json::array();
  for (const auto& p : pgo.profiles)
    profiles.push_back({{"program", p.program},
                        {"workload", p.workload},
                        {"input_xxh3", p.inputXxh3},
                        {"profile_xxh3", p.profileXxh3}});
  json doc{{"instrumented_build_dir", pgo.instrumentedDir},
           {"profile_dir", pgo.profileDir},
           {"profiles", profiles}};
  if (!pgo.mergeTool.empty()) doc["merge_tool"] = pgo.mergeTool;
  return doc;
}

ProfileGuided profileGuidedFrom(const json& doc) {
  if (!doc.is_object()) throw BadInput("configs[].pgo is not an object");
  ProfileGuided pgo;
  pgo.instrumentedDir = doc.value("instrumented_build_dir", "");
  pgo.profileDir = doc.value("profile_dir", "");
  pgo.mergeTool = doc.value("merge_tool", "");
  for (const json& p : doc.value("profiles", json::array()))
    pgo.profiles.push_back({p.at("program").get<std::string>(), p.value("workload", ""),
                            p.value("input_xxh3", ""), p.value("profile_xxh3", "")});
  return pgo;
}

// A verdict-driven session's plan; absent in other sessions.
DecidePlan decidePlanFrom(const json& d) {
  DecidePlan plan;
  plan.baseline = d.at("baseline").get<std::string>();
  plan.metric = d.at("metric").get<std::string>();
  plan.resolution = d.at("resolution").get<double>();
  plan.alpha = d.at("alpha").get<double>();
  plan.budgetSeconds = d.at("budget_s").get<double>();
  if (!(plan.resolution > 0 && plan.resolution < 1) || !(plan.alpha > 0 && plan.alpha < 1) ||
      !(plan.budgetSeconds > 0))
    throw BadInput("decide: a resolution or alpha outside 0 to 1, or a budget not above 0");
  return plan;
}

} // namespace

json toJson(const Results& r) {
  json configs = json::array();
  for (const auto& c : r.configs) {
    configs.push_back({{"name", c.name},
                       {"compiler", c.compiler},
                       {"compiler_version", c.compilerVersion},
                       {"flags", c.flags},
                       {"build_dir", c.buildDir}});
    if (!c.linker.empty()) configs.back()["linker"] = c.linker;
    if (c.pgo) configs.back()["pgo"] = profileGuidedJson(*c.pgo);
  }
  bool layouts = false, copies = false;
  json units = json::array();
  for (const auto& u : r.units) {
    json unit{{"config", u.config},
              {"program", u.program},
              {"workload", u.workload},
              {"status", statusName(u.status)},
              {"binary", {{"path", u.binary}, {"xxh3", u.binaryXxh3}}},
              {"warmup", samplesJson(u.warmup)},
              {"samples", samplesJson(u.samples)}};
    if (!u.failure.empty()) unit["failure"] = u.failure;
    if (!u.inputXxh3.empty()) unit["input_xxh3"] = u.inputXxh3;
    unit["binary"]["text_bytes"] = textBytesJson(u.textBytes);
    unit["binary"]["sections"] = u.sections ? json(*u.sections) : json(nullptr);
    if (!u.layouts.empty()) {
      layouts = true;
      json& list = unit["layouts"] = json::array();
      for (const auto& l : u.layouts)
        list.push_back(
            {{"path", l.path}, {"xxh3", l.xxh3}, {"text_bytes", textBytesJson(l.textBytes)}});
    }
    layouts = layouts || std::any_of(u.samples.begin(), u.samples.end(),
                                     [](const Sample& s) { return s.layout >= 0; });
    if (u.instructions)
      unit["instructions"] = {{"count", *u.instructions}, {"source", u.instructionsSource}};
    if (u.compile) unit["compile"] = compileJson(*u.compile);
    copiesJson(u, unit);
    copies = copies || unit.contains("copies");
    units.push_back(unit);
  }
  json doc = {{"schema", "bench32-results"},
              {"version", copies    ? 3
                          : layouts ? 2
                                    : 1},
              {"created", r.created},
              {"command", r.command},
              {"complete", r.complete},
              {"stop_reason", r.stopReason},
              {"environment", r.environment},
              {"settings", r.settings},
              {"run_under", r.runUnder},
              {"configs", configs},
              {"results", units}};
  if (!r.target.empty()) doc["target"] = r.target;
  if (r.decide)
    doc["decide"] = {{"baseline", r.decide->baseline},
                     {"metric", r.decide->metric},
                     {"resolution", r.decide->resolution},
                     {"alpha", r.decide->alpha},
                     {"budget_s", r.decide->budgetSeconds}};
  return doc;
}

Results resultsFromJson(const json& doc) {
  Results r;
  try {
    if (!doc.is_object() || doc.value("schema", "") != "bench32-results")
      throw BadInput("not a bench32 results file (no \"schema\": \"bench32-results\")");
    r.version = doc.at("version").get<int>();
    if (r.version < 1 || r.version > resultsVersion)
      throw BadInput(fmt::format("results version {} (this harness reads versions 1 to {})",
                                 r.version, resultsVersion));
    r.created = doc.value("created", "");
    r.command = doc.value("command", std::vector<std::string>{});
    r.complete = doc.value("complete", false);
    r.stopReason = doc.value("stop_reason", "");
    r.environment = doc.value("environment", std::map<std::string, std::string>{});
    r.settings = doc.value("settings", std::map<std::string, double>{});
    r.runUnder = doc.value("run_under", "");
    r.target = doc.value("target", std::map<std::string, std::string>{});
    if (doc.contains("decide")) r.decide = decidePlanFrom(doc.at("decide"));
    for (const json& c : doc.at("configs")) {
      r.configs.push_back({c.at("name").get<std::string>(), c.value("compiler", ""),
                           c.value("compiler_version", ""), c.value("flags", ""),
                           c.value("build_dir", ""), c.value("linker", "")});
      // Absent but for profile-guided configurations (and in files written before them).
      if (c.contains("pgo")) r.configs.back().pgo = profileGuidedFrom(c.at("pgo"));
    }
    for (const json& entry : doc.at("results")) {
      UnitResult u;
      u.config = entry.at("config").get<std::string>();
      u.program = entry.at("program").get<std::string>();
      u.workload = entry.at("workload").get<std::string>();
      const auto status = entry.at("status").get<std::string>();
      if (!statusFromName(status))
        throw BadInput(fmt::format("{}/{}: unknown status \"{}\"", u.program, u.workload, status));
      u.status = *statusFromName(status);
      u.failure = entry.value("failure", "");
      u.inputXxh3 = entry.value("input_xxh3", "");
      if (entry.contains("binary")) {
        const json& b = entry.at("binary");
        u.binary = b.value("path", "");
        u.binaryXxh3 = b.value("xxh3", "");
        u.textBytes = textBytesFrom(b);
        u.sections = sectionsFrom(b);
      }
      for (const json& l : entry.value("layouts", json::array()))
        u.layouts.push_back({l.value("path", ""), l.value("xxh3", ""), textBytesFrom(l)});
      if (entry.contains("warmup")) u.warmup = samplesFrom(entry.at("warmup"));
      u.samples = samplesFrom(entry.at("samples"));
      if (entry.contains("instructions")) {
        u.instructions = entry.at("instructions").at("count").get<std::uint64_t>();
        u.instructionsSource = entry.at("instructions").value("source", "");
      }
      if (entry.contains("compile")) u.compile = compileFrom(entry.at("compile"));
      unitCopiesFrom(entry, u);
      r.units.push_back(std::move(u));
    }
  } catch (const json::exception& e) {
    throw BadInput(e.what());
  }
  return r;
}

Results loadResults(const std::filesystem::path& file) {
  const std::string text = readFile(file);
  try {
    return resultsFromJson(json::parse(text));
  } catch (const json::exception& e) {
    throw BadInput(fmt::format("{}: not valid JSON: {}", file.string(), e.what()));
  } catch (const BadInput& e) {
    throw BadInput(fmt::format("{}: {}", file.string(), e.what()));
  }
}

void saveResults(const std::filesystem::path& file, const Results& results) {
  writeFile(file, toJson(results).dump(1, ' ', false, json::error_handler_t::replace) + "\n");
}

} // namespace bench32
