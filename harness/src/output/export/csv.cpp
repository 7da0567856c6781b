// Comma-separated values (RFC 4180) of the tools' columns: raw numbers in base units.
// Notes are for people and left out. A stream holds one table, so a document of several
// sections is one table: a first column `table` names each row's section (its title, or
// its number), and the columns are every section's, in the order they first appear,
// empty where a section has none.
#include <algorithm>

#include "output/export/exporter.hpp"

namespace bench32 {
namespace {

std::string field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string line(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + field(fields[i]);
  return out + "\n";
}

class CsvExporter : public Exporter {
public:
  std::string name() const override { return "csv"; }
  std::string fileOption() const override { return "csv"; }
  std::string render(const Document& document) const override {
    const bool several = document.sections.size() > 1;
    std::vector<std::string> keys;
    for (const Section& section : document.sections)
      for (std::size_t c : toolColumns(section.table))
        if (std::find(keys.begin(), keys.end(), section.table.columns[c].key) == keys.end())
          keys.push_back(section.table.columns[c].key);
    std::vector<std::string> header = keys;
    if (several) header.insert(header.begin(), "table");
    std::string out = line(header);
    for (std::size_t s = 0; s < document.sections.size(); ++s) {
      const Section& section = document.sections[s];
      const auto columns = toolColumns(section.table);
      for (const auto& row : section.table.rows) {
        std::vector<std::string> fields(keys.size());
        for (std::size_t c : columns) {
          const auto at = std::find(keys.begin(), keys.end(), section.table.columns[c].key);
          fields[std::size_t(at - keys.begin())] = c < row.size() ? row[c].raw : "";
        }
        if (several)
          fields.insert(fields.begin(), section.title.empty() ? std::to_string(s + 1) : section.title);
        out += line(fields);
      }
    }
    return out;
  }
};

} // namespace

const Exporter& csvExporter() {
  static const CsvExporter exporter;
  return exporter;
}

} // namespace bench32
