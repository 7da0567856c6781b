// `run`: plan, build, measure, then print and write the results. The results file is
// written before the first build and after every round, so nothing measured is lost.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "build/pgo.hpp"
#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/option_values.hpp"
#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/remote.hpp"
#include "exec/tool.hpp"
#include "exec/words.hpp"
#include "model/metrics.hpp"
#include "model/results_file.hpp"
#include "output/comparison_table.hpp"
#include "output/export/exporter.hpp"
#include "run/collectors.hpp"
#include "run/environment.hpp"
#include "run/plan.hpp"
#include "run/recorder.hpp"
#include "run/rounds.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

struct Console {
  bool tty = isatty(STDERR_FILENO);
  // A status line, replaced as it changes (on a terminal only).
  void progress(const std::string& line) const {
    if (tty) fmt::print(stderr, "\r\033[K{}", line), std::fflush(stderr);
  }
  void note(const std::string& line) const {
    fmt::print(stderr, "{}{}\n", tty ? "\r\033[K" : "", line);
    std::fflush(stderr);
  }
};

// One input file per workload, shared by every configuration's runs.
std::map<std::pair<std::string, std::string>, std::shared_ptr<const MemoryFile>>
inputFiles(const Plan& plan) {
  std::map<std::pair<std::string, std::string>, std::shared_ptr<const MemoryFile>> inputs;
  for (const auto& [key, expected] : plan.expected) {
    auto file = std::make_shared<MemoryFile>("bench32-input");
    file->append(expected->input);
    inputs[key] = file;
  }
  return inputs;
}

// Builds one configuration as its kind calls for; the programs that failed, with why.
std::map<std::string, std::string> buildTarget(BuildTarget& target, const Plan& plan,
                                               const RunOptions& options,
                                               const BuildOptions& buildOptions) {
  std::vector<std::string> programNames;
  for (const auto& p : plan.programs) programNames.push_back(p.name);
  // An anchor is the same executables every session: never rebuilt.
  if (options.noBuild || target.kind == BuildKind::pinned) {
    describeBuild(target.info);
    if (target.profileGuided) describeProfileGuided(target, programNames);
    return {};
  }
  if (!target.profileGuided) return buildPrograms(target, programNames, buildOptions);
  TrainingOptions training{plan.programs, runConditions(options.settings)};
  training.running.runUnder = shellWords(options.runUnder);
  return buildProfileGuided(target, training, buildOptions);
}

// A unit's executables (its code layouts' in order), or the reason it cannot run.
std::vector<fs::path> unitExecutables(UnitResult& u, const ConfigInfo& info, int layouts,
                                      const std::map<std::string, std::string>& buildFailures) {
  // A program's executable is named after its folder; its code layouts after both.
  std::vector<fs::path> executables;
  for (int k = 0; k < std::max(layouts, 1); ++k)
    executables.push_back(programExecutable(info, u.program, layouts > 0 ? k : -1));
  u.binary = executables.front().string();
  if (auto failure = buildFailures.find(u.program); failure != buildFailures.end())
    u.failure = failure->second;
  for (const auto& exe : executables)
    if (u.failure.empty() && access(exe.c_str(), X_OK) != 0)
      u.failure = fmt::format("no executable at {}", exe.string());
  return executables;
}

// Builds each configuration and plans a run of every program that built.
std::vector<PlannedUnit> buildAndPlan(Plan& plan, Results& results, const RunOptions& options,
                                      const fs::path& source, const Console& console,
                                      const std::function<void()>& save) {
  BuildOptions buildOptions;
  buildOptions.sourceDir = source;
  buildOptions.caseRunner = besideSelf("bench32-case");
  buildOptions.jobs = options.jobs;
  buildOptions.layouts = options.settings.layouts;
  buildOptions.cancel = &interruptFlag();
  buildOptions.log = [&](const std::string& line) { console.note(line); };
  const auto inputs = inputFiles(plan);
  std::vector<PlannedUnit> planned;
  for (auto& target : plan.targets) {
    const auto buildFailures = buildTarget(target, plan, options, buildOptions);
    // Every configuration is in the results from the start (a file saved mid-build names
    // each one its units name); its entry is completed once it is built.
    for (auto& c : results.configs)
      if (c.name == target.info.name) c = target.info;
    for (std::size_t i = 0; i < results.units.size(); ++i) {
      UnitResult& u = results.units[i];
      if (u.config != target.info.name) continue;
      const auto executables =
          unitExecutables(u, target.info, options.settings.layouts, buildFailures);
      if (!u.failure.empty()) {
        u.status = Status::failed;
        console.note(failureLine(u));
        continue;
      }
      for (const auto& exe : executables) u.layouts.push_back({exe.string(), fileDigest(exe), {}});
      // The program's own binary is layout 0's; a session without layouts lists none.
      u.binaryXxh3 = u.layouts.front().xxh3;
      if (options.settings.layouts == 0) u.layouts.clear();
      const std::pair key{u.program, u.workload};
      planned.push_back({plan.expected.at(key), inputs.at(key), executables, i});
      collectBuilt(options.settings, planned.back(), u);
    }
    save();
  }
  return planned;
}

// A remote target: described over one connection, then given the timer built for it,
// every planned executable and input, each copy checked there.
std::unique_ptr<RemoteSession> remoteSession(const RunOptions& options, const fs::path& source,
                                             const Console& console, Results& results) {
  const RemoteTarget target = parseRemote(options.remote, options.ssh);
  const auto described = describeTarget(target);
  results.target = described;
  results.target["remote"] = target.host + ":" + target.dir;
  console.note(fmt::format("target {}: {}, {}, {} cores", target.host, described.at("machine"),
                           described.count("cpu") ? described.at("cpu") : "CPU unknown",
                           described.count("cores") ? described.at("cores") : "?"));
  auto session = std::make_unique<RemoteSession>(target);
  session->addTimer(timerFor(described.at("machine"), source));
  return session;
}

void copyToTarget(RemoteSession& session, const std::vector<PlannedUnit>& planned,
                  const Results& results, const Console& console) {
  for (const auto& unit : planned) {
    for (const auto& exe : unit.executables)
      session.addExecutable(results.units[unit.resultIndex].config, exe);
    session.addInput(*unit.input);
  }
  console.note(fmt::format("copying to {}:{}", session.target().host, session.target().dir));
  session.copyAndCheck();
}

// Prints the table, writes the exports and says how the run went; the exit status
// follows: interrupted, some unit failed, or all well.
int finishRun(const Results& results, const RunOptions& options, const SessionRecorder* recorder) {
  const Document document = runDocument(results);
  writeStandardOutput(textExporter().render(document));
  if (results.decide) writeStandardOutput("\n" + textExporter().render(decisionDocument(results)));
  for (const auto& [format, file] : options.exports)
    writeFile(file, exporterNamed(format).render(document));
  std::size_t runs = 0;
  for (const auto& u : results.units) runs += u.samples.size() + u.warmup.size();
  const auto failures = failureLines(results);
  fmt::print(stderr, "{}{}\n", runSummary(runs, failures.size(), results.units.size()),
             options.json.empty() ? "" : fmt::format("; results in {}", options.json));
  if (recorder)
    fmt::print(stderr, "session {} written to {}\n", recorder->id(),
               store::withoutPassword(options.db));
  if (!results.complete) {
    fmt::print(stderr, "bench32: interrupted; the results so far are kept\n");
    return interruptedStatus();
  }
  return failures.empty() ? exitOk : exitFailed;
}

// What to run: workloads and programs.
void addSelectionOptions(CLI::App& app, RunOptions& run) {
  app.add_option("-w,--workload", run.workloads, "Workloads to run (smoke, ref, train)")
      ->delimiter(',')
      ->capture_default_str();
  app.add_option("-p,--programs", run.programs, "Programs to run, or globs (default: all)")
      ->delimiter(',');
  app.add_option("--exclude", run.exclude, "Programs (or globs) not to run")->delimiter(',');
}

// How many runs, and how long each may take.
void addLengthOptions(CLI::App& app, RunSettings& s) {
  app.add_option("-n,--runs", s.runs,
                 "Timed runs per program and configuration (default: adaptive)");
  app.add_option("--warmup", s.warmup, "Verified untimed runs first")->capture_default_str();
  app.add_option("--min-runs", s.minRuns, "Adaptive: at least this many runs")
      ->capture_default_str();
  app.add_option("--max-runs", s.maxRuns, "Adaptive: at most this many runs")
      ->capture_default_str();
  addNumberOption(app, "--min-time", s.minTime,
                  "Adaptive: stop once this many seconds were timed...");
  addNumberOption(app, "--precision", s.precision,
                  "...or once the median's 95% interval is this tight (relative half-width)");
  addNumberOption(app, "--timeout", s.timeout, "Seconds before a run's process group is killed");
}

// Verdict-driven runs, as the command line gives them.
struct DecideOptions {
  bool decide = false, duet = false;
  std::string resolution = "1", budget = "5m", baseline, metric = "cpu";
};

void addDecideOptions(CLI::App& app, DecideOptions& d) {
  app.add_flag("--decide", d.decide,
               "Run each program until its comparison with the baseline is decided (slower, "
               "faster or equal within --resolution) or --budget is spent");
  app.add_option("--resolution", d.resolution,
                 "PCT: --decide's smallest change to find; equal means within it")
      ->capture_default_str();
  app.add_option("--budget", d.budget, "DURATION: --decide's measuring time in all (90s, 5m, 1h)")
      ->capture_default_str();
  app.add_option("--baseline", d.baseline,
                 "NAME: the configuration --decide compares with "
                 "(default: the first)");
  app.add_flag("--duet", d.duet,
               "With --decide: run the configurations of a program at the same moment, each on "
               "a processor of its own (of --cpu), swapping processors every round");
  app.add_option("--metric", d.metric,
                 "What --decide's verdicts are on: cpu (user + sys, which waiting for a "
                 "processor leaves out), wall, user...")
      ->capture_default_str();
}

// The plan of a verdict-driven run; the baseline's name is checked once the
// configurations are known.
std::optional<DecidePlan> decidePlan(const CLI::App& app, const DecideOptions& d,
                                     const RunSettings& s) {
  for (const char* option : {"--resolution", "--budget", "--baseline", "--metric", "--duet"})
    if (!d.decide && app.count(option)) throw BadInput(fmt::format("{} needs --decide", option));
  if (!d.decide) return std::nullopt;
  if (app.count("--runs"))
    throw BadInput("--decide cannot be used with --runs: it decides when to stop");
  if (s.layouts > 0 || s.copies > 1)
    throw BadInput("--decide pairs one run of each configuration a round; it cannot be used with "
                   "--layouts or --copies");
  DecidePlan plan;
  plan.resolution = parsePercent(d.resolution, "--resolution");
  plan.budgetSeconds = parseDuration(d.budget, "--budget");
  plan.baseline = d.baseline;
  const MetricInfo& metric = metricNamed(d.metric);
  if (!perRun(metric))
    throw BadInput(
        fmt::format("--decide needs a metric with a value per run; {} is not one", metric.name));
  plan.metric = metric.name;
  return plan;
}

// What is built, and where.
void addBuildOptions(CLI::App& app, RunOptions& run) {
  app.add_option("-c,--config", run.configs,
                 "NAME=COMPILER:FLAGS, built in build/cfg-NAME (repeatable)");
  app.add_option("--pgo", run.pgo,
                 "Build these --config configurations profile-guided: instrumented, trained on "
                 "every program's train workload, rebuilt with the profiles")
      ->delimiter(',');
  app.add_option("-b,--build", run.builds, "NAME=BUILD_DIR, an existing build folder (repeatable)");
  app.add_option("--anchor", run.anchor,
                 "NAME=BUILD_DIR: a fixed build (the same executables every day), run as it is "
                 "beside the configurations on the same rounds, so that history can read them "
                 "relative to it");
  app.add_option("--build-root", run.buildRoot,
                 "Where --config builds go (default: the source tree's build/)")
      ->check(nonEmptyPath);
  app.add_flag("--no-build", run.noBuild, "Run what is built; build nothing");
  app.add_option("-j,--jobs", run.jobs, "Parallel build jobs");
}

// How each run runs: under what, in which code layouts, on which processors, counted how.
void addRunningOptions(CLI::App& app, RunOptions& run, std::string& cpuList) {
  RunSettings& s = run.settings;
  app.add_option("--run-under", run.runUnder,
                 "Command prefix for every run (an emulator or a tool)");
  app.add_option("--layouts", s.layouts,
                 "Build every program in N code layouts (N >= 2) and rotate the runs through "
                 "them, each with a random environment padding; -n and the adaptive bounds count "
                 "runs per layout");
  app.add_option("--cpu", cpuList,
                 "Run every program (not the harness) on these processors only: 0, 0,2 or 1-3");
  app.add_option("--copies", s.copies,
                 "Start N copies of the program at once for every run, each verified, each "
                 "alone on one --cpu processor in turn; reports the rate too. -n and the "
                 "adaptive bounds count rounds")
      ->capture_default_str();
  app.add_option("--remote", run.remote,
                 "[USER@]HOST[:DIR]: copy the programs there and measure every run there "
                 "(DIR default: " +
                     std::string(defaultRemoteDir) + ")");
  app.add_option("--ssh", run.ssh,
                 "The command every connection to --remote runs, copies "
                 "included, e.g. 'ssh -F FILE'")
      ->capture_default_str();
  app.add_flag("--instructions", s.instructions,
               "Also count instructions (perf, else callgrind: slow)");
  app.add_option("--compile-runs", s.compileRuns,
                 "Also measure N compiles and links of every program with its build's own "
                 "commands, each proven to give the built executable (0: none)")
      ->capture_default_str();
}

// Where the results go: files, a database, and the session's place among others there.
void addOutputOptions(CLI::App& app, RunOptions& run,
                      std::map<std::string, std::string>& exportFiles) {
  app.add_option("--json", run.json, "Write every sample and the environment here")
      ->check(nonEmptyPath);
  for (const Exporter* e : exporters())
    if (!e->fileOption().empty())
      app.add_option("--" + e->fileOption(), exportFiles[e->name()],
                     "Write the table as " + e->name() + " here")
          ->check(nonEmptyPath);
  app.add_option("--db", run.db, std::string("Also write the session into this ") + databaseHelp)
      ->check(nonEmptyPath);
  app.add_option("--shard", run.shard,
                 "K/N: run the K-th of N slices of the (configuration, program, workload) units");
  app.add_option("--revision", run.revision,
                 "File the session under this revision label instead of the git revision");
}

// What cannot be done on a remote target, each refused with one line.
void refuseWithRemote(const RunOptions& run) {
  if (run.settings.instructions)
    throw BadInput("--instructions cannot be used with --remote: instructions are counted here, "
                   "not on the target");
  if (!run.pgo.empty())
    throw BadInput("--pgo cannot be used with --remote: the training runs would be this "
                   "machine's, not the target's");
  if (run.settings.layouts > 0)
    throw BadInput("--layouts cannot be used with --remote: the environment padding of each run "
                   "is not carried to the target");
}

} // namespace

std::string runSummary(std::size_t verifiedRuns, std::size_t failed, std::size_t measurements) {
  const auto plural = [](std::size_t n, const char* word) {
    return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
  };
  // The runs kept are the verified ones: a failed run is never kept, so "all verified"
  // is only true when nothing failed, and says nothing when nothing ran.
  std::string runs = verifiedRuns == 0 ? "no run verified"
                     : failed == 0     ? plural(verifiedRuns, "run") + ", all verified"
                                       : plural(verifiedRuns, "run") + " verified";
  if (failed == 0) return verifiedRuns == 0 ? "nothing was run" : runs;
  return fmt::format("{}; {} of {} failed", runs, failed, plural(measurements, "measurement"));
}

int runCommand(const RunOptions& options, const fs::path& source,
               const std::vector<std::string>& commandLine) {
  const Console console;
  Results results;
  std::unique_ptr<SessionRecorder> recorder;
  // A results file that is not a regular file (a pipe, a device) is written once, at the
  // end: rewritten, it would hold a copy per round.
  const bool rewritable = !options.json.empty() && replacedWhenWritten(options.json);
  auto checkpoint = [&] {
    if (rewritable) saveResults(options.json, results);
    if (recorder) recorder->checkpoint(results);
  };
  auto save = [&] {
    if (!options.json.empty()) saveResults(options.json, results);
    if (recorder) recorder->checkpoint(results);
  };
  try {
    Plan plan = makePlan(options, source);
    markProfileGuided(plan.targets, options.pgo, plan.workloads, options.settings.layouts);
    results = startResults(plan, options, source, commandLine);
    if (options.settings.compileRuns > 0)
      results.settings["compile_runs"] = options.settings.compileRuns;
    applyFleetOptions(plan, results, options);
    if (!options.db.empty()) recorder = std::make_unique<SessionRecorder>(options.db);
    checkpoint();
    std::unique_ptr<RemoteSession> remote;
    results.target = hostTarget(results.environment);
    if (!options.remote.empty()) remote = remoteSession(options, source, console, results);
    // Builds and the measuring session poll the interrupt and keep what they have;
    // everything else ends at once when interrupted.
    const auto planned = [&] {
      const KeepOnInterrupt keep;
      return buildAndPlan(plan, results, options, source, console, checkpoint);
    }();
    if (interruptFlag()) throw BuildError("interrupted");
    Runner runner = runProcess;
    if (remote) {
      copyToTarget(*remote, planned, results, console);
      runner = [&remote](const RunRequest& request) { return remote->run(request); };
    }

    MeasureHooks hooks;
    hooks.progress = [&](const std::string& line) { console.progress(line); };
    hooks.note = [&](const std::string& line) { console.note(line); };
    // On a terminal the progress line carries the estimate; elsewhere a line per round.
    if (!console.tty) hooks.round = hooks.note;
    hooks.checkpoint = checkpoint;
    RunSettings settings = options.settings;
    settings.runUnder = shellWords(options.runUnder);
    settings.decide = results.decide;
    settings.anchor = results.anchor;
    settings.startGate = !remote;
    const bool finished = [&] {
      const KeepOnInterrupt keep;
      return measureUnits(results, planned, settings, runner, hooks);
    }();
    console.progress("");
    results.complete = finished;
    results.environment["load_after"] = loadAverage();
    if (!finished) results.stopReason = "interrupted";
    save();
  } catch (const std::exception& e) {
    // Keep what was measured, say what stopped us, and exit with the status its kind
    // calls for.
    console.progress("");
    results.stopReason = e.what();
    try {
      if (!results.units.empty()) save();
    } catch (const std::exception&) {
    }
    fmt::print(stderr, "bench32: {}\n", e.what());
    return interruptFlag() ? interruptedStatus() : exitStatusFor(e);
  }
  return finishRun(results, options, recorder.get());
}

CommandRunner addRunCommand(CLI::App& app) {
  auto run = std::make_shared<RunOptions>();
  auto cpuList = std::make_shared<std::string>();
  auto exportFiles = std::make_shared<std::map<std::string, std::string>>();
  auto decide = std::make_shared<DecideOptions>();
  addSelectionOptions(app, *run);
  addLengthOptions(app, run->settings);
  addDecideOptions(app, *decide);
  addBuildOptions(app, *run);
  addRunningOptions(app, *run, *cpuList);
  addOutputOptions(app, *run, *exportFiles);
  return [&app, run, cpuList, exportFiles, decide](const CommandContext& context) {
    const RunSettings& s = run->settings;
    checkBounds(app, {{"--runs", [&] { return double(s.runs); }, 1},
                      {"--warmup", [&] { return double(s.warmup); }, 0},
                      {"--min-runs", [&] { return double(s.minRuns); }, 1},
                      {"--max-runs", [&] { return double(s.maxRuns); }, 1},
                      {"--min-time", [&] { return s.minTime; }, 0},
                      {"--precision", [&] { return s.precision; }, 0},
                      {"--timeout", [&] { return s.timeout; }, 0.001, 1e6},
                      {"--jobs", [&] { return double(run->jobs); }, 1},
                      {"--layouts", [&] { return double(s.layouts); }, 2, 1000},
                      {"--compile-runs", [&] { return double(s.compileRuns); }, 0, 1000},
                      {"--copies", [&] { return double(s.copies); }, 1, 256}});
    if (!s.runs && s.minRuns > s.maxRuns) throw BadInput("--min-runs is above --max-runs");
    if (!run->remote.empty()) refuseWithRemote(*run);
    run->settings.decide = decidePlan(app, *decide, s);
    run->settings.duet = decide->duet;
    if (s.duet) {
      if (!run->remote.empty())
        throw BadInput("--duet cannot be used with --remote: its start gate is this machine's");
      const auto processors = app.count("--cpu") ? usableCpus(*cpuList) : allowedCpus();
      if (processors.size() < 2)
        throw BadInput("--duet needs two processors or more (--cpu, or this process's own)");
    }
    // The processors of a remote target are its own: the list is only read here.
    if (app.count("--cpu"))
      run->settings.cpus = run->remote.empty() ? usableCpus(*cpuList) : parseCpuList(*cpuList);
    if (!s.cpus.empty() && std::size_t(s.copies) > s.cpus.size())
      throw BadInput(fmt::format("--copies {} needs as many --cpu processors; {} given", s.copies,
                                 s.cpus.size()));
    for (auto& [format, file] : *exportFiles)
      if (!file.empty()) run->exports[format] = file;
    return runCommand(*run, context.source, context.commandLine);
  };
}

} // namespace bench32
