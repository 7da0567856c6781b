#include "cli/store_commands.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "analysis/fleet.hpp"
#include "analysis/history.hpp"
#include "analysis/noise.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/git.hpp"
#include "measure/environment.hpp"
#include "model/results_file.hpp"
#include "output/export/exporter.hpp"
#include "output/export/html.hpp"
#include "output/gbench.hpp"
#include "output/history_table.hpp"
#include "store/schema.hpp"
#include "store/triage.hpp"

namespace bench32 {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Every session of each revision, merged, in commit order (else time order).
std::vector<RevisionPoint> revisionPoints(store::Database& db,
                                          const std::vector<store::SessionInfo>& sessions,
                                          const fs::path& repo) {
  std::map<std::string, std::vector<const store::SessionInfo*>> byRevision;
  for (const auto& s : sessions) byRevision[s.revision].push_back(&s);
  std::vector<RevisionPoint> points;
  std::vector<RevisionStamp> stamps;
  std::vector<std::string> revisions;
  for (const auto& [revision, group] : byRevision) {
    RevisionPoint point;
    point.revision = revision;
    std::vector<Results> loaded;
    for (const auto* s : group) {
      point.sessions.push_back(s->id);
      loaded.push_back(store::loadSession(db, s->id));
      if (point.created.empty() || s->created < point.created) point.created = s->created;
    }
    point.merged = mergeResults(loaded);
    point.warning = machineWarning(loaded, "revision " + revisionLabel(revision));
    point.loaded = std::move(loaded);
    stamps.push_back({revision, point.created});
    revisions.push_back(revision);
    points.push_back(std::move(point));
  }
  std::vector<RevisionPoint> ordered;
  for (std::size_t i : revisionOrder(stamps, commitRanks(repo, revisions)))
    ordered.push_back(std::move(points[i]));
  return ordered;
}

bool matchesAny(const std::vector<std::string>& globs, const std::string& name) {
  return globs.empty() || std::any_of(globs.begin(), globs.end(), [&](const std::string& g) {
           return fnmatch(g.c_str(), name.c_str(), 0) == 0;
         });
}

// The sessions filed under a revision, given in full or as the start of a commit name.
std::vector<store::SessionInfo> sessionsOf(const std::vector<store::SessionInfo>& all,
                                           const std::string& revision) {
  std::vector<store::SessionInfo> exact, prefixed;
  std::set<std::string> matched;
  // Only a commit name may be shortened: a label means itself.
  const bool abbreviable =
      revision.size() >= 4 && revision.find_first_not_of("0123456789abcdef") == std::string::npos;
  for (const auto& s : all) {
    if (s.revision == revision) exact.push_back(s);
    if (abbreviable && s.revision.rfind(revision, 0) == 0) {
      prefixed.push_back(s);
      matched.insert(s.revision);
    }
  }
  if (!exact.empty()) return exact;
  if (matched.size() > 1)
    throw BadInput(fmt::format("revision \"{}\" is ambiguous: it begins {} revisions", revision,
                               matched.size()));
  if (prefixed.empty()) throw BadInput(fmt::format("no session of revision \"{}\"", revision));
  return prefixed;
}

void checkSettings(const CompareSettings& s) {
  if (!(s.alpha >= 0 && s.alpha <= 1)) throw BadInput("--alpha must be between 0 and 1");
  if (!(s.minEffect >= 0)) throw BadInput("--min-effect must be at least 0");
  if (s.minSamples < 1) throw BadInput("--min-samples must be at least 1");
}

// What a database knows beyond its sessions' runs: the between-session noise learned
// from them, and the triage states of their changes.
struct Knowledge {
  NoiseModel noise;
  TriageStates states;

  Knowledge(store::Database& db, const std::vector<Results>& sessions, Metric metric)
      : noise(NoiseModel::learn(sessions, metric)) {
    for (const auto& mark : store::loadTriage(db))
      states[{mark.revision, mark.program, mark.workload, mark.config}] = mark.state;
  }
  void applyTo(CompareSettings& settings) const {
    settings.noise = &noise;
    settings.states = &states;
  }
};

std::vector<Results> everySession(const std::vector<RevisionPoint>& points) {
  std::vector<Results> sessions;
  for (const auto& p : points) sessions.insert(sessions.end(), p.loaded.begin(), p.loaded.end());
  return sessions;
}

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

} // namespace

std::unique_ptr<store::Database> openStore(const std::string& target, Access access) {
  if (access == Access::read && !store::isPostgresTarget(target) && !target.empty() &&
      !fs::exists(target))
    throw BadInput(fmt::format("{}: no such database", target));
  auto db = store::openDatabase(target);
  store::migrate(*db);
  return db;
}

std::vector<store::SessionInfo> selectSessions(store::Database& db, const std::string& machine) {
  auto sessions = store::listSessions(db);
  if (sessions.empty()) throw BadInput("no session in the database");
  if (machine.empty()) return sessions;
  std::erase_if(sessions, [&](const store::SessionInfo& s) {
    return fnmatch(machine.c_str(), s.machine.c_str(), 0) != 0 &&
           fnmatch(machine.c_str(), s.host.c_str(), 0) != 0;
  });
  if (sessions.empty())
    throw BadInput(fmt::format("--machine {}: no session ran on such a machine", machine));
  return sessions;
}

SessionRecorder::SessionRecorder(const std::string& target)
    : db_(openStore(target)), writer_(*db_) {}

void SessionRecorder::checkpoint(const Results& results) { writer_.checkpoint(toJson(results)); }

void applyFleetOptions(Plan& plan, Results& results, const RunOptions& options) {
  // The command line is kept with the results: a database password must not be.
  for (auto& word : results.command) word = store::withoutPassword(word);
  if (!options.revision.empty()) {
    if (options.revision.find_first_of("\n\r\t") != std::string::npos ||
        options.revision.size() > 200)
      throw BadInput("--revision: a label of one line, at most 200 characters");
    results.environment["revision"] = options.revision;
  }
  if (options.shard.empty()) return;
  keepShard(results, parseShard(options.shard));
  std::set<std::string> running;
  for (const auto& u : results.units) running.insert(u.program);
  std::erase_if(plan.programs, [&](const ProgramInfo& p) { return !running.count(p.name); });
}

int sessionsCommand(const std::string& target, bool asJson) {
  auto db = openStore(target, Access::read);
  Table table;
  table.columns = {{"session", "session", true}, {"created", "created"}, {"revision", "revision"},
                   {"machine", "machine"},       {"host", "host"},       {"shard", "shard"},
                   {"complete", "complete"}};
  for (const auto& s : store::listSessions(*db))
    table.rows.push_back(std::vector<Cell>{
        std::to_string(s.id), s.created, Cell(revisionLabel(s.revision), s.revision), s.machine,
        s.host, s.shard, std::string(s.complete ? "yes" : "no")});
  fmt::print("{}", (asJson ? jsonExporter() : textExporter()).render({{{"", table, {}}}}));
  return exitOk;
}

int importCommand(const std::vector<std::string>& files, const std::string& target) {
  // Every file is read and checked before the first is written.
  std::vector<json> documents;
  for (const auto& file : files) {
    try {
      documents.push_back(json::parse(readFile(file)));
      resultsFromJson(documents.back());
    } catch (const json::exception& e) {
      throw BadInput(fmt::format("{}: not valid JSON: {}", file, e.what()));
    } catch (const BadInput& e) {
      throw BadInput(fmt::format("{}: {}", file, e.what()));
    }
  }
  auto db = openStore(target);
  for (std::size_t i = 0; i < files.size(); ++i) {
    // Pooled twice, the same runs would count twice in every comparison.
    if (const auto id = store::findSession(*db, documents[i])) {
      fmt::print("{}: already in the database as session {}\n", files[i], *id);
      continue;
    }
    store::SessionWriter writer(*db);
    writer.checkpoint(documents[i]);
    fmt::print("{}: session {}\n", files[i], writer.id());
  }
  return exitOk;
}

int exportCommand(const ExportOptions& options) {
  if (options.format != "results" && options.format != "gbench")
    throw BadInput(fmt::format("--format {}: results or gbench", options.format));
  if (options.file.empty() == options.db.empty())
    throw BadInput("export reads a session (--db TARGET --session ID) or a results file");
  if (!options.output.empty()) checkWritable(options.output);
  json doc;
  if (!options.db.empty()) {
    if (options.session <= 0) throw BadInput("--session ID: which session to export");
    auto db = openStore(options.db, Access::read);
    doc = store::loadSessionJson(*db, options.session);
  } else {
    doc = toJson(loadResults(options.file));
  }
  if (options.format == "gbench") {
    try {
      doc = gbenchJson(resultsFromJson(doc), options.config);
    } catch (const BadInput& e) {
      throw BadInput(options.file.empty() ? fmt::format("session {}: {}", options.session, e.what())
                                          : fmt::format("{}: {}", options.file, e.what()));
    }
  }
  const std::string text = doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
  if (options.output.empty())
    fmt::print("{}", text);
  else
    writeFile(options.output, text);
  return exitOk;
}

int historyCommand(HistoryOptions options, const fs::path& repo) {
  const Exporter& exporter = exporterNamed(options.format);
  checkSettings(options.settings);
  options.settings.metric = metricNamed(options.metric).id;
  if (options.failAbove < 0 && options.failAbove != -1)
    throw BadInput("--fail-above must be at least 0");
  auto db = openStore(options.db, Access::read);
  const auto sessions = selectSessions(*db, options.machine);
  const auto points = revisionPoints(*db, sessions, repo);
  const Knowledge knowledge(*db, everySession(points), options.settings.metric);
  knowledge.applyTo(options.settings);
  const auto rows = history(points, {options.programs, options.configs, options.settings});
  if (rows.empty()) throw BadInput("no measurement matches -p and -c");
  fmt::print("{}", exporter.render(historyDocument(rows, points, options.settings)));
  if (options.failAbove >= 0 && historyExceeds(rows, options.failAbove / 100)) {
    fmt::print(stderr,
               "bench32: the latest revision has a change more than {}% slower, or a "
               "failure\n",
               options.failAbove);
    return exitFailed;
  }
  return exitOk;
}

int triageCommand(const TriageOptions& options) {
  const auto& states = store::triageStates();
  if (std::find(states.begin(), states.end(), options.state) == states.end())
    throw BadInput(fmt::format("--state {}: one of {}", options.state, fmt::join(states, ", ")));
  if (options.note.find_first_of("\n\r") != std::string::npos) throw BadInput("--note: one line");
  auto db = openStore(options.db, Access::read);
  // The revision as it is filed (a commit name may be shortened), and what it measured.
  std::vector<store::TriageMark> marks;
  for (const auto& s : sessionsOf(store::listSessions(*db), options.revision)) {
    for (const auto& unit : store::loadSession(*db, s.id).units) {
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
    fmt::print("{} {}/{} {}: {}\n", revisionLabel(mark.revision), mark.program, mark.workload,
               mark.config, mark.state);
  }
  return exitOk;
}

int compareStoredCommand(CompareOptions options, const std::string& machine) {
  if (!options.files.empty() && (!options.revisions.empty() || !options.sessions.empty()))
    throw BadInput("compare takes results files or points of the database, not both");
  if (options.files.empty() && options.revisions.size() + options.sessions.size() < 2)
    throw BadInput("compare --db needs two points: --revision A --revision B, or --session ids");
  auto db = openStore(options.db, Access::read);
  const auto all = selectSessions(*db, machine);
  std::vector<Results> every;
  for (const auto& s : all) every.push_back(store::loadSession(*db, s.id));
  checkSettings(options.settings);
  const Knowledge knowledge(*db, every, metricNamed(options.metric).id);
  knowledge.applyTo(options.settings);
  // Results files, judged with the database's noise model.
  if (!options.files.empty()) return compareCommand(options);
  std::vector<Results> points;
  std::vector<std::string> names;
  for (const auto& revision : options.revisions) {
    std::vector<Results> loaded;
    for (const auto& s : sessionsOf(all, revision))
      loaded.push_back(every[std::size_t(
          std::find_if(all.begin(), all.end(), [&](const auto& a) { return a.id == s.id; }) -
          all.begin())]);
    const std::string warning = machineWarning(loaded, "revision " + revisionLabel(revision));
    if (!warning.empty()) fmt::print(stderr, "bench32: {}\n", warning);
    points.push_back(mergeResults(loaded));
    names.push_back(revisionLabel(revision));
  }
  for (const auto id : options.sessions) {
    const auto it = std::find_if(all.begin(), all.end(), [&](const auto& s) { return s.id == id; });
    points.push_back(it != all.end() ? every[std::size_t(it - all.begin())]
                                     : store::loadSession(*db, id));
    names.push_back(fmt::format("session {}", id));
  }
  return compareResults(options, points, names);
}

int reportStoredCommand(const ReportOptions& options, const fs::path& repo,
                        const std::string& machine) {
  checkWritable(options.output);
  auto db = openStore(options.db, Access::read);
  const auto sessions = selectSessions(*db, machine);
  const auto points = revisionPoints(*db, sessions, repo);
  CompareSettings settings;
  const Knowledge knowledge(*db, everySession(points), settings.metric);
  knowledge.applyTo(settings);
  const auto rows = history(points, {{}, {}, settings});
  const std::string appendix =
      "<h2>History</h2><p class='muted'>Median wall time per revision, oldest first, with its "
      "95% interval; red and green mark changes from the revision before that are beyond both "
      "the runs' noise and the learned session noise.</p>" +
      trendCharts(rows, settings.metric) + htmlSections(historyDocument(rows, points, settings));
  if (!options.files.empty()) {
    std::vector<Results> files;
    std::vector<std::string> names;
    for (const auto& f : options.files) {
      files.push_back(loadResults(f));
      names.push_back(fs::path(f).stem().string());
    }
    return reportResults(options, files, names, appendix, settings);
  }
  // Without files, the page opens on the latest revision against the one before.
  std::vector<Results> latest;
  std::vector<std::string> names;
  for (std::size_t i = points.size() >= 2 ? points.size() - 2 : 0; i < points.size(); ++i) {
    latest.push_back(points[i].merged);
    names.push_back(revisionLabel(points[i].revision));
  }
  return reportResults(options, latest, names, appendix, settings);
}

void addComparisonRuleOptions(CLI::App& app, CompareSettings& settings) {
  app.add_option("--alpha", settings.alpha, "Significance level")->capture_default_str();
  app.add_option("--min-effect", settings.minEffect, "Smallest relative difference flagged")
      ->capture_default_str();
  app.add_option("--min-samples", settings.minSamples, "Fewest samples per side for a verdict")
      ->capture_default_str();
}

void StoreCommandLine::add(CLI::App& app, CLI::App& list, CLI::App& run, RunOptions& runOptions,
                           CLI::App& compare, CompareOptions& compareOptions, CLI::App& report,
                           ReportOptions& reportOptions) {
  list_ = &list;
  compare_ = &compare;
  report_ = &report;
  compareOptions_ = &compareOptions;
  reportOptions_ = &reportOptions;
  const std::string dbHelp = "Results database: an SQLite file, or a postgresql:// URL";

  list.add_option("--db", listDb_, "List the sessions of this " + dbHelp);
  run.add_option("--db", runOptions.db, "Also write the session into this " + dbHelp);
  run.add_option("--shard", runOptions.shard,
                 "K/N: run the K-th of N slices of the (configuration, program, workload) units");
  run.add_option("--revision", runOptions.revision,
                 "File the session under this revision label instead of the git revision");

  compare.get_option("files")->required(false);
  compare.add_option("--db", compareOptions.db, "Compare points of this " + dbHelp);
  compare.add_option("--revision", compareOptions.revisions,
                     "With --db: every session of this revision, merged (repeatable)");
  compare.add_option("--session", compareOptions.sessions, "With --db: a session (repeatable)");
  const std::string machineHelp =
      "With --db: only sessions of this kind of machine or host (a glob, e.g. '*EPYC*')";
  compare.add_option("--machine", machine_, machineHelp);

  report.get_option("files")->required(false);
  report.add_option("--db", reportOptions.db, "Add the history's trend charts from this " + dbHelp);
  report.add_option("--machine", machine_, machineHelp);

  history_ = app.add_subcommand(
      "history", "Each program's median per revision, with significant changes flagged");
  history_->add_option("--db", historyOptions_.db, dbHelp)->required();
  history_->add_option("-p,--programs", historyOptions_.programs, "Programs, or globs")
      ->delimiter(',');
  history_->add_option("-c,--config", historyOptions_.configs, "Configurations, or globs")
      ->delimiter(',');
  history_->add_option("--machine", historyOptions_.machine,
                       "Only sessions of this kind of machine or host (a glob)");
  history_->add_option("--metric", historyOptions_.metric, metricNames())->capture_default_str();
  addComparisonRuleOptions(*history_, historyOptions_.settings);
  history_->add_option("--fail-above", historyOptions_.failAbove,
                       "Exit 1 when a series' latest revision failed, or is significantly slower "
                       "by more than PCT percent (accepted and false-positive changes excepted)");
  std::string formats;
  for (const Exporter* e : exporters()) formats += (formats.empty() ? "" : ", ") + e->name();
  history_->add_option("--format", historyOptions_.format, formats)->capture_default_str();

  triage_ = app.add_subcommand("triage", "Mark the changes of a revision: fixed, accepted, a "
                                         "false positive, or open again");
  triage_->add_option("--db", triageOptions_.db, dbHelp)->required();
  triage_->add_option("--revision", triageOptions_.revision, "The revision of the change")
      ->required();
  triage_->add_option("-p,--programs", triageOptions_.programs, "Programs, or globs")
      ->delimiter(',')
      ->required();
  triage_->add_option("-w,--workload", triageOptions_.workloads, "Workloads, or globs (all)")
      ->delimiter(',');
  triage_->add_option("-c,--config", triageOptions_.configs, "Configurations, or globs (all)")
      ->delimiter(',');
  triage_->add_option("--state", triageOptions_.state, "open, fixed, accepted or false-positive")
      ->required();
  triage_->add_option("--note", triageOptions_.note, "One line on why");

  import_ = app.add_subcommand("import", "Load results files into a database");
  import_->add_option("files", importFiles_, "Results files (JSON)")->required();
  import_->add_option("--db", importDb_, dbHelp)->required();

  export_ = app.add_subcommand("export", "Write a session (or a results file) as a file");
  export_->add_option("file", exportOptions_.file, "A results file, instead of --db");
  export_->add_option("--db", exportOptions_.db, dbHelp);
  export_->add_option("--session", exportOptions_.session, "The session's id");
  export_->add_option("--format", exportOptions_.format, "results or gbench")
      ->capture_default_str();
  export_->add_option("-c,--config", exportOptions_.config, "gbench: this configuration only");
  export_->add_option("--json,-o,--output", exportOptions_.output,
                      "The file to write (default: standard output)");
}

std::optional<int> StoreCommandLine::dispatch(const CLI::App& app, const fs::path& source) const {
  if (app.got_subcommand(list_) && !listDb_.empty())
    return sessionsCommand(listDb_, list_->count("--json") > 0);
  if (app.got_subcommand(history_)) return historyCommand(historyOptions_, source);
  if (app.got_subcommand(import_)) return importCommand(importFiles_, importDb_);
  if (app.got_subcommand(triage_)) return triageCommand(triageOptions_);
  if (app.got_subcommand(export_)) return exportCommand(exportOptions_);
  if (app.got_subcommand(compare_)) {
    if (!compareOptions_->db.empty()) return compareStoredCommand(*compareOptions_, machine_);
    if (!compareOptions_->revisions.empty() || !compareOptions_->sessions.empty() ||
        !machine_.empty())
      throw BadInput("--revision, --session and --machine need --db");
    if (compareOptions_->files.empty()) throw BadInput("compare needs results files, or --db");
  }
  if (app.got_subcommand(report_)) {
    if (!reportOptions_->db.empty()) return reportStoredCommand(*reportOptions_, source, machine_);
    if (!machine_.empty()) throw BadInput("--machine needs --db");
    if (reportOptions_->files.empty()) throw BadInput("report needs results files, or --db");
  }
  return std::nullopt;
}

} // namespace bench32
