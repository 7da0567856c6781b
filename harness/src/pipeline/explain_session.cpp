#include "pipeline/explain_session.hpp"

#include <cstdio>

#include <fmt/format.h>

#include "exec/files.hpp"
#include "explain/lines.hpp"
#include "output/export/exporter.hpp"
#include "output/export/html.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

int explainBoth(const ExplainOptions& o, const fs::path& source) {
  const Exporter& exporter = exporterNamed(o.format);
  const ProgramInfo program = findProgram(source, o.program);
  const auto workloads = loadWorkloads(program.workloadsFile());
  const Expectation& workload = workloadNamed(workloads, o.program, o.workload);
  if (o.sides.size() != 2)
    throw BadInput("explain needs exactly two sides (-c, -b or results files)");
  std::vector<Side> sides = explainSides(o, source);
  auto expected = std::make_shared<Expectation>(workload);
  for (auto& side : sides) profileSide(side, o, expected);
  const Explanation explanation = sideDifference(sides[0], sides[1]);
  const ExplainLabels labels{o.program, o.workload, sides[0].name, sides[1].name};
  Document document = explanationDocument(explanation, labels);
  const std::vector<std::string> top = topFunctions(explanation, o.asmFunctions);
  if (o.lines) addLineSections(document, top, sides, o, source);
  const auto listings =
      o.withAsm ? asmListings(top, sides) : std::vector<std::pair<AsmListing, AsmListing>>{};
  if (o.format != "text")
    for (const auto& [a, b] : listings) addAsmSections(document, a, b);
  writeStandardOutput(exporter.render(document));
  if (o.format == "text")
    for (const auto& [a, b] : listings) writeStandardOutput("\n" + asmText(a, b, terminalWidth()));
  return 0;
}

} // namespace

Explanation sideDifference(const Side& a, const Side& b) {
  Explanation explanation = explainDifference(a.profile, b.profile);
  addSizes(explanation, sizesOf(a), sizesOf(b));
  return explanation;
}

std::map<std::string, std::string> explainedChanges(const std::vector<Comparison>& comparisons,
                                                    const fs::path& source) {
  std::map<std::string, std::string> explained;
  for (const auto& c : comparisons)
    for (const auto& row : c.programs) {
      if (row.verdict != Change::slower && row.verdict != Change::faster) continue;
      ExplainOptions o;
      o.program = row.program;
      std::string html = fmt::format(
          "<h4>Where {} and {} differ in instructions ({} {}, under callgrind)</h4>",
          escapeHtml(c.other.label), escapeHtml(c.base.label), escapeHtml(row.program), o.workload);
      try {
        std::vector<Side> sides{
            measuredSide(*c.base.results, c.base.config, row.program, c.base.label),
            measuredSide(*c.other.results, c.other.config, row.program, c.other.label)};
        sides[0].name = c.base.label;
        sides[1].name = c.other.label;
        const ProgramInfo program = findProgram(source, row.program);
        const auto expected = std::make_shared<Expectation>(
            workloadNamed(loadWorkloads(program.workloadsFile()), row.program, o.workload));
        for (auto& side : sides) profileSide(side, o, expected);
        html += htmlSections(
            explanationDocument(sideDifference(sides[0], sides[1]),
                                {row.program, o.workload, sides[0].name, sides[1].name}));
      } catch (const BadInput& e) {
        html += "<p class='muted'>No explain tables: " + escapeHtml(e.what()) + "</p>";
      } catch (const SideFailed& e) {
        html += "<p class='muted'>No explain tables: " + escapeHtml(e.what()) + "</p>";
      }
      explained[row.program + "/" + row.workload] += html;
    }
  return explained;
}

int explainSession(const ExplainOptions& o, const fs::path& source) {
  try {
    return explainBoth(o, source);
  } catch (const SideFailed& failed) {
    fmt::print(stderr, "{}\n", failed.what());
    return exitFailed;
  }
}

} // namespace bench32
