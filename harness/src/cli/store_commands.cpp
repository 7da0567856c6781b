#include "cli/store_commands.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "analysis/anchor.hpp"
#include "analysis/fleet.hpp"
#include "analysis/history.hpp"
#include "analysis/noise.hpp"
#include "analysis/revision_points.hpp"
#include "analysis/stored_history.hpp"
#include "cli/option_values.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/git.hpp"
#include "model/globs.hpp"
#include "model/results_file.hpp"
#include "output/export/exporter.hpp"
#include "output/export/html.hpp"
#include "output/gbench.hpp"
#include "output/history_table.hpp"
#include "run/environment.hpp"
#include "store/open.hpp"
#include "store/schema.hpp"
#include "store/triage.hpp"

namespace bench32 {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Whether the latest step of any series is a change over the gate that nobody waived.
bool historyExceeds(const std::vector<HistoryRow>& rows, double threshold) {
  std::map<std::tuple<std::string, std::string, std::string>, const HistoryRow*> latest;
  for (const auto& row : rows) latest[{row.program, row.workload, row.config}] = &row;
  return std::any_of(latest.begin(), latest.end(), [&](const auto& entry) {
    const HistoryRow& row = *entry.second;
    return !row.failure.empty() || (flagged(row) && row.change.verdict == Change::slower &&
                                    !waived(row.change.state) && row.change.ratio > 1 + threshold);
  });
}

// Why sessions or rows were left out, one line each, after the command's output: a
// command that fails says only why it failed.
void warn(const std::vector<std::string>& lines) {
  for (const auto& line : lines) fmt::print(stderr, "bench32: {}\n", line);
}

// The line that says how the values were read, first under the document's table.
void noteFirst(Document& document, const std::string& line) {
  if (!line.empty() && !document.sections.empty())
    document.sections.front().notes.insert(document.sections.front().notes.begin(), line);
}

} // namespace

int sessionsCommand(const std::string& target, bool asJson) {
  auto db = store::openStore(target, store::Access::read);
  Table table;
  table.columns = {{"session", "session", true}, {"created", "created"}, {"revision", "revision"},
                   {"machine", "machine"},       {"host", "host"},       {"shard", "shard"},
                   {"complete", "complete"}};
  std::vector<std::string> warnings = store::strayRows(*db);
  for (const auto& s : store::listSessions(*db)) {
    if (!s.damage.empty()) {
      warnings.push_back(s.damage + " (session left out)");
      continue;
    }
    table.rows.push_back(std::vector<Cell>{
        std::to_string(s.id), s.created, Cell(revisionLabel(s.revision), s.revision), s.machine,
        s.host, s.shard, std::string(s.complete ? "yes" : "no")});
  }
  warn(warnings);
  writeStandardOutput((asJson ? jsonExporter() : textExporter()).render({{{"", table, {}}}}));
  return exitOk;
}

int importCommand(const std::vector<std::string>& files, const std::string& target) {
  // Every file is read and checked before the first is written.
  std::vector<json> documents;
  for (const auto& file : files) {
    documents.push_back(loadResultsDocument(file));
  }
  auto db = store::openStore(target);
  for (std::size_t i = 0; i < files.size(); ++i) {
    // Pooled twice, the same runs would count twice in every comparison.
    if (const auto id = store::findSession(*db, documents[i])) {
      writeStandardOutput(
          fmt::format("{}: already in the database as session {}\n", files[i], *id));
      continue;
    }
    store::SessionWriter writer(*db);
    writer.checkpoint(documents[i]);
    writeStandardOutput(fmt::format("{}: session {}\n", files[i], writer.id()));
  }
  return exitOk;
}

int exportCommand(const ExportOptions& options) {
  if (options.format != "results" && options.format != "gbench")
    throw BadInput(fmt::format("--format {}: results or gbench", options.format));
  if (options.medians && options.format != "gbench")
    throw BadInput("--medians is for --format gbench");
  if (options.file.empty() == options.db.empty())
    throw BadInput("export reads a session (--db TARGET --session ID) or a results file");
  const bool toFile = !options.output.empty() && !isStandardOutput(options.output);
  if (toFile) checkWritable(options.output);
  json doc;
  if (!options.db.empty()) {
    if (options.session <= 0) throw BadInput("--session ID: which session to export");
    auto db = store::openStore(options.db, store::Access::read);
    doc = store::loadSessionJson(*db, options.session);
  } else {
    doc = toJson(loadResults(options.file));
  }
  if (options.format == "gbench") {
    try {
      doc = gbenchJson(resultsFromJson(doc), options.config, options.medians);
    } catch (const BadInput& e) {
      throw BadInput(options.file.empty() ? fmt::format("session {}: {}", options.session, e.what())
                                          : fmt::format("{}: {}", options.file, e.what()));
    }
  }
  const std::string text = doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
  if (!toFile)
    writeStandardOutput(text);
  else
    writeFile(options.output, text);
  return exitOk;
}

int historyCommand(HistoryOptions options, const fs::path& repo) {
  const Exporter& exporter = exporterNamed(options.format);
  options.settings.metric = metricNamed(options.metric).id;
  auto db = store::openStore(options.db, store::Access::read);
  const StoredHistory h = readHistory(*db, {options.machine,
                                            {options.programs, options.configs, options.settings},
                                            options.noAnchor,
                                            repo});
  if (h.rows.empty()) throw BadInput("no measurement matches -p and -c");
  Document document = historyDocument(h.rows, h.points, h.filter.settings);
  noteFirst(document, h.anchorNote);
  writeStandardOutput(exporter.render(document));
  warn(h.selected.warnings());
  if (options.failAbove >= 0 && historyExceeds(h.rows, options.failAbove)) {
    fmt::print(stderr,
               "bench32: the latest revision has a change more than {} slower, or a "
               "failure\n",
               relativeText(options.failAbove));
    return exitFailed;
  }
  return exitOk;
}

std::vector<Results> storedSessions(const std::string& db, const std::string& machine,
                                    const fs::path& repo) {
  auto store = store::openStore(db, store::Access::read);
  const auto selected = store::readSelected(*store, machine);
  warn(selected.warnings());
  return everySession(revisionPoints(selected.sessions, selected.results, repo));
}

int triageCommand(const TriageOptions& options) {
  const auto& states = store::triageStates();
  if (std::find(states.begin(), states.end(), options.state) == states.end())
    throw BadInput(fmt::format("--state {}: one of {}", options.state, fmt::join(states, ", ")));
  if (options.note.find_first_of("\n\r") != std::string::npos) throw BadInput("--note: one line");
  auto db = store::openStore(options.db, store::Access::read);
  store::checkIntact(*db);
  // The revision as it is filed (a commit name may be shortened), and what it measured.
  std::vector<store::TriageMark> marks;
  const auto readable =
      store::readSessions(*db, sessionsOf(store::listSessions(*db), options.revision));
  for (std::size_t i = 0; i < readable.sessions.size(); ++i) {
    const auto& s = readable.sessions[i];
    for (const auto& unit : readable.results[i].units) {
      if (!matchesAny(options.programs, unit.program) ||
          !matchesAny(options.workloads, unit.workload) ||
          !matchesAny(options.configs, unit.config))
        continue;
      store::TriageMark mark{s.revision,    unit.program, unit.workload, unit.config,
                             options.state, options.note, utcNow()};
      if (std::none_of(marks.begin(), marks.end(), [&](const auto& m) {
            return m.program == mark.program && m.workload == mark.workload &&
                   m.config == mark.config;
          }))
        marks.push_back(mark);
    }
  }
  if (marks.empty())
    throw BadInput(
        fmt::format("revision {} measured nothing that matches -p, -w and -c", options.revision));
  for (const auto& mark : marks) {
    store::setTriage(*db, mark);
    writeStandardOutput(fmt::format("{} {}/{} {}: {}\n", revisionLabel(mark.revision), mark.program,
                                    mark.workload, mark.config, mark.state));
  }
  for (const auto& [id, line] : readable.skipped) warn({line + " (session left out)"});
  return exitOk;
}

int compareStoredCommand(CompareOptions options, const std::string& machine) {
  if (!options.files.empty() && (!options.revisions.empty() || !options.sessions.empty()))
    throw BadInput("compare takes results files or points of the database, not both");
  if (options.files.empty() && options.revisions.size() + options.sessions.size() < 2)
    throw BadInput("compare --db needs two points: --revision A --revision B, or --session ids");
  auto db = store::openStore(options.db, store::Access::read);
  auto selected = store::readSelected(*db, machine);
  const auto& all = selected.sessions;
  // Results files are compared as measured, so their noise model is learned so too.
  if (!options.noAnchor && options.files.empty())
    options.note = anchorSessions(selected.results, metricNamed(options.metric).id);
  const Knowledge knowledge(*db, selected.results, metricNamed(options.metric).id);
  knowledge.applyTo(options.settings);
  // Results files, judged with the database's noise model.
  if (!options.files.empty()) {
    const int status = compareCommand(options);
    warn(selected.warnings());
    return status;
  }
  const auto readOf = [&](std::int64_t id) -> const Results* {
    const auto it = std::find_if(all.begin(), all.end(), [&](const auto& s) { return s.id == id; });
    return it == all.end() ? nullptr : &selected.results[std::size_t(it - all.begin())];
  };
  std::vector<Results> points;
  std::vector<std::string> names;
  std::vector<std::string> warnings;
  for (const auto& revision : options.revisions) {
    // A revision whose sessions all fail to read fails with the first one's damage.
    std::vector<Results> loaded;
    std::string damage;
    for (const auto& s : sessionsOf(selected.listed, revision)) {
      if (const Results* r = readOf(s.id))
        loaded.push_back(*r);
      else if (damage.empty())
        damage = selected.damaged.count(s.id) ? selected.damaged.at(s.id) : "";
    }
    if (loaded.empty()) throw store::BadRow(damage);
    const std::string warning = machineWarning(loaded, "revision " + revisionLabel(revision));
    if (!warning.empty()) warnings.push_back(warning);
    points.push_back(mergeResults(loaded));
    names.push_back(revisionLabel(revision));
  }
  // A session named by its id is read whole or not at all.
  for (const auto id : options.sessions) {
    const Results* r = readOf(id);
    points.push_back(r ? *r : store::loadSession(*db, id));
    names.push_back(fmt::format("session {}", id));
  }
  const int status = compareResults(options, points, names);
  warn(warnings);
  warn(selected.warnings());
  return status;
}

int reportStoredCommand(const ReportOptions& options, const fs::path& repo,
                        const std::string& machine) {
  if (!isStandardOutput(options.output)) checkWritable(options.output);
  auto db = store::openStore(options.db, store::Access::read);
  auto selected = store::readSelected(*db, machine);
  CompareSettings settings;
  const std::string anchor = anchorSessions(selected.results, settings.metric);
  const auto points = revisionPoints(selected.sessions, selected.results, repo);
  const Knowledge knowledge(*db, everySession(points), settings.metric);
  knowledge.applyTo(settings);
  const auto rows = history(points, {{}, {}, settings});
  Document historyPart = historyDocument(rows, points, settings);
  noteFirst(historyPart, anchor);
  const std::string appendix =
      "<h2>History</h2><p class='muted'>Each program's configurations together: the median "
      "wall time per revision, oldest first, relative to each configuration's first revision "
      "(0%), on one axis for every program, with its 95% interval as whiskers. ▲ slower and "
      "▼ faster: changes from the revision before that are beyond both the runs' noise and "
      "the learned session noise, their size written beside them; a hollow mark reached by a "
      "dashed line: the same binary as the revision before, so any step is noise.</p>" +
      trendCharts(rows, settings.metric) + htmlSections(historyPart);
  if (!options.files.empty()) {
    std::vector<Results> files;
    std::vector<std::string> names;
    for (const auto& f : options.files) {
      files.push_back(loadResults(f));
      names.push_back(fs::path(f).stem().string());
    }
    const int status = reportResults(options, files, names, appendix, settings);
    warn(selected.warnings());
    return status;
  }
  // Without files, the page opens on the latest revision against the one before.
  std::vector<Results> latest;
  std::vector<std::string> names;
  for (std::size_t i = points.size() >= 2 ? points.size() - 2 : 0; i < points.size(); ++i) {
    latest.push_back(points[i].merged);
    names.push_back(revisionLabel(points[i].revision));
  }
  const int status = reportResults(options, latest, names, appendix, settings);
  warn(selected.warnings());
  return status;
}

CommandRunner addHistoryCommand(CLI::App& app) {
  auto o = std::make_shared<HistoryOptions>();
  app.add_option("--db", o->db, databaseHelp)->required()->check(nonEmptyPath);
  app.add_option("-p,--programs", o->programs, "Programs, or globs")->delimiter(',');
  app.add_option("-c,--config", o->configs, "Configurations, or globs")->delimiter(',');
  app.add_option("--machine", o->machine, "Only sessions of this kind of machine or host (a glob)");
  app.add_option("--metric", o->metric, metricNames())->capture_default_str()->check(knownMetric());
  addComparisonRuleOptions(app, o->settings);
  addRelativeOption(app, "--fail-above", o->failAbove,
                    "Exit 1 when a series' latest revision failed, or is significantly slower by "
                    "more than PCT (accepted and false-positive changes excepted)")
      ->default_str("");
  app.add_flag("--no-anchor", o->noAnchor,
               "The sessions' times as measured, not relative to the anchor they ran");
  addFormatOption(app, o->format);
  return [&app, o](const CommandContext& context) {
    checkBounds(app, comparisonRuleBounds(o->settings, o->failAbove));
    return historyCommand(*o, context.source);
  };
}

CommandRunner addTriageCommand(CLI::App& app) {
  auto o = std::make_shared<TriageOptions>();
  app.add_option("--db", o->db, databaseHelp)->required()->check(nonEmptyPath);
  app.add_option("--revision", o->revision, "The revision of the change")->required();
  app.add_option("-p,--programs", o->programs, "Programs, or globs")->delimiter(',')->required();
  app.add_option("-w,--workload", o->workloads, "Workloads, or globs (all)")->delimiter(',');
  app.add_option("-c,--config", o->configs, "Configurations, or globs (all)")->delimiter(',');
  app.add_option("--state", o->state, "open, fixed, accepted or false-positive")->required();
  app.add_option("--note", o->note, "One line on why");
  return [o](const CommandContext&) { return triageCommand(*o); };
}

CommandRunner addImportCommand(CLI::App& app) {
  struct Options {
    std::vector<std::string> files;
    std::string db;
  };
  auto o = std::make_shared<Options>();
  app.add_option("files", o->files, "Results files (JSON)")
      ->required()
      ->check(nonEmptyPath)
      ->check(resultsFile());
  app.add_option("--db", o->db, databaseHelp)->required()->check(nonEmptyPath);
  return [o](const CommandContext&) { return importCommand(o->files, o->db); };
}

CommandRunner addExportCommand(CLI::App& app) {
  auto o = std::make_shared<ExportOptions>();
  app.add_option("file", o->file, "A results file, instead of --db")
      ->check(nonEmptyPath)
      ->check(resultsFile());
  app.add_option("--db", o->db, databaseHelp)->check(nonEmptyPath);
  app.add_option("--session", o->session, "The session's id");
  app.add_option("--format", o->format, "results or gbench")->capture_default_str();
  app.add_option("-c,--config", o->config, "gbench: this configuration only");
  app.add_flag("--medians", o->medians,
               "gbench: each program as one repetition, its median, so that compare.py's "
               "overall geometric mean is compare's (it is taken over repetitions)");
  app.add_option("-o,--output", o->output,
                 "FILE: the file to write (default, or -: standard output)")
      ->check(nonEmptyPath);
  // An earlier spelling, still taken.
  app.add_option("--json", o->output)->check(nonEmptyPath)->group("");
  return [o](const CommandContext&) { return exportCommand(*o); };
}

} // namespace bench32
