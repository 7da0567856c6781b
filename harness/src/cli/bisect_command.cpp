// `bisect`'s options: over a compiler's revisions (pipeline/revision_bisect.hpp), or with
// --passes over one clang build's optimisation pass runs (pipeline/pass_bisect.hpp).
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/console.hpp"
#include "cli/option_values.hpp"
#include "exec/errors.hpp"
#include "pipeline/pass_bisect.hpp"
#include "pipeline/revision_bisect.hpp"

namespace bench32 {
namespace {

struct BisectCommandLine {
  RevisionBisectOptions revisions;
  PassBisectOptions passes;
  bool passMode = false;
  std::vector<std::string> programs;
  std::string workload, metric, resolution = "2%", budget = "5m", buildTimeout = "6h";
};

// The options of a bisection over revisions; with --resume the log holds them.
constexpr const char* requestOptions[] = {
    "--repo",     "--good",     "--bad",    "--build",      "--compiler", "--flags",
    "--programs", "--workload", "--metric", "--resolution", "--budget",   "--build-timeout"};
// The options of one kind that the other kind refuses.
constexpr const char* revisionOnly[] = {
    "--repo",   "--good",          "--bad", "--build", "--compiler", "--flags", "--resolution",
    "--budget", "--build-timeout", "--db",  "--work",  "--log",      "--resume"};
constexpr const char* passOnly[] = {"--config", "--wrong-output", "--build-root", "--format"};

template <std::size_t N>
void refuse(const CLI::App& app, const char* const (&options)[N], const std::string& why) {
  for (const char* option : options)
    if (app.count(option)) throw BadInput(fmt::format("{} {}", option, why));
}

void required(const CLI::App& app, std::initializer_list<const char*> options, const char* mode) {
  for (const char* option : options)
    if (!app.count(option)) throw BadInput(fmt::format("{} needs {}", mode, option));
}

RevisionBisectOptions revisionOptions(const CLI::App& app, BisectCommandLine& line) {
  refuse(app, passOnly, "is for bisect --passes");
  RevisionBisectOptions o = line.revisions;
  if (o.resume) {
    refuse(app, requestOptions, "cannot be given with --resume: the log holds the request");
    return o;
  }
  required(app, {"--repo", "--good", "--bad", "--build", "--compiler"}, "bisect");
  BisectRequest& r = o.request;
  r.programs = line.programs;
  if (!line.workload.empty()) r.workload = line.workload;
  if (!line.metric.empty()) r.metric = line.metric;
  r.resolution = parseResolution(line.resolution);
  r.budgetSeconds = parseDuration(line.budget, "--budget");
  r.buildTimeoutSeconds = parseDuration(line.buildTimeout, "--build-timeout");
  return o;
}

PassBisectOptions passOptions(const CLI::App& app, BisectCommandLine& line) {
  refuse(app, revisionOnly, "is for bisect over revisions, not --passes");
  required(app, {"--programs", "--config"}, "bisect --passes");
  if (line.programs.size() != 1)
    throw BadInput("bisect --passes bisects one program: give one to -p");
  PassBisectOptions o = line.passes;
  o.program = line.programs.front();
  if (!line.workload.empty()) o.workload = line.workload;
  if (!line.metric.empty()) {
    if (o.wrongOutput) throw BadInput("--metric cannot be given with --wrong-output");
    o.metric = line.metric;
  }
  return o;
}

} // namespace

CommandRunner addBisectCommand(CLI::App& app) {
  auto line = std::make_shared<BisectCommandLine>();
  RevisionBisectOptions& r = line->revisions;
  BisectRequest& q = r.request;
  app.add_option("--repo", q.repo,
                 "DIR: the compiler's git repository (never checked out: "
                 "each revision is built in a worktree of it)");
  app.add_option("--good", q.good, "REV: a revision whose build of the suite is good");
  app.add_option("--bad", q.bad, "REV: a later revision whose build of the suite is bad");
  app.add_option("--build", q.buildCommand,
                 "COMMAND: builds the compiler, run by sh in the worktree (its output goes to "
                 "a log file per revision); a status other than 0 skips the revision");
  app.add_option("--compiler", q.compiler,
                 "PATH: the compiler the build makes, relative to the worktree");
  app.add_option("--flags", q.flags, "FLAGS: the suite is built with these")->capture_default_str();
  app.add_option("-p,--programs", line->programs,
                 "Programs to measure, or globs (default: all); with --passes, the one program")
      ->delimiter(',');
  app.add_option("-w,--workload", line->workload,
                 "The workload measured (default: ref; with --passes, smoke)");
  app.add_option("--metric", line->metric,
                 "What tells good from bad: an exact one (instructions, size.text...) compared "
                 "exactly, or a time (cpu, wall...) decided against the good end's build in the "
                 "same session (default: cpu; with --passes, instructions)")
      ->check(knownMetric());
  app.add_option("--resolution", line->resolution,
                 "PCT: a time within this of the good end's is good")
      ->capture_default_str();
  app.add_option("--budget", line->budget,
                 "DURATION: the measuring time of a step's time verdicts; a verdict still open "
                 "then skips the revision")
      ->capture_default_str();
  app.add_option("--build-timeout", line->buildTimeout,
                 "DURATION: a compiler build that takes longer skips the revision")
      ->capture_default_str();
  app.add_option("--db", r.db,
                 std::string("Also write every step's session, under its revision, into this ") +
                     databaseHelp)
      ->check(nonEmptyPath);
  app.add_option("--work", r.work,
                 "DIR: the worktree, the compiler logs, the suite's builds, the steps' results "
                 "and the log (default: the source tree's build/bisect)")
      ->check(nonEmptyPath);
  app.add_option("--log", r.log, "FILE: the bisect log (default: WORK/bisect.json)")
      ->check(nonEmptyPath);
  app.add_flag("--resume", r.resume, "Go on with the bisection that the log holds");
  app.add_option("-j,--jobs", r.jobs, "Parallel jobs of the suite's builds");
  app.add_flag("--passes", line->passMode,
               "Bisect the optimisation pass runs of one clang build (-c) of one program (-p) "
               "instead of revisions");
  app.add_option("-c,--config", line->passes.config,
                 "NAME=COMPILER:FLAGS: with --passes, the build whose pass runs are bisected");
  app.add_flag("--wrong-output", line->passes.wrongOutput,
               "With --passes: find the pass run from which the output is wrong");
  app.add_option("--build-root", line->passes.buildRoot,
                 "With --passes: where the configuration is built (default: build/)")
      ->check(nonEmptyPath);
  addFormatOption(app, line->passes.format);
  return [&app, line](const CommandContext& context) {
    checkBounds(app, {{"--jobs", [&] { return double(line->revisions.jobs); }, 1}});
    if (line->passMode) {
      PassBisectOptions o = passOptions(app, *line);
      o.jobs = line->revisions.jobs;
      const Console console;
      return bisectPasses(o, context.source, [&](const std::string& text) { console.note(text); });
    }
    const RevisionBisectOptions o = revisionOptions(app, *line);
    const Console console;
    MeasureHooks hooks;
    hooks.progress = [&](const std::string& text) { console.progress(text); };
    hooks.note = [&](const std::string& text) { console.note(text); };
    return bisectRevisions(o, context.source, context.commandLine, hooks);
  };
}

} // namespace bench32
