#include "run/plan.hpp"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "analysis/fleet.hpp"
#include "build/pgo.hpp"
#include "exec/cpu_list.hpp"
#include "exec/files.hpp"
#include "exec/words.hpp"
#include "model/globs.hpp"
#include "run/environment.hpp"
#include "store/database.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

std::vector<std::string> namesOf(const std::vector<ProgramInfo>& programs) {
  std::vector<std::string> names;
  for (const auto& p : programs) names.push_back(p.name);
  return names;
}

void checkMatches(const std::vector<ProgramInfo>& all, const std::string& pattern,
                  const char* option) {
  if (std::any_of(all.begin(), all.end(), [&](auto& p) { return matchesGlob(pattern, p.name); }))
    return;
  throw BadInput(fmt::format("{}: unknown program \"{}\"{}", option, pattern,
                             suggestion(pattern, namesOf(all))));
}

// A workload that none of the chosen programs has is a slip, named once for the
// session rather than once per program.
void checkWorkloads(const std::vector<ProgramInfo>& programs,
                    const std::map<std::string, std::vector<std::string>>& workloadsOf,
                    const std::vector<std::string>& wanted) {
  std::vector<std::string> known;
  for (const auto& p : programs)
    for (const auto& w : workloadsOf.at(p.name))
      if (std::find(known.begin(), known.end(), w) == known.end()) known.push_back(w);
  for (const auto& w : wanted)
    if (std::find(known.begin(), known.end(), w) == known.end())
      throw BadInput(fmt::format("--workload: unknown workload \"{}\"{}", w, suggestion(w, known)));
}

} // namespace

std::vector<ProgramInfo> selectPrograms(const std::vector<ProgramInfo>& all,
                                        const std::vector<std::string>& wanted,
                                        const std::vector<std::string>& excluded) {
  for (const auto& pattern : wanted) checkMatches(all, pattern, "--programs");
  for (const auto& pattern : excluded) checkMatches(all, pattern, "--exclude");
  std::vector<ProgramInfo> chosen;
  for (const auto& p : all) {
    const bool named = wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&](auto& w) {
                         return matchesGlob(w, p.name);
                       });
    const bool dropped = std::any_of(excluded.begin(), excluded.end(),
                                     [&](auto& x) { return matchesGlob(x, p.name); });
    if (named && !dropped) chosen.push_back(p);
  }
  if (chosen.empty()) throw BadInput("no program left to run after --exclude");
  return chosen;
}

namespace {

// What the options cannot be combined with, each refused with one line.
void checkCombinations(const RunOptions& options) {
  const RunSettings& s = options.settings;
  if (!s.runs && s.minRuns > s.maxRuns) throw BadInput("--min-runs is above --max-runs");
  if (options.remote) {
    if (s.instructions)
      throw BadInput("--instructions cannot be used with --remote: instructions are counted "
                     "here, not on the host");
    if (!options.pgo.empty())
      throw BadInput("--pgo cannot be used with --remote: the training runs would be this "
                     "machine's, not the host's");
    if (s.layouts > 0)
      throw BadInput("--layouts cannot be used with --remote: the environment padding of each "
                     "run is not carried to the host");
    if (s.duet)
      throw BadInput("--duet cannot be used with --remote: its start gate is this machine's");
  }
  if (s.decide && s.runs > 0)
    throw BadInput("--decide cannot be used with --runs: it decides when to stop");
  if (s.decide && (s.layouts > 0 || s.copies > 1))
    throw BadInput("--decide pairs one run of each configuration a round; it cannot be used with "
                   "--layouts or --copies");
  if (s.duet && (s.cpus.empty() ? allowedCpus() : s.cpus).size() < 2)
    throw BadInput("--duet needs two processors or more (--cpu, or this process's own)");
  if (!s.cpus.empty() && std::size_t(s.copies) > s.cpus.size())
    throw BadInput(fmt::format("--copies {} needs as many --cpu processors; {} given", s.copies,
                               s.cpus.size()));
}

} // namespace

Plan makePlan(const RunOptions& options, const fs::path& source) {
  checkCombinations(options);
  Plan plan;
  // Every output first: two on one path, or one that cannot be written, stop us now.
  std::set<fs::path> outputs;
  std::vector<std::string> files;
  if (!options.json.empty()) files.push_back(options.json);
  for (const auto& [format, file] : options.exports) files.push_back(file);
  for (const auto& file : files) {
    // A descriptor's name (/dev/stdout on a pipe) has no canonical path: it is taken as
    // it is given.
    std::error_code error;
    fs::path where = fs::weakly_canonical(fs::absolute(file), error);
    if (error) where = fs::absolute(file);
    if (!outputs.insert(where).second)
      throw BadInput(fmt::format("{}: given for two outputs", file));
    checkWritable(file);
  }

  for (const auto& w : options.workloads)
    if (std::find(plan.workloads.begin(), plan.workloads.end(), w) == plan.workloads.end())
      plan.workloads.push_back(w);
  if (plan.workloads.empty()) throw BadInput("--workload needs a name");

  const auto all = discoverPrograms(source);
  if (all.empty()) throw BadInput(fmt::format("{}: no programs in benchmarks/", source.string()));
  plan.programs = selectPrograms(all, options.programs, options.exclude);
  // Every expectation is loaded now: a malformed file stops the session before it starts.
  std::map<std::string, std::map<std::string, Expectation>> loaded;
  std::map<std::string, std::vector<std::string>> workloadNames;
  for (const auto& program : plan.programs) {
    loaded[program.name] = loadWorkloads(program.workloadsFile());
    for (const auto& [name, e] : loaded[program.name]) workloadNames[program.name].push_back(name);
  }
  checkWorkloads(plan.programs, workloadNames, plan.workloads);
  for (const auto& program : plan.programs) {
    const auto& workloads = loaded.at(program.name);
    for (const auto& w : plan.workloads) {
      plan.expected[{program.name, w}] =
          std::make_shared<Expectation>(workloadNamed(workloads, program.name, w));
    }
  }

  const fs::path buildRoot = buildRootOf(source, options.buildRoot);
  for (const auto& c : options.configs) plan.recipes.push_back(parseConfig(c, buildRoot));
  for (const auto& b : options.builds) plan.recipes.push_back(parseExistingBuild(b));
  if (!options.anchor.empty()) {
    // The anchor runs last in a round's order of configurations; it is built by no one.
    if (plan.recipes.empty())
      throw BadInput("--anchor is run beside the configurations: give them too (-c or -b)");
    plan.recipes.push_back(parseExistingBuild(options.anchor, "--anchor"));
    plan.recipes.back().kind = BuildKind::pinned;
    plan.anchor = plan.recipes.back().info.name;
  }
  if (plan.recipes.empty()) {
    BuildRecipe release;
    release.info.name = "release";
    release.info.buildDir = (buildRootOf(source) / "release").string();
    plan.recipes.push_back(release);
  }
  std::set<std::string> names;
  for (const auto& t : plan.recipes)
    if (!names.insert(t.info.name).second)
      throw BadInput(fmt::format("configuration \"{}\" given twice", t.info.name));
  if (const auto& decide = options.settings.decide) {
    if (plan.recipes.size() < 2)
      throw BadInput("--decide compares configurations: give at least two (-c or -b)");
    if (!decide->baseline.empty() && !names.count(decide->baseline))
      throw BadInput(fmt::format(
          "--baseline {}: no such configuration{}", decide->baseline,
          suggestion(decide->baseline, {names.begin(), names.end()}, "configurations")));
    const auto& s = options.settings;
    const std::size_t processors = s.cpus.empty() ? allowedCpus().size() : s.cpus.size();
    if (s.duet && plan.recipes.size() > processors)
      throw BadInput(fmt::format("--duet runs {} configurations at once: it needs as many "
                                 "processors, and has {}",
                                 plan.recipes.size(), processors));
  }
  return plan;
}

Results startResults(const Plan& plan, const RunOptions& options, const fs::path& source,
                     const std::vector<std::string>& commandLine) {
  Results results;
  results.created = utcNow();
  results.command = commandLine;
  results.environment = captureEnvironment(source);
  const RunSettings& s = options.settings;
  results.environment.merge(captureProcessorState(s.cpus));
  results.settings = {{"warmup", s.warmup},      {"runs", s.runs},
                      {"min_runs", s.minRuns},   {"max_runs", s.maxRuns},
                      {"min_time_s", s.minTime}, {"precision", s.precision},
                      {"timeout_s", s.timeout},  {"instructions", s.instructions ? 1 : 0}};
  if (s.layouts > 0) results.settings["layouts"] = s.layouts;
  if (s.copies > 1) results.settings["copies"] = s.copies;
  if (s.duet) results.settings["duet"] = 1;
  if (s.decide) {
    results.decide = s.decide;
    if (results.decide->baseline.empty()) results.decide->baseline = plan.recipes.front().info.name;
  }
  results.runUnder = commandText(s.runUnder);
  if (s.compileRuns > 0) results.settings["compile_runs"] = s.compileRuns;
  results.anchor = plan.anchor;
  for (const auto& t : plan.recipes) results.configs.push_back(t.info);
  for (const auto& t : plan.recipes)
    for (const auto& p : plan.programs)
      for (const auto& w : plan.workloads) {
        UnitResult u;
        u.config = t.info.name;
        u.program = p.name;
        u.workload = w;
        u.inputXxh3 = digestHex(digest(plan.expected.at({p.name, w})->input));
        results.units.push_back(u);
      }
  return results;
}

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

Session planSession(const RunOptions& options, const fs::path& source,
                    const std::vector<std::string>& commandLine) {
  Session session;
  session.plan = makePlan(options, source);
  markProfileGuided(session.plan.recipes, options.pgo, session.plan.workloads,
                    options.settings.layouts);
  session.results = startResults(session.plan, options, source, commandLine);
  applyFleetOptions(session.plan, session.results, options);
  session.results.ranOn = thisMachine(session.results.environment);
  session.settings = options.settings;
  session.settings.decide = session.results.decide;
  session.settings.anchor = session.results.anchor;
  return session;
}

} // namespace bench32
