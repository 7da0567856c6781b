#include "model/results_file.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/stored_json.hpp"
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

constexpr double largest = std::numeric_limits<double>::max();
constexpr std::int64_t largestInt = std::numeric_limits<int>::max();

// One stored object, its members read with their paths for errors: "results[3].status".
class Fields {
public:
  Fields(const json& object, std::string path) : object_(object), path_(std::move(path)) {
    if (!object.is_object())
      throw BadInput(path_.empty() ? std::string("not a JSON object")
                                   : path_ + " must be an object");
  }
  bool has(const char* key) const { return object_.contains(key); }
  // Absent, or null where the format allows it.
  bool absent(const char* key) const { return !has(key) || object_.at(key).is_null(); }
  const json& at(const char* key) const {
    if (!has(key)) throw BadInput(fmt::format("{} is missing", path(key)));
    return object_.at(key);
  }
  std::string path(const char* key) const { return keyPath(path_, key); }
  const std::string& where() const { return path_; }

  // Free text (a failure, a stop reason): kept as one line.
  std::string text(const char* key) const {
    return has(key) ? escaped(stringAt(at(key), path(key))) : std::string();
  }
  // A name or a path, which identifies something: an escaped form would name something
  // else, so control characters are refused.
  std::string name(const char* key, bool required = false) const {
    if (!required && !has(key)) return {};
    const std::string& value = stringAt(at(key), path(key));
    if (escaped(value) != value)
      throw BadInput(
          fmt::format("{} holds control characters: \"{}\"", path(key), oneLine(value, 60)));
    return value;
  }
  bool flag(const char* key) const {
    if (!has(key)) return false;
    if (!at(key).is_boolean()) throw BadInput(fmt::format("{} must be true or false", path(key)));
    return at(key).get<bool>();
  }
  const json& array(const char* key) const {
    const json& list = at(key);
    if (!list.is_array()) throw BadInput(fmt::format("{} must be a list", path(key)));
    return list;
  }

  static std::string escaped(const std::string& text) { return oneLine(text, SIZE_MAX); }

private:
  const json& object_;
  std::string path_;
};

// Counts (peak RSS in KiB, ...) are written rounded to an integer: up to 2^53, where a
// double still holds every integer, so that rounding one back stays in range.
constexpr double largestCount = 9007199254740992.0;

std::vector<double> numbersAt(const Fields& f, const char* key, double lo, double hi = largest) {
  std::vector<double> values;
  const json& list = f.array(key);
  for (std::size_t i = 0; i < list.size(); ++i)
    values.push_back(numberAt(list[i], indexPath(f.path(key), i), lo, hi));
  return values;
}

std::vector<int> integersAt(const Fields& f, const char* key, std::size_t length) {
  std::vector<int> values;
  const json& list = f.array(key);
  if (list.size() != length)
    throw BadInput(fmt::format("{}: sample lists of different lengths", f.path(key)));
  for (std::size_t i = 0; i < list.size(); ++i)
    values.push_back(int(integerAt(list[i], indexPath(f.path(key), i), 0, largestInt)));
  return values;
}

// Which copy each run was, and when it started and ended: all three lists or none.
void copiesFrom(const Fields& f, std::vector<Sample>& samples) {
  if (!f.has(copyListKey) && !f.has(startListKey) && !f.has(endListKey)) return;
  const auto copies = integersAt(f, copyListKey, samples.size());
  const auto starts = numbersAt(f, startListKey, 0);
  const auto ends = numbersAt(f, endListKey, 0);
  if (starts.size() != samples.size() || ends.size() != samples.size())
    throw BadInput(fmt::format("{}: sample lists of different lengths", f.where()));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!(ends[i] >= starts[i]))
      throw BadInput(fmt::format("{}: run {} ends before it starts", f.where(), i));
    samples[i].copy = copies[i];
    samples[i].start = starts[i];
    samples[i].end = ends[i];
  }
}

std::vector<Sample> samplesFrom(const json& doc, const std::string& path) {
  const Fields f(doc, path);
  std::vector<Sample> samples;
  bool first = true;
  for (const auto& m : metrics()) {
    if (!m.field) continue;
    const auto values = numbersAt(f, m.samplesKey, 0, m.integral ? largestCount : largest);
    if (first) samples.resize(values.size());
    if (values.size() != samples.size())
      throw BadInput(fmt::format("{}: sample lists of different lengths", path));
    first = false;
    for (std::size_t i = 0; i < values.size(); ++i) samples[i].*m.field = values[i];
  }
  if (f.has(layoutListKey) || f.has(paddingListKey)) {
    const auto layouts = integersAt(f, layoutListKey, samples.size());
    const auto padding = integersAt(f, paddingListKey, samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      samples[i].layout = layouts[i];
      samples[i].paddingBytes = padding[i];
    }
  }
  copiesFrom(f, samples);
  return samples;
}

// A unit of copies run at once: "copies": N and "rate_per_s": [...], one per round.
void copiesJson(const UnitResult& u, json& unit) {
  if (u.copies <= 1 && u.rate.empty()) return;
  unit["copies"] = u.copies;
  unit[metricInfo(Metric::rate).samplesKey] = u.rate;
}

void unitCopiesFrom(const Fields& f, UnitResult& u) {
  u.copies = f.has("copies") ? int(integerAt(f.at("copies"), f.path("copies"), 1, largestInt)) : 1;
  const char* rateKey = metricInfo(Metric::rate).samplesKey;
  if (!f.has(rateKey)) return;
  u.rate = numbersAt(f, rateKey, 0);
  for (double r : u.rate)
    if (!(r > 0)) throw BadInput(fmt::format("{}: a rate not above 0", f.path(rateKey)));
}

json textBytesJson(const std::optional<std::uint64_t>& bytes) {
  return bytes ? json(*bytes) : json(nullptr);
}

std::optional<std::uint64_t> textBytesFrom(const Fields& f) {
  if (f.absent("text_bytes")) return std::nullopt;
  return unsignedAt(f.at("text_bytes"), f.path("text_bytes"), 0, UINT64_MAX);
}

// Absent in files written before section sizes were recorded.
std::optional<std::map<std::string, std::uint64_t>> sectionsFrom(const Fields& binary) {
  if (binary.absent("sections")) return std::nullopt;
  const json& sections = binary.at("sections");
  if (!sections.is_object())
    throw BadInput(fmt::format("{} must be an object", binary.path("sections")));
  std::map<std::string, std::uint64_t> sizes;
  for (const auto& [name, bytes] : sections.items())
    sizes[name] = unsignedAt(bytes, keyPath(binary.path("sections"), name), 0, UINT64_MAX);
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

CompileSamples compileFrom(const json& doc, const std::string& path) {
  const Fields f(doc, path);
  CompileSamples c;
  c.refused = f.text("refused");
  if (!c.refused.empty()) return c;
  c.translationUnits =
      int(integerAt(f.at("translation_units"), f.path("translation_units"), 0, largestInt));
  std::optional<std::size_t> rounds;
  for (const auto& m : metrics()) {
    if (!m.compileField) continue;
    auto& list = c.*m.compileField;
    list = numbersAt(f, m.samplesKey, 0, m.integral ? largestCount : largest);
    if (rounds && list.size() != *rounds)
      throw BadInput(fmt::format("{}: compile lists of different lengths", path));
    rounds = list.size();
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

ProfileGuided profileGuidedFrom(const json& doc, const std::string& path) {
  const Fields f(doc, path);
  ProfileGuided pgo;
  pgo.instrumentedDir = f.name("instrumented_build_dir");
  pgo.profileDir = f.name("profile_dir");
  pgo.mergeTool = f.text("merge_tool");
  if (!f.has("profiles")) return pgo;
  const json& profiles = f.array("profiles");
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    const Fields p(profiles[i], indexPath(f.path("profiles"), i));
    pgo.profiles.push_back({p.name("program", true), p.name("workload"), p.name("input_xxh3"),
                            p.name("profile_xxh3")});
  }
  return pgo;
}

template <typename T, typename Read>
std::map<std::string, T> mapFrom(const Fields& f, const char* key, Read read) {
  std::map<std::string, T> values;
  if (!f.has(key)) return values;
  const Fields members(f.at(key), f.path(key));
  for (const auto& [name, value] : f.at(key).items())
    values[Fields::escaped(name)] = read(value, keyPath(f.path(key), name));
  return values;
}

UnitResult unitFrom(const json& entry, const std::string& path) {
  const Fields f(entry, path);
  UnitResult u;
  u.config = f.name("config", true);
  u.program = f.name("program", true);
  u.workload = f.name("workload", true);
  const std::string& status = stringAt(f.at("status"), f.path("status"));
  if (!statusFromName(status))
    throw BadInput(fmt::format("{}: unknown status \"{}\"", f.path("status"), oneLine(status, 60)));
  u.status = *statusFromName(status);
  u.failure = f.text("failure");
  u.inputXxh3 = f.name("input_xxh3");
  if (f.has("binary")) {
    const Fields b(f.at("binary"), f.path("binary"));
    u.binary = b.name("path");
    u.binaryXxh3 = b.name("xxh3");
    u.textBytes = textBytesFrom(b);
    u.sections = sectionsFrom(b);
  }
  if (f.has("layouts")) {
    const json& layouts = f.array("layouts");
    for (std::size_t i = 0; i < layouts.size(); ++i) {
      const Fields l(layouts[i], indexPath(f.path("layouts"), i));
      u.layouts.push_back({l.name("path"), l.name("xxh3"), textBytesFrom(l)});
    }
  }
  if (f.has("warmup")) u.warmup = samplesFrom(f.at("warmup"), f.path("warmup"));
  u.samples = samplesFrom(f.at("samples"), f.path("samples"));
  if (f.has("instructions")) {
    const Fields i(f.at("instructions"), f.path("instructions"));
    u.instructions = unsignedAt(i.at("count"), i.path("count"), 0, UINT64_MAX);
    u.instructionsSource = i.text("source");
  }
  if (f.has("compile")) u.compile = compileFrom(f.at("compile"), f.path("compile"));
  unitCopiesFrom(f, u);
  return u;
}

// A verdict-driven session's plan; absent in other sessions.
DecidePlan decidePlanFrom(const json& doc, const std::string& path) {
  const Fields d(doc, path);
  DecidePlan plan;
  plan.baseline = d.name("baseline", true);
  plan.metric = d.name("metric", true);
  plan.resolution = numberAt(d.at("resolution"), d.path("resolution"), 1e-6, 0.999);
  plan.alpha = numberAt(d.at("alpha"), d.path("alpha"), 1e-9, 0.5);
  plan.budgetSeconds = numberAt(d.at("budget_s"), d.path("budget_s"), 1e-3, 1e9);
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
  if (!r.ranOn.empty()) doc["target"] = r.ranOn;
  if (!r.anchor.empty()) doc["anchor"] = r.anchor;
  if (r.decide)
    doc["decide"] = {{"baseline", r.decide->baseline},
                     {"metric", r.decide->metric},
                     {"resolution", r.decide->resolution},
                     {"alpha", r.decide->alpha},
                     {"budget_s", r.decide->budgetSeconds}};
  return doc;
}

Results resultsFromJson(const json& doc) {
  if (!doc.is_object() || !doc.contains("schema") || doc.at("schema") != "bench32-results")
    throw BadInput("not a bench32 results file (no \"schema\": \"bench32-results\")");
  const Fields f(doc, "");
  Results r;
  const std::int64_t version = integerAt(f.at("version"), "version", INT64_MIN, INT64_MAX);
  if (version < 1 || version > resultsVersion)
    throw BadInput(fmt::format("results version {} (this harness reads versions 1 to {})", version,
                               resultsVersion));
  r.version = int(version);
  r.created = f.text("created");
  if (f.has("command")) {
    const json& command = f.array("command");
    for (std::size_t i = 0; i < command.size(); ++i)
      r.command.push_back(Fields::escaped(stringAt(command[i], indexPath("command", i))));
  }
  r.complete = f.flag("complete");
  r.stopReason = f.text("stop_reason");
  const auto text = [](const json& v, const std::string& p) {
    return Fields::escaped(stringAt(v, p));
  };
  r.environment = mapFrom<std::string>(f, "environment", text);
  r.settings = mapFrom<double>(f, "settings", [](const json& v, const std::string& p) {
    return numberAt(v, p, -largest, largest);
  });
  r.runUnder = f.text("run_under");
  r.ranOn = mapFrom<std::string>(f, "target", text);
  if (f.has("decide")) r.decide = decidePlanFrom(f.at("decide"), f.path("decide"));

  const json& configs = f.array("configs");
  std::set<std::string> configNames;
  for (std::size_t i = 0; i < configs.size(); ++i) {
    const Fields c(configs[i], indexPath("configs", i));
    r.configs.push_back({c.name("name", true), c.text("compiler"), c.text("compiler_version"),
                         c.text("flags"), c.name("build_dir"), c.text("linker")});
    // Two of one name would be compared with each other as if they were one.
    if (!configNames.insert(r.configs.back().name).second)
      throw BadInput(fmt::format("{}: a second configuration named \"{}\"", c.path("name"),
                                 r.configs.back().name));
    // Absent but for profile-guided configurations (and in files written before them).
    if (c.has("pgo")) r.configs.back().pgo = profileGuidedFrom(c.at("pgo"), c.path("pgo"));
  }
  r.anchor = f.name("anchor");
  // An anchor that is not among the configurations would leave every ratio undefined.
  if (!r.anchor.empty() && !configNames.count(r.anchor))
    throw BadInput(fmt::format("anchor: configuration \"{}\" is not in configs", r.anchor));

  const json& results = f.array("results");
  std::set<std::tuple<std::string, std::string, std::string>> units;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::string path = indexPath("results", i);
    UnitResult u = unitFrom(results[i], path);
    if (!configNames.count(u.config))
      throw BadInput(fmt::format("{}: configuration \"{}\" is not in configs", path, u.config));
    // Two entries for one unit would both be counted, or one would hide the other.
    if (!units.emplace(u.config, u.program, u.workload).second)
      throw BadInput(
          fmt::format("{}: a second result for {} {}/{}", path, u.config, u.program, u.workload));
    r.units.push_back(std::move(u));
  }
  return r;
}

json loadResultsDocument(const std::filesystem::path& file) {
  json doc = parseStoredJson(readFile(file), file.string());
  try {
    resultsFromJson(doc);
  } catch (const BadInput& e) {
    throw BadInput(fmt::format("{}: {}", file.string(), e.what()));
  }
  return doc;
}

Results loadResults(const std::filesystem::path& file) {
  const json doc = parseStoredJson(readFile(file), file.string());
  try {
    return resultsFromJson(doc);
  } catch (const BadInput& e) {
    throw BadInput(fmt::format("{}: {}", file.string(), e.what()));
  }
}

void saveResults(const std::filesystem::path& file, const Results& results) {
  writeFile(file, toJson(results).dump(1, ' ', false, json::error_handler_t::replace) + "\n");
}

} // namespace bench32
