// HTML tables, shared by the html exporter and the report page.
#pragma once

#include <string>

#include "output/table.hpp"

namespace bench32 {

// Text made safe for HTML and SVG content and attributes.
std::string escapeHtml(const std::string& text);
// The sections as HTML fragments: a heading, the table (each row's tag as its class) in a
// container that scrolls sideways rather than wrap a cell, the notes as paragraphs. The
// tables are marked for tableScript to sort and filter; a numeric cell carries its raw
// value, so that "950 µs" sorts before "1.2 ms".
std::string htmlSections(const Document& document);
// The inline style sheet of every page the harness writes.
extern const char* const htmlStyle;

// The script that makes a page's tables sortable and filterable: jQuery and its table
// sorter with the filter widget, read from the Debian packages (libjs-jquery,
// libjs-jquery-tablesorter) under /usr/share/javascript, or the folder that
// BENCH32_JAVASCRIPT_DIR names, and inlined so that the page fetches nothing. When a file
// is missing, html is empty and missing says which one, in one line: the page then works
// without sorting.
struct PageScript {
  std::string html;
  std::string missing;
};
PageScript tableScript();

} // namespace bench32
