// The commands that only read: list, show, compare, score and report. None of them builds or
// runs anything.
#include <algorithm>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/score.hpp"
#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/option_values.hpp"
#include "cli/store_commands.hpp"
#include "exec/files.hpp"
#include "exec/words.hpp"
#include "explain/asm.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "output/comparison_table.hpp"
#include "output/export/exporter.hpp"
#include "output/export/html.hpp"
#include "output/report.hpp"
#include "output/score_table.hpp"
#include "pipeline/explain_session.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

using nlohmann::json;

json workloadJson(const Expectation& e, bool full) {
  json entry{{"note", e.note},
             {"input_size", e.input.size()},
             {"input_xxh3", digestHex(digest(e.input))},
             {"stdout_size", e.stdoutSize},
             {"stdout_xxh3", digestHex(e.stdoutDigest)}};
  if (e.signal)
    entry["signal"] = signalName(e.signal);
  else
    entry["status"] = e.status;
  entry["min_instructions"] = e.minInstructions ? json(*e.minInstructions) : json(nullptr);
  if (full) {
    entry["input"] = e.input;
    if (e.stdoutBytes) entry["stdout"] = *e.stdoutBytes;
  }
  return entry;
}

json robustnessJson(const std::optional<RobustnessProfile>& profile) {
  if (!profile) return nullptr;
  return {{"why", profile->why},
          {"reads", profile->reads},
          {"ranges", profile->ranges},
          {"end_marker", profile->endMarker},
          {"signals", profile->signals}};
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

// Every series compared with the baseline (the first, unless named).
std::vector<Comparison> comparisons(const std::vector<Series>& series, const std::string& baseline,
                                    const CompareSettings& settings) {
  auto base = series.begin();
  if (!baseline.empty()) {
    base = std::find_if(series.begin(), series.end(), [&](auto& s) { return s.label == baseline; });
    if (base == series.end()) {
      std::vector<std::string> known;
      for (const auto& s : series) known.push_back(s.label);
      throw BadInput(fmt::format("no configuration \"{}\"{}", baseline,
                                 suggestion(baseline, known, "there are")));
    }
  }
  std::vector<Comparison> out;
  for (auto it = series.begin(); it != series.end(); ++it)
    if (it != base) out.push_back(compare(*base, *it, settings));
  return out;
}

struct ScoreOptions {
  std::vector<std::string> files;
  std::string reference, referenceConfig, metric = "wall", format = "text", db, machine;
};

// The reference file's configuration: the one named, or its only one.
Series referenceSeries(const Results& reference, const ScoreOptions& o) {
  const std::string file = fs::path(o.reference).stem().string();
  if (!o.referenceConfig.empty()) {
    for (const auto& c : reference.configs)
      if (c.name == o.referenceConfig) return {file, file, &reference, c.name};
    throw BadInput(fmt::format("{} has no configuration \"{}\"", o.reference, o.referenceConfig));
  }
  if (reference.configs.size() != 1)
    throw BadInput(fmt::format("{} holds {} configurations: name one with --reference-config",
                               o.reference, reference.configs.size()));
  return {file, file, &reference, reference.configs.front().name};
}

int scoreCommand(ScoreOptions o, const fs::path& source) {
  const Exporter& exporter = exporterNamed(o.format);
  const Metric metric = metricNamed(o.metric).id;
  if (o.reference.empty()) o.reference = (source / defaultReference).string();
  const Results reference = loadResults(o.reference);
  const Series base = referenceSeries(reference, o);
  const auto files = loadAll(o.files);
  std::vector<Score> scores;
  for (const auto& series : collectSeries(files, shortNames(o.files)))
    scores.push_back(score(base, series, metric));
  if (!o.db.empty()) {
    const auto spread = sessionScoreSpread(base, storedSessions(o.db, o.machine, source), metric);
    for (Score& s : scores) coverSessions(s, spread);
  }
  writeStandardOutput(exporter.render(scoreDocument(scores)));
  return exitOk;
}

} // namespace

int listCommand(const fs::path& source, bool asJson, bool full) {
  json programs = json::array();
  Table table;
  table.columns = {{"program", "program"},
                   {"workload", "workload"},
                   {"input", "input_size", true},
                   {"expected", "expected"},
                   {"note", "note"}};
  for (const auto& program : discoverPrograms(source)) {
    const ProgramFacts facts = loadProgramFacts(program.workloadsFile());
    json workloads = json::object();
    for (const auto& [name, e] : facts.workloads) {
      workloads[name] = workloadJson(e, full);
      const std::string ending =
          e.signal ? signalName(e.signal) : fmt::format("status {}", e.status);
      table.rows.push_back({program.name,
                            name,
                            {fmt::format("{} B", e.input.size()), std::to_string(e.input.size())},
                            fmt::format("{} B, {}", e.stdoutSize, ending),
                            e.note});
    }
    programs.push_back({{"name", program.name},
                        {"folder", fs::absolute(program.dir).lexically_normal().string()},
                        {"workloads", workloads},
                        {"robustness", robustnessJson(facts.robustness)}});
  }
  if (asJson)
    writeStandardOutput(
        json{{"programs", programs}}.dump(1, ' ', false, json::error_handler_t::replace) + "\n");
  else {
    table.width = terminalWidth(); // the notes run long
    writeStandardOutput(textExporter().render({{{"", table, {}}}}));
  }
  return exitOk;
}

int showCommand(const std::string& file, const std::string& format) {
  const Exporter& exporter = exporterNamed(format);
  writeStandardOutput(exporter.render(runDocument(loadResults(file))));
  return exitOk;
}

int compareCommand(CompareOptions options) {
  return compareResults(options, loadAll(options.files), shortNames(options.files));
}

int compareResults(CompareOptions options, const std::vector<Results>& files,
                   const std::vector<std::string>& names) {
  const Exporter& exporter = exporterNamed(options.format);
  options.settings.metric = metricNamed(options.metric).id;
  const auto series = collectSeries(files, names);
  if (series.size() < 2)
    throw BadInput("nothing to compare: one configuration in all; give a second results file");
  // A verdict-driven session is compared as it was decided; --resolution asks for such
  // verdicts on any session's paired rounds.
  std::optional<DecidePlan> plan;
  if (files.size() == 1 && files.front().decide) plan = files.front().decide;
  if (!options.resolution.empty()) {
    if (!plan) {
      plan = DecidePlan{};
      plan->metric = metricInfo(options.settings.metric).name;
    }
    plan->resolution = parseResolution(options.resolution);
  }
  if (plan) {
    metricNamed(plan->metric);
    if (options.baseline.empty() && files.size() == 1) options.baseline = plan->baseline;
    options.settings.decide = &*plan;
  }
  const auto all = comparisons(series, options.baseline, options.settings);
  for (const auto& c : all) {
    if (std::none_of(c.programs.begin(), c.programs.end(), [](auto& row) { return row.inBoth; }))
      throw BadInput(fmt::format("{} and {} have no program and workload in common", c.base.label,
                                 c.other.label));
  }
  Document document = comparisonDocument(all);
  if (!options.note.empty() && !document.sections.empty())
    document.sections.back().notes.push_back(options.note);
  writeStandardOutput(exporter.render(document));
  bool over = false;
  for (const auto& c : all) {
    if (options.failAbove >= 0 && exceeds(c, options.failAbove)) {
      fmt::print(stderr, "bench32: {} is more than {} slower than {}\n", c.other.label,
                 relativeText(options.failAbove), c.base.label);
      over = true;
    }
  }
  return over ? exitFailed : exitOk;
}

int reportCommand(const ReportOptions& options) {
  if (!isStandardOutput(options.output)) checkWritable(options.output);
  return reportResults(options, loadAll(options.files), shortNames(options.files), {});
}

int reportResults(const ReportOptions& options, const std::vector<Results>& files,
                  const std::vector<std::string>& names, const std::string& appendix,
                  const CompareSettings& settings) {
  const bool toStandardOutput = isStandardOutput(options.output);
  if (!toStandardOutput) checkWritable(options.output);
  const auto series = collectSeries(files, names);
  if (series.empty()) throw BadInput("no configuration in the results");
  std::vector<Comparison> shown;
  for (const auto& pair : reportPairs(series, options.pairs, options.baseline))
    shown.push_back(compare(series[pair.base], series[pair.other], settings));
  const PageScript script = tableScript();
  const auto explained = options.explain ? explainedChanges(shown, options.source)
                                         : std::map<std::string, std::string>{};
  const std::string page = htmlReport(series, shown, appendix, script.html, explained);
  if (toStandardOutput)
    writeStandardOutput(page);
  else
    writeFile(options.output, page);
  if (!script.missing.empty()) fmt::print(stderr, "bench32: {}\n", script.missing);
  if (!toStandardOutput) fmt::print(stderr, "report written to {}\n", options.output);
  return exitOk;
}

CommandRunner addListCommand(CLI::App& app) {
  struct Options {
    bool json = false, full = false;
    std::string db;
  };
  auto o = std::make_shared<Options>();
  app.add_flag("--json", o->json, "Print every program's facts as JSON, for tools");
  app.add_flag("--full", o->full, "With --json: each workload's input and exact output too");
  app.add_option("--db", o->db, std::string("List the sessions of this ") + databaseHelp)
      ->check(nonEmptyPath);
  return [o](const CommandContext& context) {
    if (!o->db.empty()) return sessionsCommand(o->db, o->json);
    return listCommand(context.source, o->json, o->full);
  };
}

CommandRunner addShowCommand(CLI::App& app) {
  auto file = std::make_shared<std::string>();
  auto format = std::make_shared<std::string>("text");
  app.add_option("file", *file, "Results file (JSON)")
      ->required()
      ->check(nonEmptyPath)
      ->check(resultsFile());
  addFormatOption(app, *format);
  return [file, format](const CommandContext&) { return showCommand(*file, *format); };
}

CommandRunner addScoreCommand(CLI::App& app) {
  auto o = std::make_shared<ScoreOptions>();
  app.add_option("files", o->files, "Results files (JSON) to score")
      ->required()
      ->check(nonEmptyPath)
      ->check(resultsFile());
  app.add_option("--reference", o->reference,
                 fmt::format("The reference results file (default: {} in the source tree, "
                             "this repository's CI machine)",
                             defaultReference))
      ->check(nonEmptyPath)
      ->check(resultsFile());
  app.add_option("--reference-config", o->referenceConfig,
                 "The reference's configuration, when it holds several");
  app.add_option("--metric", o->metric, metricNames())->capture_default_str()->check(knownMetric());
  app.add_option("--db", o->db,
                 std::string("Cover the spread between earlier sessions of this ") + databaseHelp);
  app.add_option("--machine", o->machine,
                 "With --db: only sessions of this kind of machine or host");
  addFormatOption(app, o->format);
  return [o](const CommandContext& context) { return scoreCommand(*o, context.source); };
}

namespace {

const char* const machineHelp =
    "With --db: only sessions of this kind of machine or host (a glob, e.g. '*EPYC*')";

} // namespace

CommandRunner addCompareCommand(CLI::App& app) {
  auto o = std::make_shared<CompareOptions>();
  app.add_option("files", o->files, "Results files (JSON)")
      ->check(nonEmptyPath)
      ->check(resultsFile());
  app.add_option("--baseline", o->baseline, "Baseline configuration (default: the first)");
  app.add_option("--metric", o->metric, metricNames())->capture_default_str()->check(knownMetric());
  addComparisonRuleOptions(app, o->settings);
  addRelativeOption(app, "--fail-above", o->failAbove,
                    "Exit 1 when the geometric mean, or a significantly slower program, is more "
                    "than PCT slower, or a program failed")
      ->default_str("");
  app.add_option("--resolution", o->resolution,
                 "PCT: also decide each program slower, faster, equal (within PCT) or undecided "
                 "by the sequential rule on runs paired by round (default: a --decide session's)");
  addFormatOption(app, o->format);
  app.add_option("--db", o->db, std::string("Compare points of this ") + databaseHelp)
      ->check(nonEmptyPath);
  app.add_option("--revision", o->revisions,
                 "With --db: every session of this revision, merged (repeatable)");
  app.add_option("--session", o->sessions, "With --db: a session (repeatable)");
  app.add_option("--machine", o->machine, machineHelp);
  app.add_flag("--no-anchor", o->noAnchor,
               "With --db: the sessions' times as measured, not relative to their anchor");
  return [&app, o](const CommandContext&) {
    checkBounds(app, comparisonRuleBounds(o->settings, o->failAbove));
    if (!o->db.empty()) return compareStoredCommand(*o, o->machine);
    if (!o->revisions.empty() || !o->sessions.empty() || !o->machine.empty() || o->noAnchor)
      throw BadInput("--revision, --session, --machine and --no-anchor need --db");
    if (o->files.empty()) throw BadInput("compare needs results files, or --db");
    return compareCommand(*o);
  };
}

CommandRunner addReportCommand(CLI::App& app) {
  auto o = std::make_shared<ReportOptions>();
  app.add_option("files", o->files, "Results files (JSON)")
      ->check(nonEmptyPath)
      ->check(resultsFile());
  app.add_option("-o,--output", o->output, "The HTML file to write")
      ->required()
      ->check(nonEmptyPath);
  app.add_option("--baseline", o->baseline,
                 "Compare every series with this one (default: each configuration with itself "
                 "in the file before, and the last file's configurations with its first)");
  app.add_option("--pair", o->pairs,
                 "BASE:OTHER: compare these two series (their labels, as the report names "
                 "them); repeatable, instead of the default pairs");
  app.add_option("--db", o->db,
                 std::string("Add the history's trend charts from this ") + databaseHelp)
      ->check(nonEmptyPath);
  app.add_option("--machine", o->machine, machineHelp);
  app.add_flag("--explain", o->explain,
               "In each flagged program's drill-down, where its two binaries differ in "
               "instructions, per function (callgrind on the smoke workload; the measured "
               "binaries must still be there)");
  return [o](const CommandContext& context) {
    o->source = context.source;
    if (!o->db.empty()) return reportStoredCommand(*o, context.source, o->machine);
    if (!o->machine.empty()) throw BadInput("--machine needs --db");
    if (o->files.empty()) throw BadInput("report needs results files, or --db");
    return reportCommand(*o);
  };
}

} // namespace bench32
