#include "pipeline/pass_bisect.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

#include <fmt/format.h>

#include "build/build.hpp"
#include "build/compile_commands.hpp"
#include "exec/errors.hpp"
#include "exec/expectation.hpp"
#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/tool.hpp"
#include "exec/words.hpp"
#include "explain/document.hpp"
#include "explain/profile.hpp"
#include "explain/sides.hpp"
#include "model/elf.hpp"
#include "model/metrics.hpp"
#include "model/suite.hpp"
#include "output/export/exporter.hpp"
#include "pipeline/explain_session.hpp"
#include "run/unit.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view runningMark = "BISECT: running pass (";
constexpr std::string_view skippedMark = "BISECT: NOT running pass (";

std::string demangled(const std::string& symbol) {
  int status = 0;
  const std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : symbol;
}

std::string insideParentheses(const std::string& text, std::size_t open) {
  return text.substr(open + 1, text.size() - open - 2);
}

// The functions a target names, demangled: "" for the module, nothing for a target that
// names none (a loop, a region).
std::optional<std::string> namedFunctions(const std::string& target) {
  if (target == "[module]" || target.starts_with("module (")) return "";
  // The legacy pass manager's names for a loop and a region (a C function of either name
  // would be taken for one).
  if (target == "loop" || target == "region") return std::nullopt;
  if (target.ends_with(")")) {
    // The legacy pass manager's "function (f)" and "basic block (b) in function (f)".
    if (const auto at = target.rfind("function ("); at != std::string::npos)
      return demangled(insideParentheses(target, at + 9));
    // A call graph's strongly connected component: "(f, g)", or "SCC (f, g)".
    const std::size_t open = target.starts_with("SCC (") ? 4 : 0;
    if (target[open] == '(') {
      std::vector<std::string> names;
      const std::string inside = insideParentheses(target, open);
      for (std::size_t start = 0; start <= inside.size();) {
        std::size_t end = inside.find(", ", start);
        if (end == std::string::npos) end = inside.size();
        names.push_back(demangled(inside.substr(start, end - start)));
        start = end + 2;
      }
      return joinNames(names);
    }
  }
  // The new pass manager names a function by its symbol, which has no blank.
  if (!target.empty() && target.find(' ') == std::string::npos) return demangled(target);
  return std::nullopt;
}

// A run failed to build, or its program failed to run: the bisection stops, status 1.
struct LimitFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What one limit gives: the program rebuilt with it, the pass runs each compile
// reported, and how its run on the workload went.
struct LimitResult {
  fs::path executable;
  std::vector<std::string> sources;       // the translation units, by file name
  std::vector<std::vector<PassRun>> runs; // one list per translation unit
  Verdict verdict;
  FunctionProfile profile; // following instructions, when the output is right
};

struct Search {
  const PassBisectOptions& options;
  const std::function<void(const std::string&)>& note;
  std::shared_ptr<const Expectation> expected;
  ConfigInfo config;
  fs::path executable; // the configuration's own build of the program
  fs::path scratch;
  int total = 0; // the pass runs of the unlimited build: the most of any of its compiles
  std::map<int, LimitResult> tried;
};

std::string limitName(int limit) { return limit < 0 ? "no limit" : fmt::format("limit {}", limit); }

// A compile's standard error without its pass report, for the line that says why it
// failed.
std::string withoutReport(const std::string& text) {
  std::string kept;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    if (!parsePassRun(line)) kept.append(line).push_back('\n');
    start = end + 1;
  }
  return kept;
}

// The program's own translation units compiled again with the pass limit (-1: none),
// linked against the build's libraries in a folder of the limit's own, and run once on
// the workload; counted under callgrind when following instructions and the output is
// right.
LimitResult tryLimit(const Search& s, int limit) {
  const std::string name = limitName(limit);
  const fs::path scratch = s.scratch / (limit < 0 ? "unlimited" : fmt::format("limit-{}", limit));
  fs::create_directories(scratch);
  const CompileJob job = planCompile(s.config.buildDir, s.executable, scratch, searchPath());
  LimitResult result;
  result.executable = job.executable;
  auto failed = [&](const RunResult& run) {
    return interruptFlag() || run.cancelled || !succeeded(run);
  };
  for (const BuildCommand& compile : job.compiles) {
    RunRequest request;
    request.argv = compile.argv;
    request.argv.insert(request.argv.begin() + 1,
                        {"-mllvm", fmt::format("-opt-bisect-limit={}", limit)});
    request.workingDirectory = compile.directory.string();
    request.timeout = std::chrono::minutes(10);
    request.cancel = &interruptFlag();
    // The report is a line per pass run: a large unit's runs to the thousands.
    request.stderrLimit = std::size_t{64} << 20;
    RunResult run = runProcess(request);
    const std::string source = fs::path(compiledSource(compile.argv)).filename().string();
    if (failed(run)) {
      run.stderrBytes = withoutReport(run.stderrBytes);
      throw LimitFailed(
          fmt::format("{}: the compile of {} failed: {}", name, source, failureLine(run)));
    }
    result.sources.push_back(source);
    result.runs.push_back(passRuns(run.stderrBytes));
  }
  const RunResult linked = runTool(
      runProcess, job.link.argv, {std::chrono::minutes(10), job.link.directory, &interruptFlag()});
  if (failed(linked))
    throw LimitFailed(fmt::format("{}: the link failed: {}", name, failureLine(linked)));
  // Every limit's program runs from one path: the loader's and the C library's start-up
  // work depends on the length of the executable's path, which would move the count.
  const fs::path runs = s.scratch / "run";
  fs::create_directories(runs);
  const fs::path running = runs / job.executable.filename();
  fs::copy_file(job.executable, running, fs::copy_options::overwrite_existing);
  PlannedUnit unit;
  unit.expected = s.expected;
  unit.executables = {running};
  const RunResult run = runProcess(programRequest(unit, RunSettings{}));
  result.verdict = verify(*s.expected, run);
  if (result.verdict.ok && !s.options.wrongOutput && !interruptFlag()) {
    result.profile = profileFunctions(runProcess, unit, RunSettings{});
    if (!result.profile.error.empty() && !interruptFlag())
      throw LimitFailed(
          fmt::format("{}: no count under callgrind: {}", name, result.profile.error));
  }
  return result;
}

std::string outcome(const Search& s, const LimitResult& r) {
  if (!r.verdict.ok) return fmt::format("wrong output ({})", r.verdict.detail);
  if (s.options.wrongOutput) return "right output";
  return fmt::format("{} instructions", r.profile.total);
}

// Tries the limit, says what it gave, and keeps it. Without a limit, the pass runs it
// reports are the total that the limits are counted against.
const LimitResult& tried(Search& s, int limit) {
  LimitResult result = tryLimit(s, limit);
  if (interruptFlag()) throw LimitFailed("interrupted");
  if (limit < 0) {
    for (const auto& runs : result.runs) s.total = std::max(s.total, int(runs.size()));
    s.note(fmt::format("no limit ({} pass runs): {}", s.total, outcome(s, result)));
  } else {
    s.note(fmt::format("limit {} of {}: {}", limit, s.total, outcome(s, result)));
  }
  return s.tried[limit] = std::move(result);
}

// Following instructions, a wrong output is a build that failed: no count to compare.
void requireRightOutput(const Search& s, int limit, const LimitResult& r) {
  if (r.verdict.ok) return;
  throw LimitFailed(fmt::format("{} {}, {}: the output {} is wrong ({}); `--wrong-output` "
                                "finds the pass run that makes it so",
                                s.options.program, s.options.workload, s.config.name,
                                limit < 0 ? "without a limit" : fmt::format("at limit {}", limit),
                                r.verdict.detail));
}

// Where the pass run clang numbered `number` worked, in each unit that has one.
std::vector<std::string> runLines(const Search& s, int number, const LimitResult& at) {
  std::vector<std::string> lines;
  for (std::size_t u = 0; u < at.runs.size(); ++u) {
    const auto& runs = at.runs[u];
    if (number < 1 || std::size_t(number) > runs.size()) continue;
    const std::size_t index = std::size_t(number) - 1;
    const PassRun& run = runs[index];
    const std::string function = runFunction(runs, index);
    std::string where = namedFunctions(run.target) ? (function.empty() ? "the module" : function)
                        : function.empty()         ? run.target
                                                   : fmt::format("{} ({})", function, run.target);
    const std::string unit = at.runs.size() > 1 ? at.sources[u] + ": " : "";
    lines.push_back(
        fmt::format("{}pass run {} of {}: {} on {}", unit, number, s.total, run.pass, where));
  }
  return lines;
}

Document resultDocument(const Search& s, int n) {
  const LimitResult& before = s.tried.at(n - 1);
  const LimitResult& at = s.tried.at(n);
  const PassBisectOptions& o = s.options;
  Section found;
  found.title = fmt::format(
      "{} {}, {}: pass run {} of {} {}", o.program, o.workload, s.config.name, n, s.total,
      o.wrongOutput ? "makes the output wrong" : "gives the unlimited build's instructions");
  const std::string what = o.wrongOutput ? "output" : "instructions";
  found.table.columns = {{"limit", "limit", true},
                         {fmt::format("pass run {}", n), "pass_run", false},
                         {what, what, !o.wrongOutput}};
  for (const auto* r : {&before, &at}) {
    const int limit = r == &before ? n - 1 : n;
    found.table.rows.push_back({Cell(std::to_string(limit)), Cell(r == &before ? "not run" : "run"),
                                o.wrongOutput
                                    ? Cell(r->verdict.ok ? "right" : "wrong: " + r->verdict.detail)
                                    : Cell(std::to_string(r->profile.total))});
  }
  found.notes = runLines(s, n, at);
  if (at.runs.size() > 1)
    found.notes.push_back(fmt::format("the limit applies to each of the {} translation units' "
                                      "compiles, clang numbering each one's pass runs apart",
                                      at.runs.size()));
  Document document;
  document.sections.push_back(std::move(found));
  if (o.wrongOutput) return document;
  Side a{limitName(n - 1), before.executable, before.profile, {}, std::nullopt};
  Side b{limitName(n), at.executable, at.profile, {}, std::nullopt};
  for (Side* side : {&a, &b})
    side->symbols = functionSymbols(side->executable).value_or(std::vector<FunctionSymbol>{});
  Document table =
      explanationDocument(sideDifference(a, b), {o.program, o.workload, a.name, b.name});
  for (auto& section : table.sections) document.sections.push_back(std::move(section));
  return document;
}

// The compiler must be clang: only its limit counts every optional pass run of a
// compile. Told by the macros it predefines, which its version text may not say (a
// wrapper, a vendor's name).
void requireClang(const std::string& compiler) {
  const RunResult run = runTool(runProcess, {compiler, "-x", "c++", "-E", "-dM", "/dev/null"},
                                {std::chrono::seconds(60), {}, &interruptFlag()});
  if (!succeeded(run))
    throw BadInput(fmt::format("compiler \"{}\" does not run: {}", compiler, failureLine(run)));
  const std::string macros = run.stdoutText();
  if (macros.find("#define __clang__ ") != std::string::npos) return;
  if (macros.find("#define __GNUC__ ") != std::string::npos)
    throw BadInput(fmt::format("{} is GCC, which has no limit over all of a compile's pass runs "
                               "(-fdbg-cnt counts within single passes): bisect --passes needs "
                               "clang",
                               compiler));
  throw BadInput(
      fmt::format("{} is not clang: bisect --passes needs clang's -opt-bisect-limit", compiler));
}

int bisect(const PassBisectOptions& o, const fs::path& source,
           const std::function<void(const std::string&)>& note) {
  if (!o.wrongOutput) {
    const MetricInfo& metric = metricNamed(o.metric);
    if (!metric.exact)
      throw BadInput(fmt::format("--metric {} is not exact: each limit's value is compared with "
                                 "the unlimited build's to the unit, so bisect --passes follows "
                                 "instructions",
                                 o.metric));
    if (metric.id != Metric::instructions)
      throw BadInput(fmt::format("--metric {}: bisect --passes follows instructions (or, with "
                                 "--wrong-output, the output)",
                                 o.metric));
  }
  const Exporter& exporter = exporterNamed(o.format);
  const ProgramInfo program = findProgram(source, o.program);
  const auto workloads = loadWorkloads(program.workloadsFile());
  const Expectation& workload = workloadNamed(workloads, o.program, o.workload);
  BuildRecipe recipe = parseConfig(o.config, buildRootOf(source, o.buildRoot));
  requireClang(recipe.info.compiler);

  BuildOptions build;
  build.sourceDir = source;
  build.caseRunner = besideSelf("bench32-case");
  build.jobs = o.jobs;
  build.cancel = &interruptFlag();
  build.log = note;
  const auto failedBuilds = buildPrograms(recipe, {o.program}, build);
  if (interruptFlag()) return interruptedStatus();
  if (!failedBuilds.empty())
    throw LimitFailed(fmt::format("{} did not build in {}: {}", o.program, recipe.info.name,
                                  failedBuilds.begin()->second));

  const KeepOnInterrupt keep;
  const TemporaryFolder scratch("pass-bisect");
  Search s{o,
           note,
           std::make_shared<Expectation>(workload),
           recipe.info,
           programExecutable(recipe.info, o.program),
           scratch.path,
           0,
           {}};
  const LimitResult& unlimited = tried(s, -1);
  if (s.total == 0)
    throw BadInput(fmt::format("{} reported no pass runs under -mllvm -opt-bisect-limit",
                               recipe.info.compiler));
  if (fileDigest(unlimited.executable) != fileDigest(s.executable))
    note(fmt::format("the rebuild without a limit differs from {}: the rebuild is bisected",
                     s.executable.string()));
  const std::string what = fmt::format("{} {}, {}", o.program, o.workload, recipe.info.name);
  if (o.wrongOutput && unlimited.verdict.ok)
    throw BadInput(fmt::format("{}: the output without a limit is right: nothing to bisect", what));
  if (!o.wrongOutput) requireRightOutput(s, -1, unlimited);
  s.tried[s.total] = unlimited;

  const LimitResult& none = tried(s, 0);
  if (o.wrongOutput && !none.verdict.ok)
    throw BadInput(fmt::format("{}: the output is wrong at limit 0 already, with no optional "
                               "pass run: no pass run makes it so",
                               what));
  if (!o.wrongOutput) {
    requireRightOutput(s, 0, none);
    if (none.profile.total == unlimited.profile.total)
      throw BadInput(fmt::format("{}: limit 0 already gives the unlimited build's {} "
                                 "instructions: nothing to bisect",
                                 what, unlimited.profile.total));
  }
  const std::uint64_t goal = unlimited.profile.total;
  const int n = firstReached(0, s.total, [&](int limit) {
    const LimitResult& r = tried(s, limit);
    if (o.wrongOutput) return !r.verdict.ok;
    requireRightOutput(s, limit, r);
    return r.profile.total == goal;
  });
  writeStandardOutput(exporter.render(resultDocument(s, n)));
  return exitOk;
}

} // namespace

std::optional<PassRun> parsePassRun(std::string_view line) {
  PassRun run;
  if (line.starts_with(runningMark)) {
    run.ran = true;
    line.remove_prefix(runningMark.size());
  } else if (line.starts_with(skippedMark)) {
    line.remove_prefix(skippedMark.size());
  } else {
    return std::nullopt;
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const std::size_t close = line.find(") ");
  if (close == 0 || close == std::string_view::npos || close > 9) return std::nullopt;
  for (std::size_t i = 0; i < close; ++i)
    if (line[i] < '0' || line[i] > '9') return std::nullopt;
  run.number = std::stoi(std::string(line.substr(0, close)));
  line.remove_prefix(close + 2);
  // Pass names hold blanks ("X86 LEA Fixup"), targets too ("function (f)"); no pass
  // name holds " on ".
  const std::size_t on = line.find(" on ");
  if (on == 0 || on == std::string_view::npos || on + 4 == line.size()) return std::nullopt;
  run.pass = std::string(line.substr(0, on));
  run.target = std::string(line.substr(on + 4));
  return run;
}

std::vector<PassRun> passRuns(std::string_view report) {
  std::vector<PassRun> runs;
  for (std::size_t start = 0; start < report.size();) {
    std::size_t end = report.find('\n', start);
    if (end == std::string_view::npos) end = report.size();
    if (auto run = parsePassRun(report.substr(start, end - start))) {
      if (run->number != int(runs.size()) + 1)
        throw BadInput(fmt::format("the compiler's pass report gives run {} after run {}: it "
                                   "is not one compile's whole report",
                                   run->number, runs.size()));
      runs.push_back(std::move(*run));
    }
    start = end + 1;
  }
  return runs;
}

std::string runFunction(const std::vector<PassRun>& runs, std::size_t index) {
  if (index >= runs.size()) return {};
  if (auto names = namedFunctions(runs[index].target)) return *names;
  // The legacy pass manager runs a function's loop passes before its own ("loop", then
  // "function (f)"); the new one runs them inside its function's ("Loop at depth...").
  const std::string& target = runs[index].target;
  const bool ahead = target == "loop" || target == "region";
  for (std::size_t i = index; ahead ? i + 1 < runs.size() : i > 0;) {
    i = ahead ? i + 1 : i - 1;
    if (auto names = namedFunctions(runs[i].target)) return *names;
  }
  return {};
}

int firstReached(int low, int high, const std::function<bool(int)>& reached) {
  while (high - low > 1) {
    const int middle = low + (high - low) / 2;
    (reached(middle) ? high : low) = middle;
  }
  return high;
}

int bisectPasses(const PassBisectOptions& options, const fs::path& source,
                 const std::function<void(const std::string&)>& note) {
  try {
    return bisect(options, source, note);
  } catch (const LimitFailed& failed) {
    if (interruptFlag()) return interruptedStatus();
    fmt::print(stderr, "{}\n", failed.what());
    return exitFailed;
  }
}

} // namespace bench32
