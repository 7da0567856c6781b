#include "store/sessions.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"
#include "exec/words.hpp"
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

// Configurations are few, named from the start and completed as each one is built: the
// session's rows are written again whole at every checkpoint.
void writeConfigs(Database& db, std::int64_t session,
                  const std::vector<std::vector<Value>>& configs) {
  db.query("DELETE FROM configurations WHERE session_id = ?", {session});
  for (std::size_t i = 0; i < configs.size(); ++i) {
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
  writeConfigs(db_, id, rows.configs);
  WrittenUnits units{unitIds_, samplesWritten_};
  writeUnits(db_, id, rows.units, units);
  transaction.commit();
  // Only what is committed counts as written: after a failed checkpoint the next one
  // writes everything again, the session's row included.
  id_ = id;
  unitIds_ = std::move(units.ids);
  samplesWritten_ = std::move(units.samples);
}

namespace {

// A stored value as a message shows it: quoted, one line, short.
std::string shown(const std::string& text) { return "'" + oneLine(text, 40) + "'"; }

// One stored row, read for one part of the document. Every value is checked against its
// column before it is used, and a fault names the table and the row.
class Cells {
public:
  Cells(const Columns& columns, const Row& row, std::string table, std::string where = "")
      : columns_(columns), row_(row), table_(std::move(table)), where_(std::move(where)) {
    if (row.size() != columns.size())
      fail(fmt::format("{} values where {} columns are read", row.size(), columns.size()));
  }
  void name(std::string where) { where_ = std::move(where); }

  [[noreturn]] void fail(const std::string& what) const {
    throw BadRow(where_.empty() ? fmt::format("table {}: {}", table_, what)
                                : fmt::format("table {}: {}: {}", table_, where_, what));
  }

  const Field& text(std::string_view column, bool required = false) const {
    const Field& field = columns_.of(row_, column);
    if (!field && required) fail(fmt::format("{} is NULL", column));
    return field;
  }

  std::optional<std::int64_t> integer(std::string_view column, std::int64_t lo = INT64_MIN,
                                      std::int64_t hi = INT64_MAX, bool required = false) const {
    const Field& field = text(column, required);
    if (!field) return std::nullopt;
    const auto value = integerIn(*field);
    if (!value) fail(fmt::format("{} is {}, not an integer", column, shown(*field)));
    if (*value < lo) fail(fmt::format("{} is {}, below {}", column, *value, lo));
    if (*value > hi) fail(fmt::format("{} is {}, above {}", column, *value, hi));
    return value;
  }

  // A finite number, not below `lo`.
  std::optional<double> number(std::string_view column, double lo) const {
    const Field& field = text(column);
    if (!field) return std::nullopt;
    const auto value = numberIn(*field);
    if (!value) fail(fmt::format("{} is {}, not a finite number", column, shown(*field)));
    if (*value < lo) fail(fmt::format("{} is {}, below {}", column, *value, lo));
    return value;
  }

  std::optional<json> document(std::string_view column, bool required = false) const {
    const Field& field = text(column, required);
    if (!field) return std::nullopt;
    try {
      return parseStoredJson(*field, column);
    } catch (const BadInput& e) {
      fail(e.what());
    }
  }

  // The JSON kept beside the row's columns: an object, whatever it holds.
  json object(std::string_view column, bool required = true) const {
    auto value = document(column, required);
    if (!value) return json::object();
    if (!value->is_object()) fail(fmt::format("{} is not a JSON object", column));
    return std::move(*value);
  }

  void putText(json& object, const char* key, std::string_view column,
               bool required = false) const {
    if (const Field& field = text(column, required)) object[key] = *field;
  }
  void putInteger(json& object, const char* key, std::string_view column) const {
    if (const auto value = integer(column)) object[key] = *value;
  }
  void putJson(json& object, const char* key, std::string_view column) const {
    if (auto value = document(column)) object[key] = std::move(*value);
  }

private:
  const Columns& columns_;
  const Row& row_;
  std::string table_, where_;
};

const Columns configReadColumns = configColumns.after({"position"});
const Columns unitReadColumns = unitColumns.after({"id", "position"});
const Columns& sampleReadColumns() {
  static const Columns columns = [] {
    std::vector<std::string> names{"unit_id", "timed", "position"};
    for (const auto& c : sampleColumns()) names.push_back(c.column);
    names.emplace_back("extra");
    return Columns(std::move(names));
  }();
  return columns;
}

std::string listed(const Columns& columns, const char* prefix) {
  std::vector<std::string> names;
  for (const auto& name : columns.names()) names.push_back(prefix + name);
  return joinNames(names);
}

// The session's own fields, over the JSON kept beside its row.
json decodeSessionRow(const Row& row) {
  const Cells cells(sessionColumns, row, "sessions");
  json doc = cells.object("extra");
  for (const char* required : {"revision", "machine", "host", "shard"}) cells.text(required, true);
  cells.putText(doc, "created", "created");
  if (const auto complete = cells.integer("complete", 0, 1)) doc["complete"] = *complete != 0;
  cells.putText(doc, "stop_reason", "stop_reason");
  cells.putInteger(doc, "version", "results_version");
  cells.putJson(doc, "command", "command");
  cells.putJson(doc, "environment", "environment");
  cells.putJson(doc, "settings", "settings");
  cells.putText(doc, "run_under", "run_under");
  cells.putJson(doc, "target", "target");
  return doc;
}

// The configurations, in order. A document that kept its list whole (one of another
// shape) keeps it when the session has no configuration rows.
void decodeConfigs(const std::vector<Row>& rows, json& doc) {
  if (rows.empty() && doc.contains("configs")) return;
  json& list = doc["configs"] = json::array();
  for (const auto& row : rows) {
    const Cells cells(configReadColumns, row, "configurations",
                      fmt::format("configuration {}", list.size()));
    cells.integer("position", std::int64_t(list.size()), std::int64_t(list.size()), true);
    json config = cells.object("extra");
    cells.putText(config, "name", "name", true);
    cells.putText(config, "compiler", "compiler");
    cells.putText(config, "compiler_version", "compiler_version");
    cells.putText(config, "flags", "flags");
    cells.putText(config, "build_dir", "build_dir");
    list.push_back(std::move(config));
  }
}

// A part of the unit kept as an object beside columns of its own ("binary",
// "instructions"): the columns' values go into it.
json& partOf(const Cells& cells, json& unit, const char* key) {
  json& part = unit[key];
  if (!part.is_null() && !part.is_object())
    cells.fail(fmt::format("its {} is kept as a non-object beside columns for it", key));
  return part;
}

json decodeUnit(Cells& cells) {
  json unit = cells.object("extra");
  for (const char* key : {"config", "program", "workload", "status"})
    cells.putText(unit, key, key, true);
  cells.putText(unit, "failure", "failure");
  cells.putText(unit, "input_xxh3", "input_xxh3");
  cells.putInteger(unit, "copies", "copies");
  cells.putJson(unit, "rate_per_s", "rate_per_s");
  if (cells.text("binary_path") || cells.text("binary_xxh3") || cells.text("text_bytes")) {
    json& binary = partOf(cells, unit, "binary");
    cells.putText(binary, "path", "binary_path");
    cells.putText(binary, "xxh3", "binary_xxh3");
    cells.putInteger(binary, "text_bytes", "text_bytes");
  }
  if (cells.text("instructions") || cells.text("instructions_source")) {
    json& instructions = partOf(cells, unit, "instructions");
    cells.putInteger(instructions, "count", "instructions");
    cells.putText(instructions, "source", "instructions_source");
  }
  return unit;
}

// One run's value of a samples list: from its column, as the results file wrote it
// (integers without a fraction), or from the JSON kept beside the row. Runs are never
// negative, and a run has a value in every list of its unit.
json sampleValue(const Cells& cells, const std::string& name, const json& extra) {
  for (const auto& c : sampleColumns()) {
    if (c.key != name || !cells.text(c.column)) continue;
    if (c.integer) return *cells.integer(c.column, 0);
    const double value = *cells.number(c.column, 0);
    if (c.integral && value == std::floor(value) && value < 9e15) return std::int64_t(value);
    return value;
  }
  const auto it = extra.find(name);
  if (it == extra.end()) cells.fail(fmt::format("no value for {}", oneLine(name, 40)));
  return *it;
}

struct UnitPlace {
  std::size_t index;
  std::string label;                    // "unit 2 (program/workload/config)"
  std::map<bool, std::int64_t> counted; // timed? -> runs so far
};

// Each run is appended to the lists that its unit's JSON kept by name.
void decodeSample(const Row& row, std::map<std::int64_t, UnitPlace>& places, json& units) {
  Cells cells(sampleReadColumns(), row, "samples", "a run");
  const std::int64_t unitId = *cells.integer("unit_id", INT64_MIN, INT64_MAX, true);
  const auto place = places.find(unitId);
  if (place == places.end())
    cells.fail(fmt::format("unit_id {} is none of the session's units", unitId));
  const bool timed = *cells.integer("timed", 0, 1, true) != 0;
  std::int64_t& counted = place->second.counted[timed];
  const std::int64_t position = *cells.integer("position", 0, INT64_MAX, true);
  cells.name(
      fmt::format("{} {} of {}", timed ? "run" : "warm-up run", position, place->second.label));
  // Positions are written 0, 1, 2... in order: a gap is a run lost.
  if (position != counted)
    cells.fail(position > counted ? fmt::format("run {} is missing", counted)
                                  : std::string("stored twice, or out of order"));
  ++counted;
  json& unit = units[place->second.index];
  const auto lists = unit.find(timed ? "samples" : "warmup");
  if (lists == unit.end() || !lists->is_object())
    cells.fail(fmt::format("its unit keeps no {} lists", timed ? "samples" : "warmup"));
  for (const auto& c : sampleColumns())
    if (cells.text(c.column) && !lists->contains(c.key))
      cells.fail(fmt::format("{} holds a value, but its unit keeps no {} list", c.column, c.key));
  const json extra = cells.object("extra", false);
  for (auto& [name, list] : lists->items()) {
    if (!list.is_array()) cells.fail(fmt::format("its unit's {} is not a list", oneLine(name, 40)));
    list.push_back(sampleValue(cells, name, extra));
  }
}

// The units, in order, each with its warm-up and timed runs.
void decodeUnits(const std::vector<Row>& unitRows, const std::vector<Row>& sampleRows, json& doc) {
  json& units = doc["results"] = json::array();
  std::map<std::int64_t, UnitPlace> places;
  for (const auto& row : unitRows) {
    const std::size_t index = units.size();
    Cells cells(unitReadColumns, row, "units", fmt::format("unit {}", index));
    const std::int64_t id = *cells.integer("id", INT64_MIN, INT64_MAX, true);
    cells.integer("position", std::int64_t(index), std::int64_t(index), true);
    std::string label = fmt::format("unit {}", index);
    if (cells.text("program") && cells.text("workload") && cells.text("config"))
      label += " (" +
               oneLine(fmt::format("{}/{}/{}", *cells.text("program"), *cells.text("workload"),
                                   *cells.text("config")),
                       80) +
               ")";
    cells.name(label);
    units.push_back(decodeUnit(cells));
    if (!places.emplace(id, UnitPlace{index, label, {}}).second)
      cells.fail(fmt::format("id {} is another unit's", id));
  }
  for (const auto& row : sampleRows) decodeSample(row, places, units);
}

// The rows of one session, each kind in its reading order.
StoredSession storedRows(Database& db, std::int64_t id) {
  StoredSession rows;
  auto sessions =
      db.query(fmt::format("SELECT {} FROM sessions WHERE id = ?", sessionColumns.list()), {id});
  if (sessions.empty()) throw BadInput(fmt::format("no session {} in the database", id));
  rows.session = std::move(sessions[0]);
  rows.configs =
      db.query(fmt::format("SELECT {} FROM configurations WHERE session_id = ? ORDER BY position",
                           configReadColumns.list()),
               {id});
  rows.units = db.query(fmt::format("SELECT {} FROM units WHERE session_id = ? ORDER BY position",
                                    unitReadColumns.list()),
                        {id});
  rows.samples = db.query(
      fmt::format("SELECT {} FROM samples s JOIN units u ON u.id = s.unit_id WHERE u.session_id = "
                  "? ORDER BY u.position, s.timed, s.position",
                  listed(sampleReadColumns(), "s.")),
      {id});
  return rows;
}

std::string inSession(Database& db, std::int64_t id, const std::string& what) {
  return fmt::format("{}: session {}: {}", db.name(), id, what);
}

} // namespace

StoredColumns storedColumns() {
  return {sessionColumns, configReadColumns, unitReadColumns, sampleReadColumns()};
}

json decodeSession(const StoredSession& rows) {
  json doc = decodeSessionRow(rows.session);
  decodeConfigs(rows.configs, doc);
  decodeUnits(rows.units, rows.samples, doc);
  return doc;
}

std::vector<SessionInfo> listSessions(Database& db) {
  std::vector<SessionInfo> sessions;
  static const Columns columns{"id", "created", "revision", "machine", "host", "shard", "complete"};
  for (const auto& row :
       db.query(fmt::format("SELECT {} FROM sessions ORDER BY id", columns.list()))) {
    const Cells cells(columns, row, "sessions");
    SessionInfo s;
    s.id = *cells.integer("id", INT64_MIN, INT64_MAX, true);
    try {
      s.created = asText(cells.text("created"));
      s.revision = *cells.text("revision", true);
      s.machine = *cells.text("machine", true);
      s.host = *cells.text("host", true);
      s.shard = *cells.text("shard", true);
      s.complete = cells.integer("complete", 0, 1).value_or(0) != 0;
    } catch (const BadRow& e) {
      s.damage = inSession(db, s.id, e.what());
    }
    sessions.push_back(std::move(s));
  }
  return sessions;
}

std::optional<std::int64_t> findSession(Database& db, const json& document) {
  const auto created = document.find("created"), command = document.find("command");
  if (created == document.end() || !created->is_string() || command == document.end())
    return std::nullopt;
  for (const auto& row : db.query("SELECT id FROM sessions WHERE created = ? AND command = ?",
                                  {created->get<std::string>(), command->dump()})) {
    const std::int64_t id = asInt(row[0]);
    try {
      if (loadSessionJson(db, id) == document) return id;
    } catch (const BadRow&) {
      // A damaged session is not this file's: the file is written beside it.
    }
  }
  return std::nullopt;
}

json loadSessionJson(Database& db, std::int64_t id) {
  const StoredSession rows = storedRows(db, id);
  try {
    return decodeSession(rows);
  } catch (const BadRow& e) {
    throw BadRow(inSession(db, id, e.what()));
  }
}

Results loadSession(Database& db, std::int64_t id) {
  const json doc = loadSessionJson(db, id);
  try {
    return resultsFromJson(doc);
  } catch (const BadInput& e) {
    throw BadRow(inSession(db, id, oneLine(e.what())));
  } catch (const json::exception&) {
    throw BadRow(inSession(db, id, "not a results document (a value of the wrong type)"));
  }
}

Readable readSessions(Database& db, const std::vector<SessionInfo>& sessions) {
  Readable readable;
  for (const auto& s : sessions) {
    try {
      if (!s.damage.empty()) throw BadRow(s.damage);
      readable.results.push_back(loadSession(db, s.id));
      readable.sessions.push_back(s);
    } catch (const BadRow& e) {
      readable.skipped.emplace(s.id, e.what());
    }
  }
  if (readable.sessions.empty() && !readable.skipped.empty())
    throw BadRow(readable.skipped.begin()->second);
  return readable;
}

std::vector<std::string> strayRows(Database& db) {
  struct Stray {
    const char* table;
    const char* owner;
    const char* sql;
  };
  static const std::vector<Stray> checks{
      {"configurations", "session",
       "SELECT COUNT(*) FROM configurations WHERE session_id NOT IN (SELECT id FROM sessions)"},
      {"units", "session",
       "SELECT COUNT(*) FROM units WHERE session_id NOT IN (SELECT id FROM sessions)"},
      {"samples", "unit",
       "SELECT COUNT(*) FROM samples WHERE unit_id NOT IN (SELECT id FROM units)"},
  };
  std::vector<std::string> lines;
  for (const auto& check : checks) {
    const auto rows = db.query(check.sql);
    const auto count = rows.empty() || !rows[0].at(0) ? std::nullopt : integerIn(*rows[0][0]);
    if (count && *count > 0)
      lines.push_back(fmt::format("{}: {} of table {} belong{} to no {}", db.name(),
                                  plural(std::size_t(*count), "row"), check.table,
                                  *count == 1 ? "s" : "", check.owner));
  }
  return lines;
}

} // namespace bench32::store

namespace bench32::store {

std::string contentStamp(Database& db) {
  std::string stamp;
  for (const char* sql :
       {"SELECT COUNT(*), MAX(id), SUM(complete) FROM sessions",
        "SELECT status, COUNT(*) FROM units GROUP BY status ORDER BY status",
        "SELECT COUNT(*) FROM samples", "SELECT COUNT(*), MAX(created) FROM triage"})
    for (const auto& row : db.query(sql)) {
      for (const auto& field : row) stamp += (field ? *field : "-") + ",";
      stamp += ";";
    }
  return stamp;
}

} // namespace bench32::store
