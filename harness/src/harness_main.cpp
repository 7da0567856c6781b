// bench32-harness: lists, builds, runs, verifies, times, compares and reports the suite.
// The ./bench32 script forwards its commands here; see harness/README.md.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "build.hpp"
#include "compare.hpp"
#include "expectation.hpp"
#include "report.hpp"
#include "results.hpp"
#include "session.hpp"
#include "suite.hpp"
#include "table.hpp"

#ifndef BENCH32_SOURCE_DIR
#define BENCH32_SOURCE_DIR "."
#endif

namespace fs = std::filesystem;
using namespace bench32;

namespace {

// Exit statuses: 0 all well, 1 a run or build failed (or a comparison is over its gate),
// 2 bad usage or input, 130 interrupted.
constexpr int exitFailed = 1, exitBadInput = 2, exitInterrupted = 130;

void writeText(const std::string& file, const std::string& text) {
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream << text;
  if (!stream.flush()) throw BadInput(file + ": cannot write");
}

// The bench32-case next to this executable, for builds that leave the tools out.
fs::path siblingCaseRunner() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path("bench32-case") : self.parent_path() / "bench32-case";
}

std::vector<ProgramInfo> selectPrograms(const fs::path& source,
                                        const std::vector<std::string>& wanted) {
  auto all = discoverPrograms(source);
  if (all.empty()) throw BadInput(fmt::format("{}: no programs in benchmarks/", source.string()));
  if (wanted.empty()) return all;
  std::vector<ProgramInfo> chosen;
  for (const auto& name : wanted) {
    auto it = std::find_if(all.begin(), all.end(), [&](auto& p) { return p.name == name; });
    if (it == all.end()) {
      std::string known;
      for (const auto& p : all) known += (known.empty() ? "" : ", ") + p.name;
      throw BadInput(fmt::format("unknown program \"{}\" (known: {})", name, known));
    }
    if (std::none_of(chosen.begin(), chosen.end(), [&](auto& p) { return p.name == name; }))
      chosen.push_back(*it);
  }
  return chosen;
}

struct RunCommand {
  std::vector<std::string> workloads{"ref"};
  std::vector<std::string> programs;
  std::vector<std::string> configs;
  std::vector<std::string> builds;
  std::string json, csv, markdown, runUnder, buildRoot;
  bool noBuild = false;
  int jobs = 0;
  RunSettings settings;
};

int runCommand(const RunCommand& cmd, const fs::path& source,
               const std::vector<std::string>& commandLine) {
  const bool tty = isatty(STDERR_FILENO);
  auto progress = [&](const std::string& line) {
    if (tty) fmt::print(stderr, "\r\033[K{}", line), std::fflush(stderr);
  };
  auto note = [&](const std::string& line) {
    fmt::print(stderr, "{}{}\n", tty ? "\r\033[K" : "", line);
    std::fflush(stderr);
  };

  Results results;
  auto save = [&] {
    if (!cmd.json.empty()) saveResults(cmd.json, results);
  };
  installInterruptHandler();
  try {
    const auto programs = selectPrograms(source, cmd.programs);
    // Load every expectation first: a malformed file stops the session before it starts.
    std::map<std::pair<std::string, std::string>, std::shared_ptr<const Expectation>> expected;
    for (const auto& program : programs) {
      auto workloads = loadWorkloads(program.workloadsFile());
      for (const auto& w : cmd.workloads) {
        auto it = workloads.find(w);
        if (it == workloads.end()) {
          std::string known;
          for (const auto& [name, e] : workloads) known += (known.empty() ? "" : ", ") + name;
          throw BadInput(fmt::format("program {} has no workload \"{}\" (it has: {})", program.name,
                                     w, known));
        }
        expected[{program.name, w}] = std::make_shared<Expectation>(it->second);
      }
    }

    std::vector<BuildTarget> targets;
    const fs::path buildRoot =
        cmd.buildRoot.empty() ? source / "build" : fs::absolute(cmd.buildRoot);
    for (const auto& c : cmd.configs) targets.push_back(parseConfig(c, buildRoot));
    for (const auto& b : cmd.builds) targets.push_back(parseExistingBuild(b));
    if (targets.empty()) {
      BuildTarget release;
      release.info.name = "release";
      release.info.buildDir = (source / "build" / "release").string();
      targets.push_back(release);
    }
    std::set<std::string> names;
    for (const auto& t : targets)
      if (!names.insert(t.info.name).second)
        throw BadInput(fmt::format("configuration \"{}\" given twice", t.info.name));

    results.created = utcNow();
    results.command = commandLine;
    results.environment = captureEnvironment(source);
    const RunSettings& s = cmd.settings;
    results.settings = {{"warmup", s.warmup},      {"runs", s.runs},
                        {"min_runs", s.minRuns},   {"max_runs", s.maxRuns},
                        {"min_time_s", s.minTime}, {"precision", s.precision},
                        {"timeout_s", s.timeout},  {"instructions", s.instructions ? 1 : 0}};
    results.runUnder = cmd.runUnder;
    for (const auto& t : targets)
      for (const auto& p : programs)
        for (const auto& w : cmd.workloads) {
          UnitResult u;
          u.config = t.info.name;
          u.program = p.name;
          u.workload = w;
          u.inputXxh3 = digestHex(digest(expected[{p.name, w}]->input));
          results.units.push_back(u);
        }
    save(); // an unwritable --json file shows up now, not after an hour of runs

    std::vector<std::string> programNames;
    for (const auto& p : programs) programNames.push_back(p.name);
    BuildOptions buildOptions;
    buildOptions.sourceDir = source;
    buildOptions.caseRunner = siblingCaseRunner();
    buildOptions.jobs = cmd.jobs;
    buildOptions.cancel = &interruptFlag();
    buildOptions.log = note;
    std::vector<PlannedUnit> planned;
    for (auto& target : targets) {
      std::map<std::string, std::string> buildFailures;
      if (cmd.noBuild)
        describeBuild(target.info);
      else
        buildFailures = buildPrograms(target, programNames, buildOptions);
      results.configs.push_back(target.info);
      for (std::size_t i = 0; i < results.units.size(); ++i) {
        UnitResult& u = results.units[i];
        if (u.config != target.info.name) continue;
        const fs::path exe = fs::path(target.info.buildDir) / "bin" / u.program;
        u.binary = exe.string();
        if (auto failure = buildFailures.find(u.program); failure != buildFailures.end()) {
          u.status = "failed";
          u.failure = failure->second;
          note(fmt::format("FAILED {} {}/{}: {}", u.config, u.program, u.workload, u.failure));
          continue;
        }
        if (access(exe.c_str(), X_OK) != 0) {
          u.status = "failed";
          u.failure = fmt::format("no executable at {}", exe.string());
          note(fmt::format("FAILED {} {}/{}: {}", u.config, u.program, u.workload, u.failure));
          continue;
        }
        u.textBytes = textSize(exe);
        u.binaryXxh3 = fileDigest(exe);
        planned.push_back({expected[{u.program, u.workload}], exe, i});
      }
    }
    save();

    SessionHooks hooks;
    hooks.progress = progress;
    hooks.note = note;
    // On a terminal the progress line carries the estimate; elsewhere a line per round.
    if (!tty) hooks.round = note;
    hooks.checkpoint = save;
    RunSettings settings = cmd.settings;
    settings.runUnder = splitWords(cmd.runUnder);
    const bool finished = runSession(results, planned, settings, hooks);
    progress("");
    results.complete = finished;
    if (!finished) results.stopReason = "interrupted";
    save();
  } catch (const BuildError& e) {
    progress("");
    results.stopReason = e.what();
    save();
    fmt::print(stderr, "bench32: {}\n", e.what());
    return interruptFlag() ? exitInterrupted : exitBadInput;
  } catch (const BadInput& e) {
    progress("");
    results.stopReason = e.what();
    if (!results.units.empty()) save();
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  } catch (const std::exception& e) {
    // Anything else (a full disk, a folder that cannot be made): keep what was measured.
    progress("");
    results.stopReason = e.what();
    try {
      if (!results.units.empty()) save();
    } catch (const std::exception&) {
    }
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  }

  fmt::print("{}", render(runTable(results, Format::text), Format::text));
  const auto failures = failureLines(results);
  for (const auto& line : failures) fmt::print("{}\n", line);
  if (!cmd.csv.empty()) writeText(cmd.csv, render(runTable(results, Format::csv), Format::csv));
  if (!cmd.markdown.empty())
    writeText(cmd.markdown, render(runTable(results, Format::markdown), Format::markdown));
  std::size_t runs = 0;
  for (const auto& u : results.units) runs += u.samples.size() + u.warmup.size();
  fmt::print(stderr, "{} runs, all verified; {} of {} measurements failed{}\n", runs,
             failures.size(), results.units.size(),
             cmd.json.empty() ? "" : fmt::format("; results in {}", cmd.json));
  if (!results.complete) {
    fmt::print(stderr, "bench32: interrupted; the results so far are kept\n");
    return exitInterrupted;
  }
  return failures.empty() ? 0 : exitFailed;
}

int listCommand(const fs::path& source) {
  Table table;
  table.header = {"program", "workload", "input", "expected", "note"};
  table.rightAligned = {false, false, true, false, false};
  for (const auto& program : discoverPrograms(source)) {
    for (const auto& [name, e] : loadWorkloads(program.workloadsFile())) {
      const std::string ending =
          e.signal ? signalName(e.signal) : fmt::format("status {}", e.status);
      table.rows.push_back({program.name, name, fmt::format("{} B", e.input.size()),
                            fmt::format("{} B, {}", e.stdoutSize, ending), e.note});
    }
  }
  fmt::print("{}", render(table, Format::text));
  return 0;
}

std::vector<Results> loadAll(const std::vector<std::string>& files) {
  std::vector<Results> loaded;
  for (const auto& f : files) loaded.push_back(loadResults(f));
  return loaded;
}

std::vector<std::string> shortNames(const std::vector<std::string>& files) {
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(fs::path(f).stem().string());
  return names;
}

struct CompareCommand {
  std::vector<std::string> files;
  std::string baseline, format = "text", metric = "wall";
  double failAbove = -1; // percent
  CompareSettings settings;
};

// The series and the comparisons of every series against the baseline.
std::vector<Comparison> comparisons(const std::vector<Series>& series, const std::string& baseline,
                                    const CompareSettings& settings) {
  auto base = series.begin();
  if (!baseline.empty()) {
    base = std::find_if(series.begin(), series.end(), [&](auto& s) { return s.label == baseline; });
    if (base == series.end()) {
      std::string known;
      for (const auto& s : series) known += (known.empty() ? "" : ", ") + s.label;
      throw BadInput(fmt::format("no configuration \"{}\" (there are: {})", baseline, known));
    }
  }
  std::vector<Comparison> out;
  for (auto it = series.begin(); it != series.end(); ++it)
    if (it != base) out.push_back(compare(*base, *it, settings));
  return out;
}

int compareCommand(CompareCommand cmd) {
  const Format format = formatFromName(cmd.format);
  const auto metric = metricFromName(cmd.metric);
  if (!metric) throw BadInput(fmt::format("unknown metric \"{}\"", cmd.metric));
  cmd.settings.metric = *metric;
  const auto files = loadAll(cmd.files);
  const auto series = collectSeries(files, shortNames(cmd.files));
  if (series.size() < 2)
    throw BadInput("nothing to compare: one configuration in all; give a second results file");
  bool over = false;
  for (const auto& c : comparisons(series, cmd.baseline, cmd.settings)) {
    std::size_t both = 0;
    for (const auto& row : c.programs) both += row.problem.rfind("only in", 0) != 0;
    if (both == 0)
      throw BadInput(fmt::format("{} and {} have no program and workload in common", c.base.label,
                                 c.other.label));
    fmt::print("{}", render(comparisonTable(c, format), format));
    if (format != Format::csv) fmt::print("{}\n\n", comparisonSummary(c));
    if (cmd.failAbove >= 0 && exceeds(c, cmd.failAbove / 100)) {
      fmt::print(stderr, "bench32: {} is more than {}% slower than {}\n", c.other.label,
                 cmd.failAbove, c.base.label);
      over = true;
    }
  }
  return over ? exitFailed : 0;
}

} // namespace

int main(int argc, char** argv) {
  startSpawner();
  CLI::App app{"bench32: build, run, verify, time, compare and report the benchmark suite"};
  app.require_subcommand(1);
  std::string source = BENCH32_SOURCE_DIR;
  app.add_option("--source", source, "The suite's source tree")->capture_default_str();

  app.add_subcommand("list", "List the programs and their workloads");

  RunCommand run;
  auto* runApp = app.add_subcommand("run", "Build, run, verify and time the programs");
  runApp->add_option("-w,--workload", run.workloads, "Workloads to run (smoke, ref)")
      ->delimiter(',')
      ->capture_default_str();
  runApp->add_option("-p,--programs", run.programs, "Programs to run (default: all)")
      ->delimiter(',');
  runApp
      ->add_option("-n,--runs", run.settings.runs,
                   "Timed runs per program and configuration (default: adaptive)")
      ->check(CLI::PositiveNumber);
  runApp->add_option("--warmup", run.settings.warmup, "Verified untimed runs first")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  runApp->add_option("--min-runs", run.settings.minRuns, "Adaptive: at least this many runs")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  runApp->add_option("--max-runs", run.settings.maxRuns, "Adaptive: at most this many runs")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  runApp
      ->add_option("--min-time", run.settings.minTime,
                   "Adaptive: stop once this many seconds were timed...")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  runApp
      ->add_option("--precision", run.settings.precision,
                   "...or once the median's 95% interval is this tight (relative half-width)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  runApp
      ->add_option("--timeout", run.settings.timeout,
                   "Seconds before a run's process group is killed")
      ->check(CLI::PositiveNumber)
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
  runApp->add_flag("--instructions", run.settings.instructions,
                   "Also count instructions (perf, else callgrind: slow)");
  runApp->add_option("--json", run.json, "Write every sample and the environment here");
  runApp->add_option("--csv", run.csv, "Write the table as CSV here");
  runApp->add_option("--markdown", run.markdown, "Write the table as Markdown here");

  CompareCommand cmp;
  auto* compareApp = app.add_subcommand(
      "compare", "Compare configurations of one or more results files against a baseline");
  compareApp->add_option("files", cmp.files, "Results files (JSON)")
      ->required()
      ->check(CLI::ExistingFile);
  compareApp->add_option("--baseline", cmp.baseline, "Baseline configuration (default: the first)");
  compareApp->add_option("--metric", cmp.metric, "wall, user, sys, rss or instructions")
      ->capture_default_str();
  compareApp->add_option("--alpha", cmp.settings.alpha, "Significance level")
      ->capture_default_str();
  compareApp
      ->add_option("--min-effect", cmp.settings.minEffect, "Smallest relative difference flagged")
      ->capture_default_str();
  compareApp
      ->add_option("--min-samples", cmp.settings.minSamples,
                   "Fewest samples per side for a verdict")
      ->capture_default_str();
  compareApp->add_option("--fail-above", cmp.failAbove,
                         "Exit 1 when the geometric mean, or a significantly slower program, is "
                         "more than this many percent slower");
  compareApp->add_option("--format", cmp.format, "text, markdown or csv")->capture_default_str();

  std::vector<std::string> reportFiles;
  std::string reportOut, reportBaseline;
  auto* reportApp = app.add_subcommand("report", "Write a self-contained HTML report");
  reportApp->add_option("files", reportFiles, "Results files (JSON)")
      ->required()
      ->check(CLI::ExistingFile);
  reportApp->add_option("-o,--output", reportOut, "The HTML file to write")->required();
  reportApp->add_option("--baseline", reportBaseline,
                        "Baseline configuration (default: the first)");

  std::string showFile, showFormat = "text";
  auto* showApp = app.add_subcommand("show", "Print the table of a results file");
  showApp->add_option("file", showFile, "Results file (JSON)")
      ->required()
      ->check(CLI::ExistingFile);
  showApp->add_option("--format", showFormat, "text, markdown or csv")->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return exitBadInput;
  }
  const std::vector<std::string> commandLine(argv, argv + argc);
  try {
    if (app.got_subcommand("list")) return listCommand(source);
    if (app.got_subcommand(runApp)) {
      if (run.workloads.empty()) throw BadInput("--workload needs a name");
      // Each workload once, in the order given.
      std::vector<std::string> unique;
      for (const auto& w : run.workloads)
        if (std::find(unique.begin(), unique.end(), w) == unique.end()) unique.push_back(w);
      run.workloads = unique;
      if (!run.settings.runs && run.settings.minRuns > run.settings.maxRuns)
        throw BadInput("--min-runs is above --max-runs");
      return runCommand(run, fs::absolute(source), commandLine);
    }
    if (app.got_subcommand(compareApp)) return compareCommand(cmp);
    if (app.got_subcommand(reportApp)) {
      const auto files = loadAll(reportFiles);
      const auto series = collectSeries(files, shortNames(reportFiles));
      if (series.empty()) throw BadInput("no configuration in the results");
      CompareSettings settings;
      writeText(reportOut, htmlReport(series, comparisons(series, reportBaseline, settings)));
      fmt::print(stderr, "report written to {}\n", reportOut);
      return 0;
    }
    if (app.got_subcommand(showApp)) {
      const Format format = formatFromName(showFormat);
      const Results results = loadResults(showFile);
      fmt::print("{}", render(runTable(results, format), format));
      if (format == Format::text)
        for (const auto& line : failureLines(results)) fmt::print("{}\n", line);
      return 0;
    }
  } catch (const BadInput& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  } catch (const std::exception& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  }
  return exitBadInput;
}
