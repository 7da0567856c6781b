#include "store/sessions.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "model/metrics.hpp"
#include "model/results_file.hpp"

namespace bench32::store {
namespace {

using nlohmann::json;

// A field moves into its column only when the column holds it exactly; anything else
// stays in the JSON kept beside the row, so nothing is lost or changed either way.
bool isText(const json& v) {
  // A C string ends at a NUL: such text keeps its escapes in the JSON instead.
  return v.is_string() && v.get_ref<const std::string&>().find('\0') == std::string::npos;
}
bool isInteger(const json& v) {
  return v.is_number_integer() &&
         (!v.is_number_unsigned() || v.get<std::uint64_t>() <= std::uint64_t(INT64_MAX));
}
bool isDouble(const json& v) {
  // Integers beyond 2^53 would not survive the trip through a double.
  return v.is_number_float() || (isInteger(v) && std::llabs(v.get<std::int64_t>()) <= (1LL << 53));
}

Value take(json& object, const char* key, bool (*fits)(const json&),
           Value (*convert)(const json&)) {
  const auto it = object.find(key);
  if (it == object.end() || !fits(*it)) return {};
  Value value = convert(*it);
  object.erase(it);
  return value;
}

Value takeText(json& object, const char* key) {
  return take(object, key, isText, [](const json& v) { return Value(v.get<std::string>()); });
}

Value takeInteger(json& object, const char* key) {
  return take(object, key, isInteger, [](const json& v) { return Value(v.get<std::int64_t>()); });
}

Value takeBool(json& object, const char* key) {
  return take(
      object, key, [](const json& v) { return v.is_boolean(); },
      [](const json& v) { return Value(std::int64_t(v.get<bool>() ? 1 : 0)); });
}

// Any JSON value, as its text.
Value takeJson(json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return {};
  Value value = it->dump();
  object.erase(it);
  return value;
}

std::string dumped(const json& doc) {
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

void putText(json& object, const char* key, const Field& field) {
  if (field) object[key] = *field;
}
void putInteger(json& object, const char* key, const Field& field) {
  if (field) object[key] = asInt(field);
}
void putBool(json& object, const char* key, const Field& field) {
  if (field) object[key] = asInt(field) != 0;
}
void putJson(json& object, const char* key, const Field& field) {
  if (field) object[key] = json::parse(*field);
}

// Per-run values with a column of their own: the measured metrics, the layout variant
// and padding of layout-randomised runs, and the copy, start and end of copies run at
// once.
struct SampleColumn {
  std::string key;    // the list's name in the results file
  std::string column; // the column in samples
  bool integer;       // stored as an integer; otherwise any number, as a double
  bool integral;      // written back without a fraction when it has none
};

const std::vector<SampleColumn>& sampleColumns() {
  static const std::vector<SampleColumn> columns = [] {
    std::vector<SampleColumn> all;
    for (const auto& m : metrics())
      if (m.field) all.push_back({m.samplesKey, m.samplesKey, false, m.integral});
    all.push_back({layoutListKey, "layout", true, true});
    all.push_back({paddingListKey, "padding", true, true});
    all.push_back({copyListKey, "copy_index", true, true});
    all.push_back({startListKey, "start_s", false, false});
    all.push_back({endListKey, "end_s", false, false});
    return all;
  }();
  return columns;
}

struct SampleRow {
  std::vector<Value> columns; // one per sampleColumns()
  Value extra;
};

// A samples object ("samples" or "warmup") as rows, when it is parallel lists; the
// object left behind keeps each list's name, empty, so the lists come back in place.
// Anything of another shape stays whole in the unit's JSON.
std::vector<SampleRow> takeSamples(json& unit, const char* key) {
  const auto it = unit.find(key);
  if (it == unit.end() || !it->is_object() || it->empty()) return {};
  json& lists = *it;
  std::size_t count = 0;
  bool first = true;
  for (const auto& [name, list] : lists.items()) {
    if (!list.is_array() || (!first && list.size() != count)) return {};
    count = list.size();
    first = false;
  }
  std::vector<SampleRow> rows(count);
  for (auto& row : rows) row.columns.resize(sampleColumns().size());
  std::vector<json> extras(count, json::object());
  for (auto& [name, list] : lists.items()) {
    std::size_t column = 0;
    while (column < sampleColumns().size() && sampleColumns()[column].key != name) ++column;
    const bool fits = column < sampleColumns().size() &&
                      std::all_of(list.begin(), list.end(), [&](const json& v) {
                        return sampleColumns()[column].integer ? isInteger(v) : isDouble(v);
                      });
    for (std::size_t i = 0; i < count; ++i) {
      if (!fits)
        extras[i][name] = list[i];
      else if (sampleColumns()[column].integer)
        rows[i].columns[column] = list[i].get<std::int64_t>();
      else
        rows[i].columns[column] = list[i].get<double>();
    }
    list = json::array();
  }
  for (std::size_t i = 0; i < count; ++i)
    if (!extras[i].empty()) rows[i].extra = dumped(extras[i]);
  return rows;
}

struct UnitRows {
  std::vector<Value> columns; // in unitColumns order
  std::vector<SampleRow> warmup, timed;
};

const Columns unitColumns{"config",
                          "program",
                          "workload",
                          "status",
                          "failure",
                          "input_xxh3",
                          "binary_path",
                          "binary_xxh3",
                          "text_bytes",
                          "instructions",
                          "instructions_source",
                          "copies",
                          "rate_per_s",
                          "extra"};

UnitRows takeUnit(json unit) {
  UnitRows rows;
  rows.warmup = takeSamples(unit, "warmup");
  rows.timed = takeSamples(unit, "samples");
  Value path, xxh3, textBytes, count, source;
  if (auto b = unit.find("binary"); b != unit.end() && b->is_object() && !b->empty()) {
    path = takeText(*b, "path");
    xxh3 = takeText(*b, "xxh3");
    textBytes = takeInteger(*b, "text_bytes");
    if (b->empty()) unit.erase(b);
  }
  if (auto i = unit.find("instructions"); i != unit.end() && i->is_object() && !i->empty()) {
    count = takeInteger(*i, "count");
    source = takeText(*i, "source");
    if (i->empty()) unit.erase(i);
  }
  // The four that a results file must have are checked by its reader before import.
  Value config = takeText(unit, "config"), program = takeText(unit, "program"),
        workload = takeText(unit, "workload"), status = takeText(unit, "status");
  Value failure = takeText(unit, "failure"), input = takeText(unit, "input_xxh3");
  Value copies = takeInteger(unit, "copies"), rates = takeJson(unit, "rate_per_s");
  rows.columns = unitColumns.values({{"config", config},
                                     {"program", program},
                                     {"workload", workload},
                                     {"status", status},
                                     {"failure", failure},
                                     {"input_xxh3", input},
                                     {"binary_path", path},
                                     {"binary_xxh3", xxh3},
                                     {"text_bytes", textBytes},
                                     {"instructions", count},
                                     {"instructions_source", source},
                                     {"copies", copies},
                                     {"rate_per_s", rates},
                                     {"extra", dumped(unit)}});
  return rows;
}

json unitFromRow(const Row& row, std::size_t first) {
  auto field = [&](std::string_view name) -> const Field& {
    return unitColumns.of(row, name, first);
  };
  json unit = json::parse(asText(field("extra")));
  putText(unit, "config", field("config"));
  putText(unit, "program", field("program"));
  putText(unit, "workload", field("workload"));
  putText(unit, "status", field("status"));
  putText(unit, "failure", field("failure"));
  putText(unit, "input_xxh3", field("input_xxh3"));
  putInteger(unit, "copies", field("copies"));
  putJson(unit, "rate_per_s", field("rate_per_s"));
  if (field("binary_path") || field("binary_xxh3") || field("text_bytes")) {
    json& binary = unit["binary"];
    putText(binary, "path", field("binary_path"));
    putText(binary, "xxh3", field("binary_xxh3"));
    putInteger(binary, "text_bytes", field("text_bytes"));
  }
  if (field("instructions") || field("instructions_source")) {
    json& instructions = unit["instructions"];
    putInteger(instructions, "count", field("instructions"));
    putText(instructions, "source", field("instructions_source"));
  }
  return unit;
}

struct SessionRows {
  std::vector<Value> columns; // in sessionColumns order
  std::vector<std::vector<Value>> configs;
  std::vector<UnitRows> units;
};

const Columns sessionColumns{"created",  "revision",    "machine",         "host",    "shard",
                             "complete", "stop_reason", "results_version", "command", "environment",
                             "settings", "run_under",   "target",          "extra"};

const Columns configColumns{"name", "compiler", "compiler_version", "flags", "build_dir", "extra"};

std::string environmentText(const json& environment, const char* key) {
  const auto it = environment.find(key);
  return it != environment.end() && it->is_string() ? it->get<std::string>() : std::string();
}

SessionRows takeSession(json doc) {
  if (!doc.is_object()) throw BadInput("a results document must be a JSON object");
  SessionRows rows;
  const json environment = doc.value("environment", json::object());
  if (auto configs = doc.find("configs"); configs != doc.end() && configs->is_array()) {
    for (json config : *configs) {
      if (!config.is_object()) throw BadInput("a configuration must be a JSON object");
      Value name = takeText(config, "name"), compiler = takeText(config, "compiler"),
            version = takeText(config, "compiler_version"), flags = takeText(config, "flags"),
            dir = takeText(config, "build_dir");
      rows.configs.push_back(configColumns.values({{"name", name},
                                                   {"compiler", compiler},
                                                   {"compiler_version", version},
                                                   {"flags", flags},
                                                   {"build_dir", dir},
                                                   {"extra", dumped(config)}}));
    }
    doc.erase(configs);
  }
  if (auto units = doc.find("results"); units != doc.end() && units->is_array()) {
    for (const json& unit : *units) {
      if (!unit.is_object()) throw BadInput("a result must be a JSON object");
      rows.units.push_back(takeUnit(unit));
    }
    doc.erase(units);
  }
  Value created = takeText(doc, "created"), complete = takeBool(doc, "complete"),
        stop = takeText(doc, "stop_reason"), version = takeInteger(doc, "version"),
        command = takeJson(doc, "command"), env = takeJson(doc, "environment"),
        settings = takeJson(doc, "settings"), runUnder = takeText(doc, "run_under"),
        target = takeJson(doc, "target");
  rows.columns = sessionColumns.values({{"created", created},
                                        {"revision", revisionOf(environment)},
                                        {"machine", machineKindOf(environment)},
                                        {"host", environmentText(environment, "host")},
                                        {"shard", environmentText(environment, "shard")},
                                        {"complete", complete},
                                        {"stop_reason", stop},
                                        {"results_version", version},
                                        {"command", command},
                                        {"environment", env},
                                        {"settings", settings},
                                        {"run_under", runUnder},
                                        {"target", target},
                                        {"extra", dumped(doc)}});
  return rows;
}

std::string placeholders(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += i ? ", ?" : "?";
  return text;
}

std::string sampleColumnList() {
  std::string text = "unit_id, timed, position";
  for (const auto& c : sampleColumns()) text += ", " + c.column;
  return text + ", extra";
}

} // namespace

namespace {

// The environment's text values, as the results model holds them.
std::map<std::string, std::string> textValues(const json& environment) {
  std::map<std::string, std::string> values;
  for (const auto& [key, value] : environment.items())
    if (value.is_string()) values[key] = value.get<std::string>();
  return values;
}

} // namespace

std::string revisionOf(const json& environment) {
  return environment.is_object() ? bench32::revisionOf(textValues(environment)) : std::string();
}

std::string machineKindOf(const json& environment) {
  return environment.is_object() ? machineKind(textValues(environment)) : std::string();
}

namespace {

// The session's row: inserted on the first checkpoint, updated on each after it.
// Returns the session's id.
std::int64_t writeSessionRow(Database& db, std::int64_t id, const std::vector<Value>& columns) {
  if (id == 0)
    return asInt(db.query(fmt::format("INSERT INTO sessions ({}) VALUES ({}) RETURNING id",
                                      sessionColumns.list(), sessionColumns.placeholders()),
                          columns)
                     .at(0)
                     .at(0));
  auto values = columns;
  values.emplace_back(id);
  db.query(fmt::format("UPDATE sessions SET {} WHERE id = ?", sessionColumns.assignments()),
           values);
  return id;
}

// Configurations are few and are added as each one is built: those from `from` on.
void insertConfigs(Database& db, std::int64_t session,
                   const std::vector<std::vector<Value>>& configs, std::size_t from) {
  for (std::size_t i = from; i < configs.size(); ++i) {
    std::vector<Value> values{session, std::int64_t(i)};
    values.insert(values.end(), configs[i].begin(), configs[i].end());
    db.query(fmt::format("INSERT INTO configurations (session_id, position, {}) VALUES (?, ?, {})",
                         configColumns.list(), configColumns.placeholders()),
             values);
  }
}

// The unit's warm-up and timed runs not yet written; `written` counts each kind's rows.
void insertNewSamples(Database& db, std::int64_t unitId, const UnitRows& unit,
                      std::map<bool, std::size_t>& written) {
  const std::string insertSample =
      fmt::format("INSERT INTO samples ({}) VALUES ({})", sampleColumnList(),
                  placeholders(sampleColumns().size() + 4));
  for (const bool timed : {false, true}) {
    const auto& samples = timed ? unit.timed : unit.warmup;
    std::size_t& count = written[timed];
    for (; count < samples.size(); ++count) {
      std::vector<Value> values{unitId, std::int64_t(timed), std::int64_t(count)};
      values.insert(values.end(), samples[count].columns.begin(), samples[count].columns.end());
      values.push_back(samples[count].extra);
      db.query(insertSample, values);
    }
  }
}

// What the writer has stored so far: the units' ids and, per unit, each kind's sample rows.
struct WrittenUnits {
  std::vector<std::int64_t> ids;
  std::vector<std::map<bool, std::size_t>> samples;
};

// Units already written are updated in place (their status and failure change as they
// run); new ones are inserted. Either way only their new samples are added.
void writeUnits(Database& db, std::int64_t session, const std::vector<UnitRows>& units,
                WrittenUnits& written) {
  const std::string insertUnit =
      fmt::format("INSERT INTO units (session_id, position, {}) VALUES (?, ?, {}) RETURNING id",
                  unitColumns.list(), unitColumns.placeholders());
  const std::string updateUnit =
      fmt::format("UPDATE units SET {} WHERE id = ?", unitColumns.assignments());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const UnitRows& unit = units[i];
    if (i < written.ids.size()) {
      auto values = unit.columns;
      values.emplace_back(written.ids[i]);
      db.query(updateUnit, values);
    } else {
      std::vector<Value> values{session, std::int64_t(i)};
      values.insert(values.end(), unit.columns.begin(), unit.columns.end());
      written.ids.push_back(asInt(db.query(insertUnit, values).at(0).at(0)));
      written.samples.emplace_back();
    }
    insertNewSamples(db, written.ids[i], unit, written.samples[i]);
  }
}

} // namespace

void SessionWriter::checkpoint(const json& document) {
  const SessionRows rows = takeSession(document);
  Transaction transaction(db_);
  const std::int64_t id = writeSessionRow(db_, id_, rows.columns);
  insertConfigs(db_, id, rows.configs, configsWritten_);
  WrittenUnits units{unitIds_, samplesWritten_};
  writeUnits(db_, id, rows.units, units);
  transaction.commit();
  // Only what is committed counts as written: after a failed checkpoint the next one
  // writes everything again, the session's row included.
  id_ = id;
  configsWritten_ = rows.configs.size();
  unitIds_ = std::move(units.ids);
  samplesWritten_ = std::move(units.samples);
}

std::vector<SessionInfo> listSessions(Database& db) {
  std::vector<SessionInfo> sessions;
  static const Columns columns{"id", "created", "revision", "machine", "host", "shard", "complete"};
  for (const auto& row :
       db.query(fmt::format("SELECT {} FROM sessions ORDER BY id", columns.list()))) {
    auto field = [&](std::string_view name) -> const Field& { return columns.of(row, name); };
    sessions.push_back({asInt(field("id")), asText(field("created")), asText(field("revision")),
                        asText(field("machine")), asText(field("host")), asText(field("shard")),
                        asInt(field("complete")) != 0});
  }
  return sessions;
}

std::optional<std::int64_t> findSession(Database& db, const json& document) {
  const auto created = document.find("created"), command = document.find("command");
  if (created == document.end() || !created->is_string() || command == document.end())
    return std::nullopt;
  for (const auto& row : db.query("SELECT id FROM sessions WHERE created = ? AND command = ?",
                                  {created->get<std::string>(), command->dump()}))
    if (loadSessionJson(db, asInt(row[0])) == document) return asInt(row[0]);
  return std::nullopt;
}

namespace {

// The session's own fields, over the JSON kept beside its row.
json sessionFields(Database& db, std::int64_t id) {
  const auto sessions =
      db.query(fmt::format("SELECT {} FROM sessions WHERE id = ?", sessionColumns.list()),
               {std::int64_t(id)});
  if (sessions.empty()) throw BadInput(fmt::format("no session {} in the database", id));
  auto field = [&](std::string_view name) -> const Field& {
    return sessionColumns.of(sessions[0], name);
  };
  json doc = json::parse(asText(field("extra")));
  putText(doc, "created", field("created"));
  putBool(doc, "complete", field("complete"));
  putText(doc, "stop_reason", field("stop_reason"));
  putInteger(doc, "version", field("results_version"));
  putJson(doc, "command", field("command"));
  putJson(doc, "environment", field("environment"));
  putJson(doc, "settings", field("settings"));
  putText(doc, "run_under", field("run_under"));
  putJson(doc, "target", field("target"));
  return doc;
}

// The configurations, in order. A document that kept its list whole (one of another
// shape) keeps it when the session has no configuration rows.
void loadConfigs(Database& db, std::int64_t id, json& doc) {
  const auto configs =
      db.query(fmt::format("SELECT {} FROM configurations WHERE session_id = ? ORDER BY position",
                           configColumns.list()),
               {id});
  if (configs.empty() && doc.contains("configs")) return;
  json& list = doc["configs"] = json::array();
  for (const auto& row : configs) {
    auto field = [&](std::string_view name) -> const Field& { return configColumns.of(row, name); };
    json config = json::parse(asText(field("extra")));
    putText(config, "name", field("name"));
    putText(config, "compiler", field("compiler"));
    putText(config, "compiler_version", field("compiler_version"));
    putText(config, "flags", field("flags"));
    putText(config, "build_dir", field("build_dir"));
    list.push_back(std::move(config));
  }
}

// One run's value of a samples list: from its column, as the results file wrote it
// (integers without a fraction), or from the JSON kept beside the row.
json sampleValue(const Row& row, const std::string& name, const json& extra) {
  std::size_t c = 0;
  while (c < sampleColumns().size() && sampleColumns()[c].key != name) ++c;
  // The row is unit_id, timed, then the sample columns.
  const std::size_t at = 2 + c;
  if (c == sampleColumns().size() || !row[at]) return extra.value(name, json());
  if (sampleColumns()[c].integer) return asInt(row[at]);
  const double value = asDouble(row[at]);
  if (sampleColumns()[c].integral && value == std::floor(value) && std::fabs(value) < 9e15)
    return std::int64_t(value);
  return value;
}

// The units, in order, each with its warm-up and timed runs appended to the lists that
// its JSON kept by name.
void loadUnits(Database& db, std::int64_t id, json& doc) {
  const auto unitRows =
      db.query(fmt::format("SELECT id, {} FROM units WHERE session_id = ? ORDER BY position",
                           unitColumns.list()),
               {id});
  std::map<std::int64_t, std::size_t> unitIndex;
  json& units = doc["results"] = json::array();
  for (const auto& row : unitRows) {
    unitIndex[asInt(row[0])] = units.size();
    units.push_back(unitFromRow(row, 1));
  }
  std::string columns;
  for (const auto& c : sampleColumns()) columns += ", s." + c.column;
  const auto samples = db.query(
      fmt::format("SELECT s.unit_id, s.timed{}, s.extra FROM samples s JOIN units u ON u.id = "
                  "s.unit_id WHERE u.session_id = ? ORDER BY s.unit_id, s.timed, s.position",
                  columns),
      {id});
  for (const auto& row : samples) {
    json& lists = units[unitIndex.at(asInt(row[0]))][asInt(row[1]) ? "samples" : "warmup"];
    const json extra = row.back() ? json::parse(*row.back()) : json::object();
    for (auto& [name, list] : lists.items()) list.push_back(sampleValue(row, name, extra));
  }
}

} // namespace

json loadSessionJson(Database& db, std::int64_t id) {
  json doc = sessionFields(db, id);
  loadConfigs(db, id, doc);
  loadUnits(db, id, doc);
  return doc;
}

Results loadSession(Database& db, std::int64_t id) {
  try {
    return resultsFromJson(loadSessionJson(db, id));
  } catch (const BadInput& e) {
    throw BadInput(fmt::format("session {}: {}", id, e.what()));
  }
}

} // namespace bench32::store
