// The tables as JSON for tools: {"schema": "bench32-tables", "version": 1, "tables":
// [{"title", "rows": [{key: value}], "notes"}]}, numbers as numbers, empty fields as null
// (harness/schemas/bench32-tables.schema.json).
#include <charconv>

#include <nlohmann/json.hpp>

#include "output/export/exporter.hpp"

namespace bench32 {
namespace {

nlohmann::json value(const std::string& raw) {
  if (raw.empty()) return nullptr;
  double number = 0;
  const auto [end, error] = std::from_chars(raw.data(), raw.data() + raw.size(), number);
  if (error == std::errc() && end == raw.data() + raw.size()) {
    if (raw.find_first_of(".eE") == std::string::npos && raw.size() < 18)
      return std::stoll(raw); // an integer stays one
    return number;
  }
  return raw;
}

class JsonExporter : public Exporter {
public:
  std::string name() const override { return "json"; }
  std::string render(const Document& document) const override {
    nlohmann::json tables = nlohmann::json::array();
    for (const Section& section : document.sections) {
      const auto columns = toolColumns(section.table);
      nlohmann::json rows = nlohmann::json::array();
      for (const auto& row : section.table.rows) {
        nlohmann::json object = nlohmann::json::object();
        for (std::size_t c : columns)
          object[section.table.columns[c].key] = c < row.size() ? value(row[c].raw) : nullptr;
        rows.push_back(object);
      }
      tables.push_back({{"title", section.title}, {"rows", rows}, {"notes", section.notes}});
    }
    return nlohmann::json{{"schema", "bench32-tables"}, {"version", 1}, {"tables", tables}}.dump(1, ' ', false,
                                                   nlohmann::json::error_handler_t::replace) +
           "\n";
  }
};

} // namespace

const Exporter& jsonExporter() {
  static const JsonExporter exporter;
  return exporter;
}

} // namespace bench32
