#include "pipeline/revision_bisect.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <fmt/format.h>

#include "analysis/compare.hpp"
#include "build/build.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/git.hpp"
#include "exec/interrupt.hpp"
#include "exec/stored_json.hpp"
#include "exec/tool.hpp"
#include "exec/words.hpp"
#include "explain/document.hpp"
#include "model/metrics.hpp"
#include "output/export/exporter.hpp"
#include "pipeline/explain_session.hpp"
#include "pipeline/run_session.hpp"
#include "run/counters.hpp"
#include "run/plan.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

// The configuration names of a step's session: the revision's build of the suite, and
// the ends' builds run beside it (the good end's for a time; both for an exact metric,
// so that the counts compared are of one session's conditions).
constexpr const char* candidateName = "candidate";
constexpr const char* goodName = "good";
constexpr const char* badName = "bad";

// The interrupt ended a stage: the step is not logged, and is measured again on resume.
struct Interrupted {};

struct Bisection {
  BisectLog log;
  fs::path source, work, logFile;
  std::string db;
  int jobs = 0;
  std::vector<std::string> programs; // the suite's programs chosen, by name
  const MetricInfo* metric = nullptr;
  std::vector<std::string> commandLine;
  MeasureHooks console;

  const BisectRequest& request() const { return log.request; }
  bool exact() const { return metric->exact; }
  std::size_t last() const { return log.commits.size() - 1; }
};

// The ends do not differ: the search has nothing to find (status 1, one line).
struct NothingToBisect : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string shortCommit(const std::string& commit) { return commit.substr(0, 12); }

// "041-3f2a1c9e12ab": a step's files are named after its revision's place and commit,
// the place to as many digits as the last one's. Every step's executables then have
// paths of one length: a program's instructions count its path's bytes (the loader
// and the start-up code read them), and an exact comparison must not see them.
std::string stepName(const Bisection& b, std::size_t i) {
  const std::size_t width = std::to_string(b.last()).size();
  return fmt::format("{:0{}}-{}", i, width, shortCommit(b.log.commits[i]));
}

std::string revisionName(const Bisection& b, std::size_t i) {
  return fmt::format("{} ({}/{})", shortCommit(b.log.commits[i]), i, b.last());
}

void note(const Bisection& b, const std::string& line) {
  if (b.console.note) b.console.note(line);
}

void writeLog(const Bisection& b) { writeFile(b.logFile, bisectLogText(b.log)); }

// Everything that can be checked before a compiler is built: the metric, the programs,
// the workload, an instruction counter.
void checkRequest(Bisection& b) {
  const BisectRequest& r = b.request();
  b.metric = &metricNamed(r.metric);
  if (!b.metric->exact && !perRun(*b.metric))
    throw BadInput(fmt::format("bisect --metric {}: neither exact nor measured per run; use "
                               "instructions, a size or a time",
                               b.metric->name));
  if (r.buildCommand.empty())
    throw BadInput("bisect needs --build: the command that builds the compiler");
  if (r.compiler.empty() || fs::path(r.compiler).is_absolute())
    throw BadInput("bisect needs --compiler: the compiler's path in the worktree, relative to it");
  const auto chosen = selectPrograms(discoverPrograms(b.source), r.programs, {});
  for (const auto& p : chosen) {
    workloadNamed(loadWorkloads(p.workloadsFile()), p.name, r.workload);
    b.programs.push_back(p.name);
  }
  if (b.metric->id == Metric::instructions && instructionCounter(runProcess).empty())
    throw BadInput("bisect --metric instructions: neither perf nor valgrind works here");
}

BisectLog startLog(const BisectRequest& request) {
  BisectLog log;
  log.request = request;
  const fs::path repo = request.repo;
  const std::string good = resolveCommit(repo, request.good, "--good");
  const std::string bad = resolveCommit(repo, request.bad, "--bad");
  log.commits = commitsBetween(repo, good, bad);
  return log;
}

// A build's result: the compiler or the suite's build folder, or why there is none.
struct Built {
  fs::path path;
  std::string problem;
};

// Revision i's compiler, built in the worktree by the build command.
Built buildCompiler(const Bisection& b, std::size_t i) {
  const BisectRequest& r = b.request();
  const fs::path worktree = b.work / "worktree";
  checkoutInWorktree(r.repo, worktree, b.log.commits[i]);
  const fs::path logFile = b.work / "logs" / (stepName(b, i) + ".log");
  fs::create_directories(logFile.parent_path());
  note(b, fmt::format("{}: building the compiler (log: {})", revisionName(b, i), logFile.string()));
  // The shell sends the command's output to the log, so that a long build's output is
  // never held here.
  const std::vector<std::string> argv{
      "sh", "-c", "exec >\"$1\" 2>&1; eval \"$2\"", "sh", logFile.string(), r.buildCommand};
  const RunResult run =
      runTool(runProcess, argv,
              {std::chrono::duration<double>(r.buildTimeoutSeconds), worktree, &interruptFlag()});
  if (interruptFlag()) throw Interrupted{};
  if (!succeeded(run))
    return {{},
            fmt::format("the compiler did not build ({}; log: {})",
                        run.timedOut ? "timed out" : fmt::format("status {}", run.exitStatus),
                        logFile.string())};
  const fs::path compiler = fs::absolute(worktree / r.compiler);
  if (access(compiler.c_str(), X_OK) != 0)
    return {{}, fmt::format("the build made no compiler at {}", compiler.string())};
  return {compiler, {}};
}

// The suite's programs built with it, in a folder of the step's own: its folder, or why
// it did not build.
Built buildSuite(const Bisection& b, std::size_t i, const fs::path& compiler) {
  BuildRecipe recipe =
      parseConfig(fmt::format("{}={}:{}", candidateName, compiler.string(), b.request().flags),
                  b.work / "builds" / stepName(b, i));
  BuildOptions building;
  building.sourceDir = b.source;
  building.caseRunner = besideSelf("bench32-case");
  building.jobs = b.jobs;
  building.cancel = &interruptFlag();
  building.log = [&b](const std::string& line) { note(b, line); };
  try {
    const KeepOnInterrupt keep;
    const auto failed = buildPrograms(recipe, b.programs, building);
    if (interruptFlag()) throw Interrupted{};
    if (!failed.empty())
      return {{},
              fmt::format("the suite did not build with it: {}: {}", failed.begin()->first,
                          failed.begin()->second)};
  } catch (const BuildError& e) {
    if (interruptFlag()) throw Interrupted{};
    return {{}, fmt::format("the suite did not build with it: {}", e.what())};
  }
  return {recipe.info.buildDir, {}};
}

// The revision's compiler and its build of the suite, or why there is none.
Built buildRevision(const Bisection& b, std::size_t i) {
  const Built compiler = buildCompiler(b, i);
  if (!compiler.problem.empty()) return compiler;
  return buildSuite(b, i, compiler.path);
}

// One session of the builds: exact metrics need one verified run of each program; a
// time is decided against the baseline's runs, round by round.
MeasuredSession measureBuilds(const Bisection& b, std::size_t i,
                              const std::vector<std::pair<std::string, fs::path>>& builds,
                              const fs::path& results) {
  RunOptions run;
  run.programs = b.programs;
  run.workloads = {b.request().workload};
  for (const auto& [name, dir] : builds) run.builds.push_back(name + "=" + dir.string());
  run.noBuild = true;
  run.json = results.string();
  run.db = b.db;
  run.revision = shortCommit(b.log.commits[i]);
  if (b.exact()) {
    run.settings.runs = 1;
    run.settings.warmup = 0;
    run.settings.instructions = b.metric->id == Metric::instructions;
  } else {
    DecidePlan decide;
    decide.baseline = goodName;
    decide.metric = b.metric->name;
    decide.resolution = b.request().resolution;
    decide.budgetSeconds = b.request().budgetSeconds;
    run.settings.decide = decide;
  }
  fs::create_directories(results.parent_path());
  MeasuredSession measured = measureSession(run, b.source, b.commandLine, b.console);
  if (interruptFlag()) throw Interrupted{};
  if (measured.error) std::rethrow_exception(measured.error);
  return measured;
}

// "miscompiles hailstone (stdout differs at ...)" for the first program of the
// configuration whose run failed; empty when none did.
std::string miscompiled(const Results& results, const std::string& config) {
  for (const auto& u : results.units)
    if (u.config == config && !u.ok())
      return fmt::format("miscompiles {} ({})", u.program,
                         u.failure.empty() ? "it did not run" : u.failure);
  return {};
}

double exactValue(const Results& results, const std::string& config, const std::string& program,
                  Metric metric) {
  const UnitResult* unit = nullptr;
  for (const auto& u : results.units)
    if (u.config == config && u.program == program) unit = &u;
  const auto values = unit ? metricValues(*unit, metric) : std::vector<double>{};
  return values.empty() ? NAN : values.front();
}

std::string exactText(const Bisection& b, double value) {
  return fmt::format("{} {}", formatGrouped(value), b.metric->unit);
}

// Each moved program's verdict on the candidate against the good end, in the session.
std::vector<ProgramComparison> timeVerdicts(const Results& results, const std::string& other) {
  const std::vector<Results> files{results};
  const auto series = collectSeries(files, {""});
  const Series* good = nullptr;
  const Series* candidate = nullptr;
  for (const auto& s : series) {
    if (s.config == goodName) good = &s;
    if (s.config == other) candidate = &s;
  }
  if (!good || !candidate) return {};
  CompareSettings settings;
  settings.metric = metricNamed(results.decide->metric).id;
  settings.decide = &*results.decide;
  return compare(*good, *candidate, settings).programs;
}

std::string verdictText(const Bisection& b, const ProgramComparison& row) {
  if (!row.decision) return fmt::format("{}: {}", row.program, row.problem);
  const PairedDecision& d = *row.decision;
  return fmt::format("{} {} {:.3f} {} {}", row.program, b.metric->name, d.ratio,
                     formatInterval(d.interval.low, d.interval.high), decisionName(d.state));
}

// The ends built and measured in one session, and shown to differ; throws BadInput with
// one line when they cannot be.
void measureEnds(Bisection& b) {
  std::vector<fs::path> builds;
  for (const std::size_t end : {std::size_t{0}, b.last()}) {
    const Built built = buildRevision(b, end);
    if (!built.problem.empty())
      throw BadInput(fmt::format("{} {}: {}", end == 0 ? "--good" : "--bad",
                                 shortCommit(b.log.commits[end]), built.problem));
    builds.push_back(built.path);
  }
  const fs::path file = b.work / "steps" / "ends.json";
  const MeasuredSession m =
      measureBuilds(b, b.last(), {{goodName, builds[0]}, {badName, builds[1]}}, file);
  for (const auto& [config, option] : {std::pair{goodName, "--good"}, {badName, "--bad"}})
    if (const std::string wrong = miscompiled(m.results, config); !wrong.empty())
      throw BadInput(fmt::format("{} {}: {}", option,
                                 shortCommit(b.log.commits[config == goodName ? 0 : b.last()]),
                                 wrong));
  BisectLog& log = b.log;
  log.goodBuild = builds[0].string();
  log.badBuild = builds[1].string();
  log.endsResults = file.string();
  std::vector<std::string> differences;
  if (b.exact()) {
    for (const auto& p : b.programs) {
      const double good = exactValue(m.results, goodName, p, b.metric->id);
      const double bad = exactValue(m.results, badName, p, b.metric->id);
      if (std::isnan(good) || std::isnan(bad)) continue;
      log.goodValues[p] = good;
      log.badValues[p] = bad;
      if (good == bad) continue;
      log.moved[p] = bad > good ? "more" : "less";
      differences.push_back(fmt::format("{} {} to {} ({:+.2f}%)", p, exactText(b, good),
                                        exactText(b, bad), (bad / good - 1) * 100));
    }
  } else {
    for (const auto& row : timeVerdicts(m.results, badName)) {
      if (!row.decision) continue;
      const Decision d = row.decision->state;
      if (d == Decision::slower || d == Decision::faster) {
        log.moved[row.program] = decisionName(d);
        differences.push_back(verdictText(b, row));
      }
    }
  }
  if (log.moved.empty())
    throw NothingToBisect(
        fmt::format("the ends do not differ in {} on {}{}: there is nothing to bisect",
                    b.metric->name, plural(b.programs.size(), "program"),
                    b.exact() ? ""
                              : fmt::format(" (every verdict equal or open at {:g}%)",
                                            b.request().resolution * 100)));
  log.endsMeasured = true;
  writeLog(b);
  writeStandardOutput(fmt::format("ends: {} good, {} bad; they differ on {}\n",
                                  shortCommit(log.commits.front()), shortCommit(log.commits.back()),
                                  joinNames(differences)));
  std::fflush(stdout);
}

// A measured revision against the ends: like the bad end if any program that moved
// moved as it did, like the good end if every one is as there; else open.
BisectStep classify(const Bisection& b, std::size_t i, const MeasuredSession& m) {
  BisectStep step;
  step.index = i;
  if (std::string wrong = miscompiled(m.results, candidateName); !wrong.empty()) {
    step.outcome = Outcome::miscompiled;
    step.detail = wrong;
    return step;
  }
  bool anyBad = false, allGood = true;
  std::vector<std::string> parts;
  if (b.exact()) {
    for (const auto& [p, way] : b.log.moved) {
      const double value = exactValue(m.results, candidateName, p, b.metric->id);
      step.values[p] = value;
      const double good = exactValue(m.results, goodName, p, b.metric->id);
      const double bad = exactValue(m.results, badName, p, b.metric->id);
      // A value that is neither end's has still left the good end's: a change has come.
      const bool likeGood = value == good;
      anyBad = anyBad || !likeGood;
      allGood = allGood && likeGood;
      parts.push_back(fmt::format("{} {} ({})", p, exactText(b, value),
                                  likeGood       ? "the good end's"
                                  : value == bad ? "the bad end's"
                                                 : fmt::format("{:+.2f}% on the good end's, "
                                                               "neither end's",
                                                               (value / good - 1) * 100)));
    }
  } else {
    for (const auto& row : timeVerdicts(m.results, candidateName)) {
      const auto moved = b.log.moved.find(row.program);
      if (moved == b.log.moved.end()) continue;
      const Decision d = row.decision ? row.decision->state : Decision::open;
      if (row.decision) step.values[row.program] = row.decision->ratio;
      anyBad = anyBad || decisionName(d) == moved->second;
      allGood = allGood && d == Decision::equal;
      parts.push_back(verdictText(b, row));
    }
  }
  step.outcome = anyBad ? Outcome::bad : allGood ? Outcome::good : Outcome::open;
  step.detail = joinNames(parts);
  return step;
}

BisectStep measureStep(Bisection& b, std::size_t i) {
  const Built built = buildRevision(b, i);
  if (!built.problem.empty()) {
    BisectStep step;
    step.index = i;
    step.outcome = Outcome::skipped;
    step.detail = built.problem;
    return step;
  }
  std::vector<std::pair<std::string, fs::path>> builds{{goodName, b.log.goodBuild}};
  if (b.exact()) builds.emplace_back(badName, b.log.badBuild);
  builds.emplace_back(candidateName, built.path);
  const fs::path file = b.work / "steps" / (stepName(b, i) + ".json");
  const MeasuredSession m = measureBuilds(b, i, builds, file);
  BisectStep step = classify(b, i, m);
  step.results = file.string();
  step.session = m.sessionId;
  return step;
}

std::string stepLine(const Bisection& b, const BisectStep& step) {
  const std::string what = step.outcome == Outcome::miscompiled
                               ? step.detail
                               : fmt::format("{}: {}", outcomeName(step.outcome), step.detail);
  return fmt::format("{}: {}", revisionName(b, step.index), what);
}

// The results file and configuration a revision's build was measured in: the good
// end's in the ends' session.
std::string measuredSide(const Bisection& b, std::size_t i) {
  if (i == 0) return b.log.endsResults + ":" + goodName;
  if (i == b.last()) return b.log.endsResults + ":" + badName;
  for (const auto& s : b.log.steps)
    if (s.index == i) return s.results + ":" + candidateName;
  return {};
}

// The program that moved most, to explain.
std::string mostMoved(const Bisection& b) {
  std::string best;
  double most = -1;
  for (const auto& [p, way] : b.log.moved) {
    double change = 0;
    if (b.exact()) {
      change = std::fabs(std::log(b.log.badValues.at(p) / b.log.goodValues.at(p)));
    } else {
      for (const auto& s : b.log.steps)
        if (s.outcome == Outcome::bad && s.values.count(p))
          change = std::max(change, std::fabs(std::log(s.values.at(p))));
    }
    if (change > most) most = change, best = p;
  }
  return best;
}

std::string oneLineSubject(const Bisection& b, std::size_t i) {
  return oneLine(commitSubject(b.request().repo, b.log.commits[i]), 100);
}

// The explain table of the program that moved most, between the two revisions' builds
// as they were measured, each side named by its commit.
void explainBetween(const Bisection& b, std::size_t good, std::size_t bad) {
  ExplainOptions explain;
  explain.program = mostMoved(b);
  // Instructions are explained on the workload measured; a time on the smoke workload,
  // as callgrind runs some fifty times slower.
  explain.workload = b.metric->id == Metric::instructions ? b.request().workload : "smoke";
  for (const std::size_t i : {good, bad}) explain.sides.emplace_back('r', measuredSide(b, i));
  try {
    std::vector<Side> sides = explainSides(explain, b.source);
    sides[0].name = shortCommit(b.log.commits[good]);
    sides[1].name = shortCommit(b.log.commits[bad]);
    const ProgramInfo program = findProgram(b.source, explain.program);
    const auto expected = std::make_shared<Expectation>(
        workloadNamed(loadWorkloads(program.workloadsFile()), explain.program, explain.workload));
    for (auto& side : sides) profileSide(side, explain, expected);
    const Explanation difference = sideDifference(sides[0], sides[1]);
    writeStandardOutput(
        "\n" + textExporter().render(explanationDocument(
                   difference, {explain.program, explain.workload, sides[0].name, sides[1].name})));
  } catch (const SideFailed& failed) {
    fmt::print(stderr, "bench32: no explain table: {}\n", failed.what());
  }
}

int answer(const Bisection& b) {
  const auto outcomes = outcomesOf(b.log);
  const Bracket bracket = bracketOf(outcomes);
  const auto measured =
      std::count_if(b.log.steps.begin(), b.log.steps.end(),
                    [](const BisectStep& s) { return s.outcome != Outcome::skipped; });
  const auto unclassified =
      std::count_if(b.log.steps.begin(), b.log.steps.end(),
                    [](const BisectStep& s) { return !classified(s.outcome); });
  writeStandardOutput(fmt::format("{} measured after the ends ({} not classified)\n",
                                  plural(std::size_t(measured), "revision"), unclassified));
  const auto& commits = b.log.commits;
  if (!bracket.unclassified.empty()) {
    std::vector<std::string> names;
    for (const std::size_t i : firstBadCandidates(outcomes)) names.push_back(revisionName(b, i));
    writeStandardOutput(fmt::format(
        "the first bad revision is one of {}: the others between {} and {} could not be "
        "classified\n",
        joinNames(names), revisionName(b, bracket.lastGood), revisionName(b, bracket.firstBad)));
    return exitFailed;
  }
  writeStandardOutput(fmt::format("first bad revision: {} {} \"{}\"\n",
                                  revisionName(b, bracket.firstBad), commits[bracket.firstBad],
                                  oneLineSubject(b, bracket.firstBad)));
  writeStandardOutput(fmt::format("last good revision: {}\n", revisionName(b, bracket.lastGood)));
  std::fflush(stdout);
  explainBetween(b, bracket.lastGood, bracket.firstBad);
  return exitOk;
}

} // namespace

int bisectRevisions(const RevisionBisectOptions& options, const fs::path& source,
                    const std::vector<std::string>& commandLine, const MeasureHooks& console) {
  Bisection b;
  b.source = source;
  b.db = options.db;
  b.jobs = options.jobs;
  b.commandLine = commandLine;
  b.console = console;
  b.work =
      fs::absolute(options.work.empty() ? buildRootOf(source) / "bisect" : fs::path(options.work));
  b.logFile = options.log.empty() ? b.work / "bisect.json" : fs::absolute(options.log);
  if (options.resume) {
    if (!fs::exists(b.logFile))
      throw BadInput(fmt::format("--resume: no bisect log at {}", b.logFile.string()));
    b.log = loadBisectLog(b.logFile);
  } else {
    if (fs::exists(b.logFile))
      throw BadInput(fmt::format("{} holds a bisection already: go on with --resume, or give "
                                 "another --work",
                                 b.logFile.string()));
    b.log.request = options.request;
    b.log.request.repo = fs::absolute(options.request.repo).lexically_normal().string();
  }
  checkRequest(b);
  if (!options.resume) b.log = startLog(b.log.request);
  fs::create_directories(b.work);
  writeLog(b);
  writeStandardOutput(fmt::format("bisecting {} revisions between {} (good) and {} (bad) on {}\n",
                                  b.log.commits.size() - 2, shortCommit(b.log.commits.front()),
                                  shortCommit(b.log.commits.back()), b.metric->name));
  for (const auto& step : b.log.steps)
    writeStandardOutput(fmt::format("{} (logged)\n", stepLine(b, step)));
  std::fflush(stdout);
  try {
    // Every stage of a step polls the interrupt, so that it ends the step, not the log.
    const KeepOnInterrupt keep;
    if (!b.log.endsMeasured) measureEnds(b);
    while (const auto next = nextRevision(outcomesOf(b.log))) {
      b.log.steps.push_back(measureStep(b, *next));
      writeLog(b);
      writeStandardOutput(fmt::format("{}\n", stepLine(b, b.log.steps.back())));
      std::fflush(stdout);
    }
  } catch (const Interrupted&) {
    fmt::print(stderr,
               "bench32: interrupted; {} keeps every finished step: go on with "
               "bisect --resume\n",
               b.logFile.string());
    return interruptedStatus();
  } catch (const NothingToBisect& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitFailed;
  }
  return answer(b);
}

} // namespace bench32
