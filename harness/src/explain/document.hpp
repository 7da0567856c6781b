// An explanation as tables, for every exporter: the totals of both builds, then each
// function whose instructions differ.
#pragma once

#include <string>

#include "explain/lines.hpp"
#include "explain/profile.hpp"
#include "output/table.hpp"

namespace bench32 {

struct ExplainLabels {
  std::string program, workload;
  std::string a, b; // the two configurations' names, in the order given
};

Document explanationDocument(const Explanation& e, const ExplainLabels& labels);

// A function's code on both sides as two sections: each instruction's address, text and
// execution count, the hottest tagged "hot".
void addAsmSections(Document& document, const AsmListing& a, const AsmListing& b);

// A function's hottest source lines on one side.
void addLinesSection(Document& document, const std::string& side, const std::string& function,
                     const std::vector<SourceLine>& lines);

// The explanation as an HTML fragment (a <section> with its tables), for a page such as
// the report to include.
std::string explanationHtmlSection(const Explanation& e, const ExplainLabels& labels);

} // namespace bench32
