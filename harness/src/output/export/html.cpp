// A self-contained HTML page of the tables (inline CSS, no script, nothing fetched).
#include "output/export/html.hpp"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "output/export/exporter.hpp"

namespace bench32 {

const char* const htmlStyle = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px auto; max-width: 1100px; padding: 0 12px; color: #222; }
h1 { font-size: 22px; } h2 { font-size: 18px; margin-top: 32px; border-bottom: 1px solid #ddd; }
.scroll { overflow-x: auto; max-width: 100%; }
table { border-collapse: collapse; margin: 8px 0; font-size: 13px; }
th, td { padding: 3px 10px; border-bottom: 1px solid #eee; text-align: left; white-space: nowrap; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
.slower { color: #b34700; font-weight: 600; } .faster { color: #0060a0; font-weight: 600; }
.fail, .failed { color: #b34700; } .muted, .note { color: #666; }
svg text { font: 12px system-ui, sans-serif; fill: #222; }
svg text.axis-title { font-weight: 600; } svg text.panel-title { font-weight: 600; font-size: 13px; }
.charts { display: flex; flex-wrap: wrap; gap: 8px 20px; } figure.trend { margin: 0; }
.legend span { display: inline-block; margin-right: 16px; white-space: nowrap; }
.legend svg, .swatch { vertical-align: -2px; margin-right: 4px; }
details { margin: 4px 0; } details > summary { cursor: pointer; padding: 2px 0; }
details[open] > summary { font-weight: 600; }
th.tablesorter-header { cursor: pointer; } .tablesorter-header-inner { display: inline; }
th.tablesorter-headerAsc::after { content: " \25b2"; } th.tablesorter-headerDesc::after { content: " \25bc"; }
th.tablesorter-headerUnSorted::after { content: " \2195"; color: #aaa; }
tr.tablesorter-filter-row td { padding: 2px 4px; } tr.tablesorter-filter-row input { width: 100%; min-width: 40px; box-sizing: border-box; font-size: 12px; }
tr.tablesorter-filter-row.hideme { display: table-row; } .filtered { display: none; }
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

namespace {

// A tool value that is a plain number: a numeric column's cells sort by it.
bool plainNumber(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

} // namespace

std::string htmlSections(const Document& document) {
  std::string html;
  for (const Section& section : document.sections) {
    if (!section.title.empty()) html += "<h3>" + escapeHtml(section.title) + "</h3>";
    const Table& table = section.table;
    const auto columns = peopleColumns(table);
    html += "<div class='scroll'><table class='sortable'><thead><tr>";
    for (std::size_t c : columns) html += "<th>" + escapeHtml(table.columns[c].header) + "</th>";
    html += "</tr></thead><tbody>";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
      html += fmt::format("<tr class='{}'>",
                          escapeHtml(r < table.rowTags.size() ? table.rowTags[r] : ""));
      for (std::size_t c : columns) {
        const Cell cell = c < table.rows[r].size() ? table.rows[r][c] : Cell();
        const bool numeric = table.columns[c].numeric;
        html += fmt::format("<td{}{}>{}</td>", numeric ? " class='n'" : "",
                            numeric && cell.raw != cell.text && plainNumber(cell.raw)
                                ? " data-text='" + escapeHtml(cell.raw) + "'"
                                : "",
                            escapeHtml(cell.text));
      }
      html += "</tr>";
    }
    html += "</tbody></table></div>";
    for (const auto& note : section.notes) html += "<p class='note'>" + escapeHtml(note) + "</p>";
  }
  return html;
}

namespace {

// A script's text made safe inside <script>: nothing in it may end the element or open
// an HTML comment. Both rewrites mean the same to JavaScript, in a string, a regular
// expression or a comment.
std::string inlineScript(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto startsHere = [&](std::string_view word) {
      if (text.size() - i < word.size()) return false;
      for (std::size_t k = 0; k < word.size(); ++k)
        if (std::tolower(static_cast<unsigned char>(text[i + k])) != word[k]) return false;
      return true;
    };
    if (startsHere("</script")) {
      out += "<\\/";
      ++i;
    } else if (startsHere("<!--")) {
      out += "<\\!";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Sorting on a click of a header; the filter widget adds a row of boxes under the headers.
const char* const tableSetup = R"(
$(function () {
  $('table.sortable').tablesorter({
    widgets: ['filter'],
    widgetOptions: { filter_ignoreCase: true, filter_hideFilters: false }
  });
});
)";

} // namespace

PageScript tableScript() {
  namespace fs = std::filesystem;
  const char* dir = std::getenv("BENCH32_JAVASCRIPT_DIR");
  const fs::path root = dir && *dir ? fs::path(dir) : fs::path("/usr/share/javascript");
  const fs::path files[] = {root / "jquery/jquery.min.js",
                            root / "jquery-tablesorter/js/jquery.tablesorter.min.js",
                            root / "jquery-tablesorter/js/widgets/widget-filter.min.js"};
  PageScript script;
  for (const auto& file : files) {
    const std::string missing =
        fmt::format("{} is missing (install libjs-jquery and "
                    "libjs-jquery-tablesorter): the tables are not sortable",
                    file.string());
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return {"", missing};
    try {
      script.html +=
          fmt::format("<script data-package-file='{}'>{}</script>",
                      escapeHtml(file.filename().string()), inlineScript(readFile(file)));
    } catch (const BadInput& unreadable) {
      return {"", unreadable.what()};
    }
  }
  script.html += fmt::format("<script>{}</script>", tableSetup);
  return script;
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
