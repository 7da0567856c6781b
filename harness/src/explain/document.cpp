#include "explain/document.hpp"

#include <cmath>

#include <fmt/format.h>

#include "output/export/html.hpp"

namespace bench32 {
namespace {

std::string signedCount(std::int64_t n) {
  return n > 0 ? fmt::format("+{}", n) : fmt::format("{}", n);
}

Section totalsSection(const Explanation& e, const ExplainLabels& l) {
  Section s;
  s.title = fmt::format("{} {}: instructions, {} against {}", l.program, l.workload, l.b, l.a);
  s.table.columns = {{l.a, "a", true}, {l.b, "b", true}, {"difference", "difference", true}};
  s.table.rows.push_back({Cell(std::to_string(e.totalA)), Cell(std::to_string(e.totalB)),
                          Cell(signedCount(e.difference), std::to_string(e.difference))});
  return s;
}

// A share as a percentage to a tenth; one that rounds to nothing is 0.0%, not -0.0%.
std::string percent(double share) {
  const double p = 100 * share;
  return fmt::format("{:.1f}%", std::abs(p) < 0.05 ? 0.0 : p);
}

// The side a function ran on only. Where the other binary has its code, the calls to it
// there were inlined or not taken; where it has none, it was inlined everywhere or not
// emitted.
Cell oneSideNote(const FunctionDifference& f, const ExplainLabels& l) {
  if (!f.onlyInA && !f.onlyInB) return {};
  const std::string& here = f.onlyInA ? l.a : l.b;
  const std::string& there = f.onlyInA ? l.b : l.a;
  if (f.onlyInA ? f.sizeB : f.sizeA)
    return {fmt::format("only run in {}: {} has its code but never ran it", here, there), here};
  return {fmt::format("only in {}: inlined or not emitted in {}", here, there), here};
}

// Bytes of code, or nothing for a function that is not in the binary (a library's).
Cell sizeCell(std::uint64_t bytes) { return bytes ? Cell(std::to_string(bytes)) : Cell(); }

Section sizeSection(const Explanation& e, const ExplainLabels& l) {
  Section s;
  s.title = "Largest code size changes (bytes, from the symbol tables)";
  s.table.columns = {{l.a, "a", true},
                     {l.b, "b", true},
                     {"difference", "difference", true},
                     {"function", "function"},
                     {"note", ""}};
  for (const auto& c : e.sizeChanges) {
    std::string note;
    if (!c.b) note = fmt::format("only in {}", l.a);
    if (!c.a) note = fmt::format("only in {}", l.b);
    s.table.rows.push_back({sizeCell(c.a), sizeCell(c.b),
                            Cell(signedCount(c.difference), std::to_string(c.difference)),
                            Cell(c.name), Cell(note, "")});
  }
  return s;
}

Section functionSection(const Explanation& e, const ExplainLabels& l) {
  Section s;
  s.title = "Self instructions per function, largest difference first";
  s.table.columns = {{l.a, "a", true},
                     {l.b, "b", true},
                     {"difference", "difference", true},
                     {"share", "share", true},
                     {l.a + " size", "size_a", true},
                     {l.b + " size", "size_b", true},
                     {"function", "function"},
                     {"", "only_in"},
                     {"note", ""}};
  for (const auto& f : e.functions) {
    if (f.difference == 0) continue;
    const Cell note = oneSideNote(f, l);
    s.table.rows.push_back({Cell(std::to_string(f.a)), Cell(std::to_string(f.b)),
                            Cell(signedCount(f.difference), std::to_string(f.difference)),
                            Cell(percent(f.share), fmt::format("{}", f.share)), sizeCell(f.sizeA),
                            sizeCell(f.sizeB), Cell(f.name), Cell("", note.raw),
                            Cell(note.text, "")});
  }
  s.notes.push_back(fmt::format("Functions whose instructions are the same on both sides "
                                "are left out; the differences add up to {}.",
                                signedCount(e.difference)));
  return s;
}

} // namespace

Document explanationDocument(const Explanation& e, const ExplainLabels& labels) {
  Document d;
  d.sections.push_back(totalsSection(e, labels));
  d.sections.push_back(functionSection(e, labels));
  if (!e.sizeChanges.empty()) d.sections.push_back(sizeSection(e, labels));
  return d;
}

void addAsmSections(Document& document, const AsmListing& a, const AsmListing& b) {
  for (const AsmListing* listing : {&a, &b}) {
    Section s;
    s.title = asmTitle(*listing);
    s.table.columns = {
        {"count", "count", true}, {"", "function"},       {"", "side"},
        {"hot", "hot"},           {"address", "address"}, {"instruction", "instruction"}};
    for (const auto& line : listing->lines) {
      s.table.rows.push_back(
          {line.count ? Cell(std::to_string(line.count)) : Cell("", "0"),
           Cell("", listing->function), Cell("", listing->side),
           Cell(line.hot ? ">" : "", line.hot ? "1" : "0"),
           Cell(fmt::format("{:x}", line.address), fmt::format("{:#x}", line.address)),
           Cell(line.instruction)});
      s.table.rowTags.push_back(line.hot ? "slower" : "");
    }
    document.sections.push_back(std::move(s));
  }
}

void addLinesSection(Document& document, const std::string& side, const std::string& function,
                     const std::vector<SourceLine>& lines) {
  Section s;
  s.title = fmt::format("Hottest source lines of {} in {}", function, side);
  s.table.columns = {{"count", "count", true},
                     {"", "function"},
                     {"", "side"},
                     {"line", "line"},
                     {"source", "source"}};
  for (const auto& line : lines)
    s.table.rows.push_back({Cell(std::to_string(line.count)), Cell("", function), Cell("", side),
                            Cell(line.location), Cell(line.text)});
  document.sections.push_back(std::move(s));
}

std::string explanationHtmlSection(const Explanation& e, const ExplainLabels& labels) {
  return fmt::format("<section class='explain'><h2>Why {} {} differs: {} against {}</h2>{}"
                     "</section>",
                     escapeHtml(labels.program), escapeHtml(labels.workload), escapeHtml(labels.b),
                     escapeHtml(labels.a), htmlSections(explanationDocument(e, labels)));
}

} // namespace bench32
