// HTML tables, shared by the html exporter and the report page.
#pragma once

#include <string>

#include "output/table.hpp"

namespace bench32 {

// Text made safe for HTML and SVG content and attributes.
std::string escapeHtml(const std::string& text);
// The sections as HTML fragments: a heading, the table (each row's tag as its class),
// the notes as paragraphs.
std::string htmlSections(const Document& document);
// The inline style sheet of every page the harness writes.
extern const char* const htmlStyle;

} // namespace bench32
