// A self-contained HTML page of the tables (inline CSS, no script, nothing fetched).
#include "output/export/html.hpp"

#include <fmt/format.h>

#include "output/export/exporter.hpp"

namespace bench32 {

const char* const htmlStyle = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px auto; max-width: 1100px; color: #222; }
h1 { font-size: 22px; } h2 { font-size: 18px; margin-top: 32px; border-bottom: 1px solid #ddd; }
table { border-collapse: collapse; margin: 8px 0; font-size: 13px; }
th, td { padding: 3px 10px; border-bottom: 1px solid #eee; text-align: left; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
.slower { color: #c0392b; font-weight: 600; } .faster { color: #1e8449; font-weight: 600; }
.fail, .failed { color: #c0392b; } .muted { color: #777; }
svg text { font: 12px system-ui, sans-serif; fill: #222; }
.legend span { display: inline-block; margin-right: 16px; }
.legend i { display: inline-block; width: 12px; height: 12px; margin-right: 4px; vertical-align: -1px; }
)";

std::string escapeHtml(const std::string& text) {
  std::string out;
  for (char ch : text) {
    switch (ch) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += ch;
    }
  }
  return out;
}

std::string htmlSections(const Document& document) {
  std::string html;
  for (const Section& section : document.sections) {
    if (!section.title.empty()) html += "<h3>" + escapeHtml(section.title) + "</h3>";
    const Table& table = section.table;
    const auto columns = peopleColumns(table);
    html += "<table><tr>";
    for (std::size_t c : columns) html += "<th>" + escapeHtml(table.columns[c].header) + "</th>";
    html += "</tr>";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
      html += fmt::format("<tr class='{}'>",
                          escapeHtml(r < table.rowTags.size() ? table.rowTags[r] : ""));
      for (std::size_t c : columns)
        html += fmt::format("<td{}>{}</td>", table.columns[c].numeric ? " class='n'" : "",
                            escapeHtml(c < table.rows[r].size() ? table.rows[r][c].text : ""));
      html += "</tr>";
    }
    html += "</table>";
    for (const auto& note : section.notes) html += "<p class='fail'>" + escapeHtml(note) + "</p>";
  }
  return html;
}

namespace {

class HtmlExporter : public Exporter {
public:
  std::string name() const override { return "html"; }
  std::string fileOption() const override { return "html"; }
  std::string render(const Document& document) const override {
    return fmt::format("<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
                       "<title>bench32</title><style>{}</style></head><body>{}</body></html>\n",
                       htmlStyle, htmlSections(document));
  }
};

} // namespace

const Exporter& htmlExporter() {
  static const HtmlExporter exporter;
  return exporter;
}

} // namespace bench32
