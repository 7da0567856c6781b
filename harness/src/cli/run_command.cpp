// `run`'s options: read, their ranges checked, and handed to the session as plain data
// (pipeline/run_session.hpp runs it).
#include <cstdlib>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/console.hpp"
#include "cli/option_values.hpp"
#include "exec/cpu_list.hpp"
#include "exec/remote.hpp"
#include "exec/words.hpp"
#include "model/metrics.hpp"
#include "output/export/exporter.hpp"
#include "pipeline/run_session.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

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
  addRelativeOption(app, "--precision", s.precision,
                    "...or once the median's 95% interval is within this of it (half-width)");
  addNumberOption(app, "--timeout", s.timeout, "Seconds before a run's process group is killed");
}

// The options that are read before the layers below see them: the prefix and the ssh
// command split into words, the remote host and the processors parsed, the export files
// collected.
struct RunCommandLine {
  RunOptions run;
  std::string runUnder, remote, ssh = "ssh", cpuList, color = "auto";
  bool quiet = false;
  std::map<std::string, std::string> exportFiles;
};

// Verdict-driven runs, as the command line gives them.
struct DecideOptions {
  bool decide = false, duet = false;
  std::string resolution = "1%", budget = "5m", baseline, metric = "cpu";
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
      ->capture_default_str()
      ->check(knownMetric());
}

// The plan of a verdict-driven run; the baseline's name and what it cannot be combined
// with are checked as the run is planned.
std::optional<DecidePlan> decidePlan(const CLI::App& app, const DecideOptions& d) {
  for (const char* option : {"--resolution", "--budget", "--baseline", "--metric", "--duet"})
    if (!d.decide && app.count(option)) throw BadInput(fmt::format("{} needs --decide", option));
  if (!d.decide) return std::nullopt;
  DecidePlan plan;
  plan.resolution = parseResolution(d.resolution);
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
                 "NAME=COMPILER:FLAGS, built in build/cfg-NAME (repeatable); brace groups "
                 "sweep: 'gcc-O{1,2,3}=g++:-O{1,2,3}' is three, the k-th choice of every "
                 "group going together");
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
void addRunningOptions(CLI::App& app, RunCommandLine& line) {
  RunSettings& s = line.run.settings;
  app.add_option("--run-under", line.runUnder,
                 "Command prefix for every run (an emulator or a tool)");
  app.add_option("--layouts", s.layouts,
                 "Build every program in N code layouts (N >= 2) and rotate the runs through "
                 "them, each with a random environment padding; -n and the adaptive bounds count "
                 "runs per layout");
  app.add_option("--cpu", line.cpuList,
                 "Run every program (not the harness) on these processors only: 0, 0,2 or 1-3");
  app.add_option("--copies", s.copies,
                 "Start N copies of the program at once for every run, each verified, each "
                 "alone on one --cpu processor in turn; reports the rate too. -n and the "
                 "adaptive bounds count rounds")
      ->capture_default_str();
  app.add_option("--remote", line.remote,
                 "[USER@]HOST[:DIR]: copy the programs there and measure every run there "
                 "(DIR default: " +
                     std::string(defaultRemoteDir) + ")");
  app.add_option("--ssh", line.ssh,
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
  app.add_option("--json", run.json,
                 "Write every sample and the environment here (-: standard output, and the "
                 "table to standard error)")
      ->check(nonEmptyPath);
  for (const Exporter* e : exporters())
    if (!e->fileOption().empty())
      app.add_option("--" + e->fileOption(), exportFiles[e->name()],
                     "Write the table as " + e->name() + " here (-: standard output)")
          ->check(nonEmptyPath);
  app.add_option("--db", run.db, std::string("Also write the session into this ") + databaseHelp)
      ->check(nonEmptyPath);
  app.add_option("--shard", run.shard,
                 "K/N: run the K-th of N slices of the (configuration, program, workload) units");
  app.add_option("--revision", run.revision,
                 "File the session under this revision label instead of the git revision");
}

// The options as the layers below take them, once their ranges are checked.
RunOptions runOptions(const CLI::App& app, RunCommandLine& line, const DecideOptions& decide) {
  RunOptions run = line.run;
  const RunSettings& s = run.settings;
  checkBounds(app, {{"--runs", [&] { return double(s.runs); }, 1},
                    {"--warmup", [&] { return double(s.warmup); }, 0},
                    {"--min-runs", [&] { return double(s.minRuns); }, 1},
                    {"--max-runs", [&] { return double(s.maxRuns); }, 1},
                    {"--min-time", [&] { return s.minTime; }, 0},
                    {"--precision", [&] { return s.precision; }, 0},
                    {"--timeout", [&] { return s.timeout; }, 0.001, 1e6},
                    {"--jobs", [&] { return double(run.jobs); }, 1},
                    {"--layouts", [&] { return double(s.layouts); }, 2, 1000},
                    {"--compile-runs", [&] { return double(s.compileRuns); }, 0, 1000},
                    {"--copies", [&] { return double(s.copies); }, 1, 256}});
  // A -c with brace groups is a sweep: one configuration for each choice.
  run.configs.clear();
  for (const auto& config : line.run.configs)
    for (auto& one : expandSweep(config)) run.configs.push_back(std::move(one));
  run.settings.decide = decidePlan(app, decide);
  run.settings.duet = decide.duet;
  run.settings.runUnder = shellWords(line.runUnder);
  if (!line.remote.empty()) run.remote = parseRemote(line.remote, line.ssh);
  // The processors of a remote host are its own: the list is only read here.
  if (app.count("--cpu"))
    run.settings.cpus = run.remote ? parseCpuList(line.cpuList) : usableCpus(line.cpuList);
  for (const auto& b : run.builds) checkBuildFolder(b, "-b", run.noBuild);
  if (!run.anchor.empty()) checkBuildFolder(run.anchor, "--anchor", true);
  // "-" is standard output; the table printed there then goes to standard error.
  for (const auto& [format, file] : line.exportFiles)
    if (!file.empty()) run.exports[format] = file;
  std::vector<std::pair<std::string, std::string*>> files{{"--json", &run.json}};
  for (const Exporter* e : exporters())
    if (const auto it = run.exports.find(e->name()); it != run.exports.end())
      files.emplace_back("--" + e->fileOption(), &it->second);
  takeStandardOutput(files);
  return run;
}

} // namespace

namespace {

// How the session tells its progress: a bar on a terminal, a time-stamped line per unit
// finished elsewhere, nothing with --quiet.
Console runConsole(const RunCommandLine& line) {
  Console console;
  console.quiet = line.quiet;
  console.stamped = true;
  console.color = line.color == "always" ||
                  (line.color == "auto" && console.tty && std::getenv("NO_COLOR") == nullptr);
  return console;
}

} // namespace

int runCommand(const RunOptions& options, const fs::path& source,
               const std::vector<std::string>& commandLine) {
  return runSession(options, source, commandLine, {});
}

CommandRunner addRunCommand(CLI::App& app) {
  auto line = std::make_shared<RunCommandLine>();
  auto decide = std::make_shared<DecideOptions>();
  addSelectionOptions(app, line->run);
  addLengthOptions(app, line->run.settings);
  addDecideOptions(app, *decide);
  addBuildOptions(app, line->run);
  addRunningOptions(app, *line);
  addOutputOptions(app, line->run, line->exportFiles);
  app.add_flag("-q,--quiet", line->quiet,
               "No progress and no notes: only the table, the summary and errors");
  app.add_option("--color", line->color,
                 "Colour the progress bar: auto (on a terminal, unless NO_COLOR is set), "
                 "always or never")
      ->capture_default_str()
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->type_name("WHEN");
  return [&app, line, decide](const CommandContext& context) {
    const RunOptions options = runOptions(app, *line, *decide);
    const Console console = runConsole(*line);
    MeasureHooks hooks;
    hooks.progress = [&](const std::string& text) { console.progress(text); };
    hooks.note = [&](const std::string& text) { console.note(text); };
    hooks.advance = [&](const Advance& a) { console.bar(a); };
    return runSession(options, context.source, context.commandLine, hooks);
  };
}

} // namespace bench32
