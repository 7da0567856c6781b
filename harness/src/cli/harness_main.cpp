// bench32-harness: lists, builds, runs, verifies, times, compares and reports the suite.
// The ./bench32 script forwards its commands here; see harness/README.md. This file
// only turns the command line into options; commands.hpp holds what each command does.
#include <algorithm>
#include <cstdio>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/commands.hpp"
#include "cli/store_commands.hpp"
#include "exec/errors.hpp"
#include "exec/process.hpp"
#include "exec/spawner.hpp"
#include "output/export/exporter.hpp"

#ifndef BENCH32_SOURCE_DIR
#define BENCH32_SOURCE_DIR "."
#endif
#ifndef BENCH32_VERSION
#define BENCH32_VERSION "unknown"
#endif

namespace fs = std::filesystem;
using namespace bench32;

namespace {

const std::vector<std::string> commandNames{"list",    "run",    "compare", "report", "show",
                                            "history", "triage", "import",  "export"};

// A number option's lower bound, with the message that names it plainly.
struct Bound {
  CLI::App* app;
  const char* option;
  double value;
  double low;
  double high; // inclusive; +inf: none
};

void checkBounds(const std::vector<Bound>& bounds) {
  for (const auto& b : bounds) {
    if (b.app->count(b.option) == 0) continue;
    if (b.high < INFINITY && !(b.value >= b.low && b.value <= b.high))
      throw BadInput(fmt::format("{} must be between {} and {}", b.option, b.low, b.high));
    if (!(b.value >= b.low)) throw BadInput(fmt::format("{} must be at least {}", b.option, b.low));
  }
}

// The first word that is not an option (or an option's value) must be a command.
void checkCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--source") {
      ++i;
      continue;
    }
    if (word.rfind("-", 0) == 0) continue;
    if (std::find(commandNames.begin(), commandNames.end(), word) != commandNames.end()) return;
    std::string known;
    for (const auto& c : commandNames) known += (known.empty() ? "" : ", ") + c;
    throw BadInput(fmt::format("unknown command \"{}\" (commands: {})", word, known));
  }
}

} // namespace

int main(int argc, char** argv) {
  startSpawner();
  CLI::App app{"bench32: build, run, verify, time, compare and report the benchmark suite",
               "bench32"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "bench32 " BENCH32_VERSION);
  app.footer("Through ./bench32 also: test [PRESET...] (build and run every test), setup "
             "(install what is missing). See harness/README.md.");
  std::string source = BENCH32_SOURCE_DIR;
  app.add_option("--source", source, "The suite's source tree")->capture_default_str();

  bool listJson = false, listFull = false;
  auto* listApp = app.add_subcommand("list", "List the programs and their workloads");
  listApp->add_flag("--json", listJson, "Print every program's facts as JSON, for tools");
  listApp->add_flag("--full", listFull, "With --json: each workload's input and exact output too");

  RunOptions run;
  auto* runApp = app.add_subcommand("run", "Build, run, verify and time the programs");
  runApp->add_option("-w,--workload", run.workloads, "Workloads to run (smoke, ref)")
      ->delimiter(',')
      ->capture_default_str();
  runApp->add_option("-p,--programs", run.programs, "Programs to run, or globs (default: all)")
      ->delimiter(',');
  runApp->add_option("--exclude", run.exclude, "Programs (or globs) not to run")->delimiter(',');
  runApp->add_option("-n,--runs", run.settings.runs,
                     "Timed runs per program and configuration (default: adaptive)");
  runApp->add_option("--warmup", run.settings.warmup, "Verified untimed runs first")
      ->capture_default_str();
  runApp->add_option("--min-runs", run.settings.minRuns, "Adaptive: at least this many runs")
      ->capture_default_str();
  runApp->add_option("--max-runs", run.settings.maxRuns, "Adaptive: at most this many runs")
      ->capture_default_str();
  runApp
      ->add_option("--min-time", run.settings.minTime,
                   "Adaptive: stop once this many seconds were timed...")
      ->capture_default_str();
  runApp
      ->add_option("--precision", run.settings.precision,
                   "...or once the median's 95% interval is this tight (relative half-width)")
      ->capture_default_str();
  runApp
      ->add_option("--timeout", run.settings.timeout,
                   "Seconds before a run's process group is killed")
      ->capture_default_str();
  runApp->add_option("-c,--config", run.configs,
                     "NAME=COMPILER:FLAGS, built in build/cfg-NAME (repeatable)");
  runApp->add_option("-b,--build", run.builds,
                     "NAME=BUILD_DIR, an existing build folder (repeatable)");
  runApp->add_option("--build-root", run.buildRoot,
                     "Where --config builds go (default: the source tree's build/)");
  runApp->add_flag("--no-build", run.noBuild, "Run what is built; build nothing");
  runApp->add_option("-j,--jobs", run.jobs, "Parallel build jobs");
  runApp->add_option("--run-under", run.runUnder,
                     "Command prefix for every run (an emulator or a tool)");
  runApp->add_option("--layouts", run.settings.layouts,
                     "Build every program in N code layouts (N >= 2) and rotate the runs "
                     "through them, each with a random environment padding; -n and the "
                     "adaptive bounds count runs per layout");
  std::string cpuList;
  runApp->add_option("--cpu", cpuList,
                     "Run every program (not the harness) on these processors only: 0, 0,2 "
                     "or 1-3");
  runApp->add_flag("--instructions", run.settings.instructions,
                   "Also count instructions (perf, else callgrind: slow)");
  runApp
      ->add_option("--compile-runs", run.compileRuns,
                   "Also measure N compiles and links of every program with its build's own "
                   "commands, each proven to give the built executable (0: none)")
      ->capture_default_str();
  runApp->add_option("--json", run.json, "Write every sample and the environment here");
  std::map<std::string, std::string> exportFiles;
  for (const Exporter* e : exporters())
    if (!e->fileOption().empty())
      runApp->add_option("--" + e->fileOption(), exportFiles[e->name()],
                         "Write the table as " + e->name() + " here");

  CompareOptions cmp;
  auto* compareApp = app.add_subcommand(
      "compare", "Compare configurations of one or more results files against a baseline");
  compareApp->add_option("files", cmp.files, "Results files (JSON)")->required();
  compareApp->add_option("--baseline", cmp.baseline, "Baseline configuration (default: the first)");
  compareApp->add_option("--metric", cmp.metric, metricNames())->capture_default_str();
  addComparisonRuleOptions(*compareApp, cmp.settings);
  compareApp->add_option("--fail-above", cmp.failAbove,
                         "Exit 1 when the geometric mean, or a significantly slower program, is "
                         "more than this many percent slower, or a program failed");
  std::string formats;
  for (const Exporter* e : exporters()) formats += (formats.empty() ? "" : ", ") + e->name();
  compareApp->add_option("--format", cmp.format, formats)->capture_default_str();

  ReportOptions report;
  auto* reportApp = app.add_subcommand("report", "Write a self-contained HTML report");
  reportApp->add_option("files", report.files, "Results files (JSON)")->required();
  reportApp->add_option("-o,--output", report.output, "The HTML file to write")->required();
  reportApp->add_option("--baseline", report.baseline,
                        "Baseline configuration (default: the first)");

  std::string showFile, showFormat = "text";
  auto* showApp = app.add_subcommand("show", "Print the table of a results file");
  showApp->add_option("file", showFile, "Results file (JSON)")->required();
  showApp->add_option("--format", showFormat, formats)->capture_default_str();

  StoreCommandLine store;
  store.add(app, *listApp, *runApp, run, *compareApp, cmp, *reportApp, report);

  try {
    checkCommand(argc, argv);
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  } catch (const BadInput& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  }
  const std::vector<std::string> commandLine(argv, argv + argc);
  try {
    checkBounds({{runApp, "--runs", double(run.settings.runs), 1, INFINITY},
                 {runApp, "--warmup", double(run.settings.warmup), 0, INFINITY},
                 {runApp, "--min-runs", double(run.settings.minRuns), 1, INFINITY},
                 {runApp, "--max-runs", double(run.settings.maxRuns), 1, INFINITY},
                 {runApp, "--min-time", run.settings.minTime, 0, INFINITY},
                 {runApp, "--precision", run.settings.precision, 0, INFINITY},
                 {runApp, "--timeout", run.settings.timeout, 0.001, 1e6},
                 {runApp, "--jobs", double(run.jobs), 1, INFINITY},
                 {runApp, "--layouts", double(run.settings.layouts), 2, 1000},
                 {runApp, "--compile-runs", double(run.compileRuns), 0, 1000},
                 {compareApp, "--alpha", cmp.settings.alpha, 0, 1},
                 {compareApp, "--min-effect", cmp.settings.minEffect, 0, INFINITY},
                 {compareApp, "--min-samples", double(cmp.settings.minSamples), 1, INFINITY},
                 {compareApp, "--fail-above", cmp.failAbove, 0, INFINITY}});
    if (auto status = store.dispatch(app, fs::absolute(source))) return *status;
    if (app.got_subcommand(listApp)) return listCommand(source, listJson, listFull);
    if (app.got_subcommand(runApp)) {
      if (!run.settings.runs && run.settings.minRuns > run.settings.maxRuns)
        throw BadInput("--min-runs is above --max-runs");
      if (runApp->count("--cpu")) run.settings.cpus = usableCpus(cpuList);
      for (auto& [format, file] : exportFiles)
        if (!file.empty()) run.exports[format] = file;
      return runCommand(run, fs::absolute(source), commandLine);
    }
    if (app.got_subcommand(compareApp)) return compareCommand(cmp);
    if (app.got_subcommand(reportApp)) return reportCommand(report);
    if (app.got_subcommand(showApp)) return showCommand(showFile, showFormat);
  } catch (const std::exception& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitStatusFor(e);
  }
  return exitBadInput;
}
