#include "explain/sides.hpp"

#include <fmt/format.h>

#include "build/build.hpp"
#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "explain/lines.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "run/unit.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

// "FILE" (its only configuration) or "FILE:CONFIG".
std::pair<fs::path, std::string> resultsSide(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (fs::exists(text) || colon == std::string::npos) return {text, ""};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

// The program's executable as a results file measured it.
Side sideFromResults(const std::string& text, const std::string& program) {
  const auto [file, wanted] = resultsSide(text);
  return measuredSide(loadResults(file), wanted, program, file.string());
}

BuildOptions explainBuildOptions(const ExplainOptions& o, const fs::path& source) {
  BuildOptions b;
  b.sourceDir = source;
  b.caseRunner = besideSelf("bench32-case");
  b.jobs = o.jobs;
  b.cancel = &interruptFlag();
  b.log = [](const std::string& line) { fmt::print(stderr, "{}\n", line); };
  return b;
}

// The function's disassembly on one side, with its counts; empty when it is not there.
AsmListing listing(const Side& side, const std::string& function) {
  AsmListing l{side.name, function, {}};
  const auto counts = side.profile.instructions.functions.find(function);
  for (const auto& symbol : side.symbols) {
    if (symbol.name != function) continue;
    l.lines = annotatedDisassembly(side.executable, symbol.symbol,
                                   counts == side.profile.instructions.functions.end()
                                       ? std::map<std::uint64_t, std::uint64_t>{}
                                       : counts->second);
    break;
  }
  return l;
}

// The side's companion built with -g added, in a folder of its own; empty, with the
// reason in `problem`, when its line information cannot be used for the measured code.
fs::path companion(const Side& side, const ExplainOptions& o, const fs::path& source,
                   std::string& problem) {
  if (!side.config) {
    problem = fmt::format("cannot attribute lines in {}: only a -c configuration gets a -g build",
                          side.name);
    return {};
  }
  const fs::path buildRoot = buildRootOf(source, o.buildRoot);
  BuildRecipe target = parseConfig(
      fmt::format("{}-g={}:{} -g", side.name, side.config->compiler, side.config->flags),
      buildRoot);
  const auto failed = buildPrograms(target, {o.program}, explainBuildOptions(o, source));
  const fs::path executable = programExecutable(target.info, o.program);
  if (!failed.empty())
    problem = fmt::format("cannot attribute lines in {}: {}", side.name, failed.begin()->second);
  else if (!sameCode(side.executable, executable))
    problem = fmt::format("cannot attribute lines in {}: the -g build's code differs", side.name);
  return problem.empty() ? executable : fs::path();
}

} // namespace

Side measuredSide(const Results& results, const std::string& wanted, const std::string& program,
                  const std::string& what) {
  const ConfigInfo* config = nullptr;
  for (const auto& c : results.configs)
    if (c.name == wanted || (wanted.empty() && results.configs.size() == 1)) config = &c;
  if (!config)
    throw BadInput(fmt::format("{}: name one of its configurations as {}:CONFIG", what, what));
  const UnitResult* unit = nullptr;
  for (const auto& u : results.units)
    if (u.config == config->name && u.program == program && !u.binary.empty()) unit = &u;
  if (!unit) throw BadInput(fmt::format("{}: no run of {} in {}", what, program, config->name));
  if (config->buildDir.empty() || !fs::is_directory(config->buildDir))
    throw BadInput(fmt::format("{}: the build folder of {} ({}) no longer exists", what,
                               config->name, config->buildDir));
  if (unit->binaryXxh3.empty())
    throw BadInput(
        fmt::format("{}: records no digest of {}, so it cannot be checked", what, unit->binary));
  if (fileDigest(unit->binary) != unit->binaryXxh3)
    throw BadInput(
        fmt::format("{}: {} is no longer the binary that was measured", what, unit->binary));
  return {config->name, unit->binary, {}, {}, {}};
}

ProgramInfo findProgram(const fs::path& source, const std::string& name) {
  for (auto& p : discoverPrograms(source))
    if (p.name == name) return p;
  throw BadInput(fmt::format("no program named {}", name));
}

std::vector<Side> explainSides(const ExplainOptions& o, const fs::path& source) {
  const fs::path buildRoot = buildRootOf(source, o.buildRoot);
  std::vector<Side> sides;
  for (const auto& [kind, text] : o.sides) {
    if (kind == 'r') {
      sides.push_back(sideFromResults(text, o.program));
      continue;
    }
    BuildRecipe target = kind == 'c' ? parseConfig(text, buildRoot) : parseExistingBuild(text);
    if (o.noBuild) {
      const fs::path built = programExecutable(target.info, o.program);
      if (!fs::is_regular_file(built))
        throw SideFailed(fmt::format("{}: no executable at {} (built nothing: --no-build)",
                                     target.info.name, built.string()));
    } else if (const auto failed =
                   buildPrograms(target, {o.program}, explainBuildOptions(o, source));
               !failed.empty()) {
      throw SideFailed(fmt::format("{} did not build in {}: {}", o.program, target.info.name,
                                   failed.begin()->second));
    }
    sides.push_back({target.info.name,
                     programExecutable(target.info, o.program),
                     {},
                     {},
                     kind == 'c' ? std::optional(target.info) : std::nullopt});
  }
  return sides;
}

void profileSide(Side& side, const ExplainOptions& o, std::shared_ptr<const Expectation> expected) {
  PlannedUnit unit;
  unit.expected = std::move(expected);
  unit.executables = {side.executable};
  fmt::print(stderr, "profiling {} {} ({}) under callgrind\n", o.program, o.workload, side.name);
  side.profile = profileFunctions(runProcess, unit, RunSettings{});
  if (!side.profile.error.empty())
    throw SideFailed(
        fmt::format("{} {} ({}): {}", o.program, o.workload, side.name, side.profile.error));
  side.symbols = functionSymbols(side.executable).value_or(std::vector<FunctionSymbol>{});
}

FunctionSizes sizesOf(const Side& side) {
  FunctionSizes sizes;
  for (const auto& f : side.symbols) sizes[f.name] += f.size;
  return sizes;
}

std::vector<std::string> topFunctions(const Explanation& e, int count) {
  std::vector<std::string> names;
  for (const auto& f : e.functions) {
    if (static_cast<int>(names.size()) >= count || f.difference == 0) break;
    if (f.sizeA || f.sizeB) names.push_back(f.name);
  }
  return names;
}

std::vector<std::pair<AsmListing, AsmListing>> asmListings(const std::vector<std::string>& names,
                                                           const std::vector<Side>& sides) {
  std::vector<std::pair<AsmListing, AsmListing>> listings;
  for (const auto& name : names)
    listings.emplace_back(listing(sides[0], name), listing(sides[1], name));
  return listings;
}

void addLineSections(Document& document, const std::vector<std::string>& names,
                     const std::vector<Side>& sides, const ExplainOptions& o,
                     const fs::path& source) {
  for (const Side& side : sides) {
    std::string problem;
    const fs::path withLines = companion(side, o, source, problem);
    if (withLines.empty()) {
      fmt::print(stderr, "{}\n", problem);
      document.sections[1].notes.push_back(problem);
      continue;
    }
    for (const auto& name : names) {
      const auto counts = side.profile.instructions.functions.find(name);
      if (counts == side.profile.instructions.functions.end()) continue;
      auto lines = hottestLines(withLines, counts->second);
      const std::string tree = fs::weakly_canonical(source).string() + "/";
      for (auto& line : lines) // the suite's own files, relative to its source tree
        if (line.location.starts_with(tree)) line.location.erase(0, tree.size());
      addLinesSection(document, side.name, name, lines);
    }
  }
}

} // namespace bench32
