// Comma-separated values (RFC 4180) of the tools' columns: raw numbers in base units.
// Notes are for people and left out; several tables follow one another.
#include "output/export/exporter.hpp"

namespace bench32 {
namespace {

std::string field(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

class CsvExporter : public Exporter {
public:
  std::string name() const override { return "csv"; }
  std::string fileOption() const override { return "csv"; }
  std::string render(const Document& document) const override {
    std::string out;
    for (const Section& section : document.sections) {
      const auto columns = toolColumns(section.table);
      auto line = [&](auto cellText) {
        for (std::size_t i = 0; i < columns.size(); ++i) out += (i ? "," : "") + field(cellText(i));
        out += "\n";
      };
      line([&](std::size_t i) { return section.table.columns[columns[i]].key; });
      for (const auto& row : section.table.rows)
        line([&](std::size_t i) { return columns[i] < row.size() ? row[columns[i]].raw : ""; });
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
