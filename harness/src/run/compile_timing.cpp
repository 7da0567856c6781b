#include "run/compile_timing.hpp"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/tool.hpp"
#include "model/suite.hpp"

namespace bench32 {
namespace fs = std::filesystem;

CompileRound compileOnce(const CompileJob& job, const std::string& expectedXxh3, double timeout,
                         const std::atomic<bool>* cancel, const Runner& runner) {
  CompileRound round;
  auto run = [&](const BuildCommand& command, const fs::path& output, const std::string& what) {
    // The output is made anew every time: a command that writes nothing is no compile.
    std::error_code ignored;
    fs::remove(output, ignored);
    RunResult result = runTool(runner, command.argv,
                               {std::chrono::duration<double>(timeout), command.directory, cancel});
    if (result.cancelled) round.cancelled = true;
    if (round.cancelled) return result;
    if (!succeeded(result))
      round.error = fmt::format("{} failed: {}", what, failureLine(result));
    else if (!fs::exists(output))
      round.error = fmt::format("{} wrote no {}", what, output.filename().string());
    return result;
  };
  for (std::size_t i = 0; i < job.compiles.size(); ++i) {
    const RunResult result =
        run(job.compiles[i], job.objects[i],
            fmt::format("the compile of {}",
                        fs::path(compiledSource(job.compiles[i].argv)).filename().string()));
    if (round.cancelled || !round.error.empty()) return round;
    round.wall += result.wallSeconds;
    round.cpu += result.userSeconds + result.systemSeconds;
    round.rssKiB = std::max(round.rssKiB, double(result.maxRssKiB));
  }
  const RunResult linked = run(job.link, job.executable, "the link");
  if (round.cancelled || !round.error.empty()) return round;
  round.link = linked.wallSeconds;
  const std::string digest = fileDigest(job.executable);
  if (digest != expectedXxh3)
    round.error = fmt::format("the objects compiled link to an executable other than the built "
                              "one (xxh3 {} against {}): the build is not what was compiled",
                              digest.empty() ? "unreadable" : digest, expectedXxh3);
  return round;
}

namespace {

// One configuration's compile of one program that built, its units being the program's
// workloads.
struct Job {
  std::string config, program, expectedXxh3;
  std::vector<std::size_t> units;
  CompileJob plan;
  CompileSamples samples;
};

// A job for the program in the configuration, its commands planned in a scratch folder
// of its own; nothing when the program did not build there.
std::optional<Job> jobFor(const Measuring& m, const ConfigInfo& config, const std::string& program,
                          const fs::path& scratch, const std::string& path) {
  const Results& results = m.results;
  Job job{config.name, program, {}, {}, {}, {}};
  for (std::size_t i = 0; i < results.units.size(); ++i) {
    const UnitResult& u = results.units[i];
    if (u.config != config.name || u.program != program || u.status == Status::failed ||
        u.binaryXxh3.empty())
      continue;
    job.units.push_back(i);
    job.expectedXxh3 = u.binaryXxh3;
  }
  if (job.units.empty()) return std::nullopt;
  try {
    const fs::path folder = scratch / config.name / program;
    fs::create_directories(folder);
    job.plan = planCompile(config.buildDir, results.units[job.units.front()].binary, folder, path,
                           m.runner);
    job.samples.translationUnits = int(job.plan.compiles.size());
    if (!job.plan.launcher.empty())
      m.note(fmt::format("compile of {} {}: {} left out, the real compiler is run", config.name,
                         program, job.plan.launcher));
  } catch (const BadInput& e) {
    job.samples.refused = e.what();
    m.note(fmt::format("compile of {} {} not measured: {}", config.name, program, e.what()));
  }
  return job;
}

// In program order, the configurations of a program side by side.
std::vector<Job> compileJobs(const Measuring& m, const fs::path& scratch) {
  const std::string path = searchPath();
  std::vector<std::string> programs;
  for (const auto& u : m.results.units)
    if (std::find(programs.begin(), programs.end(), u.program) == programs.end())
      programs.push_back(u.program);
  std::vector<Job> jobs;
  for (const auto& program : programs)
    for (const auto& config : m.results.configs)
      if (auto job = jobFor(m, config, program, scratch, path)) jobs.push_back(std::move(*job));
  return jobs;
}

void store(Results& results, const Job& job) {
  for (std::size_t i : job.units) results.units[i].compile = job.samples;
}

// One compile of the job, kept as a sample, or the job's compile refused when it could
// not be shown to be the build's. False when interrupted.
bool compileJob(const Measuring& m, Job& job, int round) {
  const int rounds = m.settings.compileRuns;
  m.progress(fmt::format("compile round {}/{}: {} {}", round + 1, rounds, job.config, job.program));
  const double timeout = std::max(m.settings.timeout, 600.0);
  const CompileRound measured =
      compileOnce(job.plan, job.expectedXxh3, timeout, &interruptFlag(), m.runner);
  if (measured.cancelled || interruptFlag()) return false;
  if (!measured.error.empty()) {
    // Nothing of a compile that could not be shown to be the build's is kept.
    job.samples = {};
    job.samples.refused = measured.error;
    m.note(fmt::format("compile of {} {} not kept: {}", job.config, job.program, measured.error));
  } else {
    job.samples.wall.push_back(measured.wall);
    job.samples.cpu.push_back(measured.cpu);
    job.samples.rssKiB.push_back(measured.rssKiB);
    job.samples.link.push_back(measured.link);
  }
  store(m.results, job);
  return true;
}

} // namespace

bool measureCompiles(const Measuring& measuring) {
  const int rounds = measuring.settings.compileRuns;
  TemporaryFolder scratch("compile");
  std::vector<Job> jobs = compileJobs(measuring, scratch.path);
  for (const auto& job : jobs) store(measuring.results, job);
  for (int round = 0; round < rounds; ++round) {
    // The jobs still counted, in an order reversed every other round, as runs are.
    std::vector<Job*> order;
    for (auto& job : jobs)
      if (job.samples.refused.empty()) order.push_back(&job);
    if (order.empty()) break;
    if (round % 2 == 1) std::reverse(order.begin(), order.end());
    if (measuring.hooks.round)
      measuring.hooks.round(fmt::format("compile round {} of {}", round + 1, rounds));
    for (Job* job : order)
      if (!compileJob(measuring, *job, round)) return false;
    measuring.checkpoint();
  }
  return true;
}

} // namespace bench32
