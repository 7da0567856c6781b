// GitHub-flavoured Markdown tables, for pasting into a review or a wiki.
#include "output/export/exporter.hpp"

namespace bench32 {
namespace {

std::string field(const std::string& text) {
  std::string escaped;
  for (char c : text)
    escaped += c == '|' ? std::string("\\|") : std::string(1, c == '\n' ? ' ' : c);
  return escaped;
}

class MarkdownExporter : public Exporter {
public:
  std::string name() const override { return "markdown"; }
  std::string fileOption() const override { return "markdown"; }
  std::string render(const Document& document) const override {
    std::string out;
    for (std::size_t s = 0; s < document.sections.size(); ++s) {
      const Section& section = document.sections[s];
      if (s) out += "\n";
      if (!section.title.empty()) out += "### " + field(section.title) + "\n\n";
      const auto columns = peopleColumns(section.table);
      auto line = [&](auto cellText) {
        out += "|";
        for (std::size_t i = 0; i < columns.size(); ++i) out += " " + field(cellText(i)) + " |";
        out += "\n";
      };
      line([&](std::size_t i) { return section.table.columns[columns[i]].header; });
      line([&](std::size_t i) {
        return std::string(section.table.columns[columns[i]].numeric ? "---:" : "---");
      });
      for (const auto& row : section.table.rows)
        line([&](std::size_t i) { return columns[i] < row.size() ? row[columns[i]].text : ""; });
      if (!section.notes.empty()) out += "\n";
      for (const auto& note : section.notes) out += field(note) + "\n";
    }
    return out;
  }
};

} // namespace

const Exporter& markdownExporter() {
  static const MarkdownExporter exporter;
  return exporter;
}

} // namespace bench32
