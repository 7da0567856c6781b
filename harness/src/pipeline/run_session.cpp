#include "pipeline/run_session.hpp"

#include <cstdio>

#include <fmt/format.h>

#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/words.hpp"
#include "output/comparison_table.hpp"
#include "output/export/exporter.hpp"
#include "output/table.hpp"
#include "run/built_units.hpp"
#include "run/environment.hpp"
#include "run/host.hpp"
#include "run/machine_check.hpp"
#include "run/plan.hpp"
#include "run/recorder.hpp"
#include "run/rounds.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

void say(const std::function<void(const std::string&)>& to, const std::string& line) {
  if (to) to(line);
}

// A stage that keeps what it has when interrupted: builds and the rounds poll the
// interrupt and stop with what they have; everything else ends at once.
template <typename Stage>
auto keepingWhatItHas(Stage stage) {
  const KeepOnInterrupt keep;
  return stage();
}

BuildOptions buildOptions(const RunOptions& options, const fs::path& source,
                          const MeasureHooks& console) {
  BuildOptions building;
  building.sourceDir = source;
  building.caseRunner = besideSelf("bench32-case");
  building.jobs = options.jobs;
  building.layouts = options.settings.layouts;
  building.cancel = &interruptFlag();
  building.log = [&console](const std::string& line) { say(console.note, line); };
  return building;
}

// The rounds on the host, then how the session ended.
void measure(Session& session, const std::vector<PlannedUnit>& units, const Host& host,
             const MeasureHooks& console, Recorder& recorder) {
  MeasureHooks hooks = console;
  hooks.checkpoint = [&] { recorder.checkpoint(session.results); };
  RunSettings settings = session.settings;
  settings.startGate = host.startGate();
  const bool finished = keepingWhatItHas(
      [&] { return measureRounds(session.results, units, settings, host.runner(), hooks); });
  say(console.progress, "");
  session.results.complete = finished;
  session.results.environment["load_after"] = loadAverage();
  if (!finished) session.results.stopReason = "interrupted";
}

// Prints the table, writes the exports and says how the run went.
int output(const Results& results, const RunOptions& options,
           const std::optional<std::int64_t>& sessionId) {
  const Document document = runDocument(results);
  writeStandardOutput(textExporter().render(document));
  if (results.decide) writeStandardOutput("\n" + textExporter().render(decisionDocument(results)));
  for (const auto& [format, file] : options.exports)
    writeFile(file, exporterNamed(format).render(document));
  std::size_t runs = 0;
  for (const auto& u : results.units) runs += u.samples.size() + u.warmup.size();
  const auto failures = failureLines(results);
  fmt::print(stderr, "{}{}\n", runSummary(runs, failures.size(), results.units.size()),
             options.json.empty() ? ""
             : options.json.rfind("/dev/fd/", 0) == 0
                 ? "; results on standard output"
                 : fmt::format("; results in {}", options.json));
  if (sessionId)
    fmt::print(stderr, "session {} written to {}\n", *sessionId,
               store::withoutPassword(options.db));
  if (!results.complete) {
    fmt::print(stderr, "bench32: interrupted; the results so far are kept\n");
    return interruptedStatus();
  }
  return failures.empty() ? exitOk : exitFailed;
}

// What stopped the session: what was measured is kept and the reason noted.
void stopped(Results& results, Recorder& recorder, const std::exception& error,
             const MeasureHooks& console) {
  say(console.progress, "");
  results.stopReason = error.what();
  try {
    if (!results.units.empty()) recorder.finish(results);
  } catch (const std::exception&) {
    // The error that stopped the session is the one to report.
  }
}

} // namespace

MeasuredSession measureSession(const RunOptions& options, const fs::path& source,
                               const std::vector<std::string>& commandLine,
                               const MeasureHooks& console) {
  MeasuredSession measured;
  Session session;
  Recorder recorder(options.json);
  try {
    session = planSession(options, source, commandLine);
    // Read before the build raises the load; said once the command line and the
    // database are known good, so that a usage error stays one line.
    const std::string warning = options.remote ? "" : machineWarning(session.settings.cpus);
    if (!options.db.empty()) recorder.connect(options.db);
    recorder.checkpoint(session.results);
    Host host = reachHost(options.remote, source, session.results, console.note);
    if (!warning.empty()) say(console.note, warning);
    const auto units = keepingWhatItHas([&] {
      return buildUnits(session, options, buildOptions(options, source, console), console.note,
                        [&] { recorder.checkpoint(session.results); });
    });
    if (interruptFlag()) throw BuildError("interrupted");
    stageOnHost(host, units, session.results, console.note);
    measure(session, units, host, console, recorder);
    recorder.finish(session.results);
  } catch (const std::exception& e) {
    stopped(session.results, recorder, e, console);
    measured.error = std::current_exception();
  }
  measured.results = std::move(session.results);
  measured.sessionId = recorder.sessionId();
  return measured;
}

int runSession(const RunOptions& options, const fs::path& source,
               const std::vector<std::string>& commandLine, const MeasureHooks& console) {
  const MeasuredSession measured = measureSession(options, source, commandLine, console);
  if (measured.error) {
    try {
      std::rethrow_exception(measured.error);
    } catch (const std::exception& e) {
      fmt::print(stderr, "bench32: {}\n", e.what());
      return interruptFlag() ? interruptedStatus() : exitStatusFor(e);
    }
  }
  return output(measured.results, options, measured.sessionId);
}

std::string runSummary(std::size_t verifiedRuns, std::size_t failed, std::size_t measurements) {
  // The runs kept are the verified ones: a failed run is never kept, so "all verified"
  // is only true when nothing failed, and says nothing when nothing ran.
  std::string runs = verifiedRuns == 0 ? "no run verified"
                     : failed == 0     ? plural(verifiedRuns, "run") + ", all verified"
                                       : plural(verifiedRuns, "run") + " verified";
  if (failed == 0) return verifiedRuns == 0 ? "nothing was run" : runs;
  return fmt::format("{}; {} of {} failed", runs, failed, plural(measurements, "measurement"));
}

} // namespace bench32
