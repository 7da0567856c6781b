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

// Text in lines of at most width, broken at spaces; a longer word keeps a line of its own.
std::vector<std::string> wrapped(const std::string& text, std::size_t width) {
  std::vector<std::string> lines{""};
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!lines.back().empty() && displayWidth(lines.back()) + 1 + displayWidth(word) > width)
      lines.emplace_back();
    lines.back() += (lines.back().empty() ? "" : " ") + word;
  }
  return lines;
}

std::string renderTable(const Table& table) {
  const auto columns = peopleColumns(table);
  std::vector<std::size_t> widths;
  for (std::size_t c : columns) widths.push_back(displayWidth(table.columns[c].header));
  for (const auto& row : table.rows)
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (columns[i] < row.size())
        widths[i] = std::max(widths[i], displayWidth(row[columns[i]].text));
  // The last column wrapped to what the width leaves it when that is enough to read;
  // otherwise under its row, indented, on lines of its own.
  std::size_t wrapAt = 0, shown = columns.size();
  bool under = false;
  constexpr std::size_t readable = 20, indent = 4;
  if (table.width > 0 && !columns.empty() && !table.columns[columns.back()].numeric) {
    std::size_t before = 0;
    for (std::size_t i = 0; i + 1 < widths.size(); ++i) before += widths[i] + 2;
    if (before + widths.back() > table.width && table.width >= before + readable) {
      wrapAt = table.width - before;
      widths.back() = std::max(displayWidth(table.columns[columns.back()].header), wrapAt);
    } else if (before + widths.back() > table.width && table.width >= indent + readable &&
               columns.size() > 1) {
      wrapAt = table.width - indent;
      under = true;
      --shown;
    }
  }
  std::string out;
  auto line = [&](auto cellText) {
    std::string text;
    for (std::size_t i = 0; i < shown; ++i) {
      const std::string cell = cellText(i);
      const std::size_t used = displayWidth(cell); // a word wider than its wrap overhangs
      const std::string pad(widths[i] > used ? widths[i] - used : 0, ' ');
      if (i) text += "  ";
      text += table.columns[columns[i]].numeric ? pad + cell : cell + pad;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line([&](std::size_t i) { return table.columns[columns[i]].header; });
  line([&](std::size_t i) { return std::string(widths[i], '-'); });
  for (const auto& row : table.rows) {
    const auto text = [&](std::size_t i) {
      return columns[i] < row.size() ? row[columns[i]].text : std::string();
    };
    if (wrapAt == 0) {
      line(text);
      continue;
    }
    const auto parts = wrapped(text(columns.size() - 1), wrapAt);
    if (under) {
      line(text);
      for (const auto& part : parts)
        if (!part.empty()) out += std::string(indent, ' ') + part + "\n";
      continue;
    }
    for (std::size_t k = 0; k < parts.size(); ++k)
      line([&](std::size_t i) {
        return i + 1 == columns.size() ? parts[k] : k == 0 ? text(i) : std::string();
      });
  }
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
