// `explain`: where two builds of one program differ in instructions, per function.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "build/build.hpp"
#include "cli/commands.hpp"
#include "cli/option_values.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/tool.hpp"
#include "explain/document.hpp"
#include "explain/lines.hpp"
#include "explain/profile.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "output/export/exporter.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

struct ExplainOptions {
  std::string program, workload = "smoke", format = "text";
  std::vector<std::string> configs, builds, files;
  std::string buildRoot;
  int jobs = 0;
  int asmFunctions = 3; // and the functions whose source lines are shown
  bool withAsm = false, lines = false;
  // The two sides in command-line order: each -c, -b or results file, tagged 'c', 'b'
  // or 'r'.
  std::vector<std::pair<char, std::string>> sides;
};

// A side that did not build or whose profiled run failed: status 1, as a failed run.
struct SideFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One build of the program: what it is called, its executable, and its profile.
struct Side {
  std::string name;
  fs::path executable;
  FunctionProfile profile;
  std::vector<FunctionSymbol> symbols;
  std::optional<ConfigInfo> config; // a configuration built now (-c)
};

ProgramInfo findProgram(const fs::path& source, const std::string& name) {
  for (auto& p : discoverPrograms(source))
    if (p.name == name) return p;
  throw BadInput(fmt::format("no program named {}", name));
}

// "FILE" (its only configuration) or "FILE:CONFIG".
std::pair<fs::path, std::string> resultsSide(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (fs::exists(text) || colon == std::string::npos) return {text, ""};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

// The program's executable as a results file measured it: its configuration's build
// folder must still exist, and the binary there must be the one measured.
Side sideFromResults(const std::string& text, const std::string& program) {
  const auto [file, wanted] = resultsSide(text);
  const Results results = loadResults(file);
  const ConfigInfo* config = nullptr;
  for (const auto& c : results.configs)
    if (c.name == wanted || (wanted.empty() && results.configs.size() == 1)) config = &c;
  if (!config)
    throw BadInput(fmt::format("{}: name one of its configurations as {}:CONFIG", file.string(),
                               file.string()));
  const UnitResult* unit = nullptr;
  for (const auto& u : results.units)
    if (u.config == config->name && u.program == program && !u.binary.empty()) unit = &u;
  if (!unit)
    throw BadInput(fmt::format("{}: no run of {} in {}", file.string(), program, config->name));
  if (config->buildDir.empty() || !fs::is_directory(config->buildDir))
    throw BadInput(fmt::format("{}: the build folder of {} ({}) no longer exists", file.string(),
                               config->name, config->buildDir));
  if (unit->binaryXxh3.empty())
    throw BadInput(fmt::format("{}: records no digest of {}, so it cannot be checked",
                               file.string(), unit->binary));
  if (fileDigest(unit->binary) != unit->binaryXxh3)
    throw BadInput(fmt::format("{}: {} is no longer the binary that was measured", file.string(),
                               unit->binary));
  return {config->name, unit->binary, {}, {}, {}};
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

// Each side's executable: configurations and build folders built now, results files'
// binaries as they were measured.
std::vector<Side> explainSides(const ExplainOptions& o, const fs::path& source) {
  const fs::path buildRoot = buildRootOf(source, o.buildRoot);
  std::vector<Side> sides;
  for (const auto& [kind, text] : o.sides) {
    if (kind == 'r') {
      sides.push_back(sideFromResults(text, o.program));
      continue;
    }
    BuildRecipe target = kind == 'c' ? parseConfig(text, buildRoot) : parseExistingBuild(text);
    const auto failed = buildPrograms(target, {o.program}, explainBuildOptions(o, source));
    if (!failed.empty())
      throw SideFailed(fmt::format("{} did not build in {}: {}", o.program, target.info.name,
                                   failed.begin()->second));
    sides.push_back({target.info.name,
                     programExecutable(target.info, o.program),
                     {},
                     {},
                     kind == 'c' ? std::optional(target.info) : std::nullopt});
  }
  return sides;
}

void profileSide(Side& side, const ExplainOptions& o, std::shared_ptr<Expectation> expected) {
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

// The functions with the largest differences that either binary has code for.
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

// Each top function's hottest source lines on each side, or why they cannot be had.
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

int explainSidesCommand(const ExplainOptions& o, const fs::path& source) {
  const Exporter& exporter = exporterNamed(o.format);
  const ProgramInfo program = findProgram(source, o.program);
  const auto workloads = loadWorkloads(program.workloadsFile());
  const Expectation& workload = workloadNamed(workloads, o.program, o.workload);
  if (o.sides.size() != 2)
    throw BadInput("explain needs exactly two sides (-c, -b or results files)");
  std::vector<Side> sides = explainSides(o, source);
  auto expected = std::make_shared<Expectation>(workload);
  for (auto& side : sides) profileSide(side, o, expected);
  Explanation explanation = explainDifference(sides[0].profile, sides[1].profile);
  addSizes(explanation, sizesOf(sides[0]), sizesOf(sides[1]));
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

int explainCommand(const ExplainOptions& o, const fs::path& source) {
  try {
    return explainSidesCommand(o, source);
  } catch (const SideFailed& failed) {
    fmt::print(stderr, "{}\n", failed.what());
    return exitFailed;
  }
}

} // namespace

CommandRunner addExplainCommand(CLI::App& app) {
  auto o = std::make_shared<ExplainOptions>();
  app.add_option("-p,--program", o->program, "The program")->required();
  app.add_option("-w,--workload", o->workload, "Its workload")->capture_default_str();
  // One value per -c or -b, so that their order on the command line can be recovered.
  CLI::Option* config =
      app.add_option("-c,--config", o->configs, "A configuration NAME=COMPILER:FLAGS (two in all)")
          ->allow_extra_args(false);
  CLI::Option* build = app.add_option("-b,--build", o->builds, "An existing build folder NAME=DIR")
                           ->allow_extra_args(false);
  CLI::Option* files = app.add_option("results", o->files,
                                      "Results files (FILE or FILE:CONFIG) whose build folders "
                                      "still hold the measured binaries")
                           ->check(nonEmptyPath);
  app.add_option("--build-root", o->buildRoot, "Where configurations are built (default: build/)")
      ->check(nonEmptyPath);
  app.add_option("-j,--jobs", o->jobs, "Build jobs");
  CLI::Option* withAsm =
      app.add_option("--asm", o->asmFunctions,
                     "Disassembly with execution counts of the K functions that differ most")
          ->expected(0, 1)
          ->default_str("3");
  app.add_flag("--lines", o->lines,
               "The hottest source lines of those functions, from a -g build of each -c "
               "configuration whose code is the same as the measured one");
  addFormatOption(app, o->format);
  return [o, &app, config, build, files, withAsm](const CommandContext& context) {
    std::size_t c = 0, b = 0, f = 0;
    for (const CLI::Option* option : app.parse_order()) {
      if (option == config && c < o->configs.size()) o->sides.emplace_back('c', o->configs[c++]);
      if (option == build && b < o->builds.size()) o->sides.emplace_back('b', o->builds[b++]);
      if (option == files && f < o->files.size()) o->sides.emplace_back('r', o->files[f++]);
    }
    o->withAsm = withAsm->count() > 0;
    return explainCommand(*o, context.source);
  };
}

} // namespace bench32
