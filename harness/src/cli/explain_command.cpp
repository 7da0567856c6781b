// `explain`: where two builds of one program differ in instructions, per function.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/commands.hpp"
#include "exec/errors.hpp"
#include "measure/build.hpp"
#include "measure/explain.hpp"
#include "measure/interrupt.hpp"
#include "model/suite.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

struct ExplainOptions {
  std::string program, workload = "smoke";
  std::vector<std::string> configs, builds;
  std::string buildRoot;
  int jobs = 0;
};

fs::path caseRunnerBesideSelf() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path("bench32-case") : self.parent_path() / "bench32-case";
}

ProgramInfo findProgram(const fs::path& source, const std::string& name) {
  for (auto& p : discoverPrograms(source))
    if (p.name == name) return p;
  throw BadInput(fmt::format("no program named {}", name));
}

std::string signedCount(std::int64_t n) {
  return n > 0 ? fmt::format("+{}", n) : fmt::format("{}", n);
}

void printExplanation(const Explanation& e, const std::string& a, const std::string& b) {
  fmt::print("total: {} {}, {} {}, difference {}\n\n", a, e.totalA, b, e.totalB,
             signedCount(e.difference));
  fmt::print("{:>14} {:>14} {:>14} {:>8}  {}\n", a, b, "difference", "share", "function");
  for (const auto& f : e.functions) {
    if (f.difference == 0) continue;
    std::string note;
    if (f.onlyInA) note = fmt::format("  (only in {}: inlined away or not emitted in {})", a, b);
    if (f.onlyInB) note = fmt::format("  (only in {}: inlined away or not emitted in {})", b, a);
    fmt::print("{:>14} {:>14} {:>14} {:>7.1f}%  {}{}\n", f.a, f.b, signedCount(f.difference),
               100 * f.share, f.name, note);
  }
}

int explainCommand(const ExplainOptions& o, const fs::path& source) {
  const ProgramInfo program = findProgram(source, o.program);
  const auto workloads = loadWorkloads(program.workloadsFile());
  const auto workload = workloads.find(o.workload);
  if (workload == workloads.end())
    throw BadInput(fmt::format("program {} has no workload \"{}\"", o.program, o.workload));
  const fs::path buildRoot = o.buildRoot.empty() ? source / "build" : fs::absolute(o.buildRoot);
  std::vector<BuildTarget> targets;
  for (const auto& c : o.configs) targets.push_back(parseConfig(c, buildRoot));
  for (const auto& b : o.builds) targets.push_back(parseExistingBuild(b));
  if (targets.size() != 2) throw BadInput("explain needs exactly two configurations (-c or -b)");
  BuildOptions buildOptions;
  buildOptions.sourceDir = source;
  buildOptions.caseRunner = caseRunnerBesideSelf();
  buildOptions.jobs = o.jobs;
  buildOptions.cancel = &interruptFlag();
  buildOptions.log = [](const std::string& line) { fmt::print(stderr, "{}\n", line); };
  auto expected = std::make_shared<Expectation>(workload->second);
  RunSettings settings;
  std::vector<FunctionProfile> profiles;
  for (auto& target : targets) {
    const auto failed = buildPrograms(target, {o.program}, buildOptions);
    if (!failed.empty()) {
      fmt::print(stderr, "{} did not build in {}: {}\n", o.program, target.info.name,
                 failed.begin()->second);
      return 1;
    }
    PlannedUnit unit;
    unit.expected = expected;
    unit.executables = {programExecutable(target.info, o.program)};
    fmt::print(stderr, "profiling {} {} ({}) under callgrind\n", o.program, o.workload,
               target.info.name);
    profiles.push_back(profileFunctions(runProcess, unit, settings));
    if (!profiles.back().error.empty()) {
      fmt::print(stderr, "{} {} ({}): {}\n", o.program, o.workload, target.info.name,
                 profiles.back().error);
      return 1;
    }
  }
  printExplanation(explainDifference(profiles[0], profiles[1]), targets[0].info.name,
                   targets[1].info.name);
  return 0;
}

} // namespace

CommandRunner addExplainCommand(CLI::App& app) {
  auto o = std::make_shared<ExplainOptions>();
  app.add_option("-p,--program", o->program, "The program")->required();
  app.add_option("-w,--workload", o->workload, "Its workload")->capture_default_str();
  app.add_option("-c,--config", o->configs, "A configuration NAME=COMPILER:FLAGS (two in all)");
  app.add_option("-b,--build", o->builds, "An existing build folder NAME=DIR");
  app.add_option("--build-root", o->buildRoot, "Where configurations are built (default: build/)");
  app.add_option("-j,--jobs", o->jobs, "Build jobs");
  return [o](const CommandContext& context) { return explainCommand(*o, context.source); };
}

} // namespace bench32
