// Aligned columns for a terminal, with the notes under each table.
#include <algorithm>

#include "output/export/exporter.hpp"

namespace bench32 {
namespace {

std::size_t displayWidth(const std::string& text) {
  std::size_t width = 0;
  for (unsigned char c : text)
    if ((c & 0xc0) != 0x80) ++width; // count UTF-8 lead bytes only
  return width;
}

std::string renderTable(const Table& table) {
  const auto columns = peopleColumns(table);
  std::vector<std::size_t> widths;
  for (std::size_t c : columns) widths.push_back(displayWidth(table.columns[c].header));
  for (const auto& row : table.rows)
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (columns[i] < row.size())
        widths[i] = std::max(widths[i], displayWidth(row[columns[i]].text));
  std::string out;
  auto line = [&](auto cellText) {
    std::string text;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const std::string cell = cellText(i);
      const std::string pad(widths[i] - displayWidth(cell), ' ');
      if (i) text += "  ";
      text += table.columns[columns[i]].numeric ? pad + cell : cell + pad;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line([&](std::size_t i) { return table.columns[columns[i]].header; });
  line([&](std::size_t i) { return std::string(widths[i], '-'); });
  for (const auto& row : table.rows)
    line([&](std::size_t i) { return columns[i] < row.size() ? row[columns[i]].text : ""; });
  return out;
}

class TextExporter : public Exporter {
public:
  std::string name() const override { return "text"; }
  std::string render(const Document& document) const override {
    std::string out;
    for (std::size_t s = 0; s < document.sections.size(); ++s) {
      const Section& section = document.sections[s];
      if (s) out += "\n";
      if (!section.title.empty()) out += section.title + "\n";
      out += renderTable(section.table);
      for (const auto& note : section.notes) out += note + "\n";
    }
    return out;
  }
};

} // namespace

const Exporter& textExporter() {
  static const TextExporter exporter;
  return exporter;
}

} // namespace bench32
