#include "measure/compile.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/process.hpp"
#include "exec/stored_json.hpp"
#include "measure/build.hpp"
#include "measure/interrupt.hpp"
#include "model/suite.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

const std::set<std::string> launcherNames{"ccache", "sccache"};

bool isLauncher(const fs::path& file) { return launcherNames.count(file.filename().string()) > 0; }

// Every executable of that name on the search path, in order; a name with a slash is
// itself.
std::vector<fs::path> onPath(const std::string& name, const std::string& path) {
  if (name.find('/') != std::string::npos) return {fs::path(name)};
  std::vector<fs::path> found;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const fs::path candidate =
        fs::path(end > start ? path.substr(start, end - start) : std::string(".")) / name;
    if (access(candidate.c_str(), X_OK) == 0) found.push_back(candidate);
    start = end + 1;
  }
  return found;
}

// The file a program's path finally names, links followed; itself when it cannot be
// resolved.
fs::path resolved(const fs::path& program) {
  std::error_code error;
  const fs::path real = fs::canonical(program, error);
  return error ? program : real;
}

fs::path normalised(const fs::path& directory, const std::string& word) {
  return (directory / word).lexically_normal();
}

// The position of the word naming a command's output after -o (or of "-oFILE"), or
// argv.size() when it has none.
std::size_t outputWord(const std::vector<std::string>& argv) {
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (argv[i] == "-o" && i + 1 < argv.size()) return i + 1;
    if (argv[i].size() > 2 && argv[i].rfind("-o", 0) == 0) return i;
  }
  return argv.size();
}

std::string outputOf(const std::vector<std::string>& argv, std::size_t word) {
  return argv[word].rfind("-o", 0) == 0 && argv[word - 1] != "-o" ? argv[word].substr(2)
                                                                  : argv[word];
}

void setOutput(std::vector<std::string>& argv, std::size_t word, const fs::path& file) {
  argv[word] = argv[word - 1] == "-o" ? file.string() : "-o" + file.string();
}

// The source a compile command reads: the word after -c, else its last word.
std::string sourceOf(const std::vector<std::string>& argv) {
  for (std::size_t i = 1; i + 1 < argv.size(); ++i)
    if (argv[i] == "-c") return argv[i + 1];
  return argv.back();
}

// compile_commands.json, each entry keyed by the object it writes.
std::map<fs::path, BuildCommand> compileCommands(const fs::path& buildDir) {
  const fs::path file = buildDir / "compile_commands.json";
  if (!fs::exists(file))
    throw BadInput(fmt::format("no {} (the build exports its compile commands with "
                               "CMAKE_EXPORT_COMPILE_COMMANDS=ON)",
                               file.string()));
  std::map<fs::path, BuildCommand> commands;
  const nlohmann::json doc = parseStoredJson(readFile(file), file.string());
  if (!doc.is_array())
    throw BadInput(fmt::format("{}: not a list of compile commands", file.string()));
  try {
    for (const auto& entry : doc) {
      BuildCommand command;
      command.directory = entry.at("directory").get<std::string>();
      command.argv = entry.contains("arguments")
                         ? entry.at("arguments").get<std::vector<std::string>>()
                         : shellWords(entry.at("command").get<std::string>());
      const std::size_t word = outputWord(command.argv);
      if (word == command.argv.size()) continue;
      commands[normalised(command.directory, outputOf(command.argv, word))] = std::move(command);
    }
  } catch (const nlohmann::json::exception&) {
    throw BadInput(fmt::format("{}: an entry needs a \"directory\" and \"arguments\" or a "
                               "\"command\", as strings",
                               file.string()));
  }
  return commands;
}

// The compiler launcher the folder was configured with (CMAKE_CXX_COMPILER_LAUNCHER, a
// CMake list: its first item is the program), or empty.
std::string configuredLauncher(const fs::path& buildDir) {
  std::ifstream cache(buildDir / "CMakeCache.txt");
  const std::string key = "CMAKE_CXX_COMPILER_LAUNCHER:";
  for (std::string line; std::getline(cache, line);)
    if (line.rfind(key, 0) == 0 && line.find('=') != std::string::npos) {
      const std::string value = line.substr(line.find('=') + 1);
      return value.substr(0, value.find(';'));
    }
  return {};
}

// The link command of an executable, as ninja would run it, in words.
std::vector<std::string> linkCommand(const fs::path& buildDir, const fs::path& target) {
  if (!fs::exists(buildDir / "build.ninja"))
    throw BadInput(fmt::format("{} is not a Ninja build folder", buildDir.string()));
  RunRequest request;
  request.argv = {"ninja", "-C", buildDir.string(), "-t", "commands", "-s", target.string()};
  request.timeout = std::chrono::seconds(60);
  const RunResult run = runProcess(request);
  std::string text = run.stdoutText();
  if (!run.startError.empty() || run.exitStatus != 0 || text.empty())
    throw BadInput(fmt::format("ninja gives no link command for {}: {}", target.string(),
                               run.startError.empty() ? firstErrorLine(run.stderrBytes + text)
                                                      : run.startError));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.find('\n') != std::string::npos)
    throw BadInput(fmt::format("the link of {} is more than one command", target.string()));
  auto words = shellWords(text);
  // CMake's Ninja link rule wraps the command in ": && ... && :".
  if (words.size() >= 2 && words[0] == ":" && words[1] == "&&")
    words.erase(words.begin(), words.begin() + 2);
  if (words.size() >= 2 && words.back() == ":" && words[words.size() - 2] == "&&")
    words.resize(words.size() - 2);
  for (const auto& word : words)
    if (word == "&&" || word == "||" || word == ";" || word == "|" || word == ">" || word == "<")
      throw BadInput(
          fmt::format("the link of {} is more than one command: {}", target.string(), text));
  if (words.empty()) throw BadInput(fmt::format("the link of {} is empty", target.string()));
  return words;
}

bool succeeded(const RunResult& run) {
  return run.startError.empty() && !run.timedOut && run.signal == 0 && run.exitStatus == 0;
}

std::string failure(const RunResult& run) {
  if (!run.startError.empty()) return run.startError;
  if (run.timedOut) return "timed out";
  if (run.signal != 0) return fmt::format("killed by signal {}", run.signal);
  return firstErrorLine(run.stdoutText() + "\n" + run.stderrBytes);
}

RunResult runCommand(const BuildCommand& command, double timeout, const std::atomic<bool>* cancel) {
  RunRequest request;
  request.argv = command.argv;
  request.workingDirectory = command.directory.string();
  request.timeout = std::chrono::duration<double>(timeout);
  request.cancel = cancel;
  return runProcess(request);
}

} // namespace

std::vector<std::string> shellWords(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word)), word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++i == command.size()) throw BadInput("a command ends with a backslash");
      if (command[i] != '\n') word += command[i];
    } else if (c == '\'') {
      const std::size_t end = command.find('\'', i + 1);
      if (end == std::string::npos) throw BadInput("unterminated ' in a command");
      word += command.substr(i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == command.size()) throw BadInput("unterminated \" in a command");
        if (command[i] == '"') break;
        if (command[i] == '\\' && i + 1 < command.size() &&
            std::string_view("\"\\$`\n").find(command[i + 1]) != std::string_view::npos)
          ++i;
        word += command[i];
      }
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::string cachingLauncher(const std::vector<std::string>& argv, const std::string& path) {
  if (argv.empty()) return {};
  if (isLauncher(argv[0])) return fs::path(argv[0]).filename().string();
  const auto found = onPath(argv[0], path);
  if (!found.empty() && isLauncher(resolved(found.front())))
    return fmt::format("{} (as {})", resolved(found.front()).filename().string(), argv[0]);
  return {};
}

std::vector<std::string> withoutLauncher(std::vector<std::string> argv, const std::string& path) {
  if (!argv.empty() && isLauncher(argv[0])) argv.erase(argv.begin());
  if (argv.empty()) throw BadInput("a caching launcher with no compiler after it");
  const auto found = onPath(argv[0], path);
  if (found.empty() || !isLauncher(resolved(found.front()))) return argv;
  const std::string name = fs::path(argv[0]).filename().string();
  for (const auto& candidate : onPath(name, path))
    if (!isLauncher(resolved(candidate))) {
      argv[0] = candidate.string();
      return argv;
    }
  throw BadInput(fmt::format("{} is a link to {} and no real {} is on PATH", argv[0],
                             resolved(found.front()).filename().string(), name));
}

CompileJob planCompile(const fs::path& buildDir, const fs::path& executable,
                       const fs::path& scratch, const std::string& path) {
  const fs::path dir = fs::absolute(buildDir).lexically_normal();
  const fs::path target = fs::absolute(executable).lexically_normal().lexically_relative(dir);
  if (target.empty() || *target.begin() == "..")
    throw BadInput(
        fmt::format("{} is not in its build folder {}", executable.string(), dir.string()));
  const auto commands = compileCommands(dir);
  CompileJob job;
  job.link = {linkCommand(dir, target), dir};
  job.executable = scratch / target.filename();
  // Launchers go first: a word dropped moves the output's position.
  auto bypass = [&](std::vector<std::string>& argv) {
    if (const auto launcher = cachingLauncher(argv, path); !launcher.empty()) {
      job.launcher = launcher;
      argv = withoutLauncher(std::move(argv), path);
    }
  };
  // CMake leaves the compiler launcher out of compile_commands.json (and some versions
  // put it in): either way, a caching one is said and never run.
  if (const auto launcher = configuredLauncher(dir); !launcher.empty())
    job.launcher = cachingLauncher({launcher}, path);
  bypass(job.link.argv);
  std::vector<std::string>& link = job.link.argv;
  const std::size_t output = outputWord(link);
  if (output == link.size())
    throw BadInput(fmt::format("the link of {} names no output", target.string()));
  for (std::size_t i = 1; i < link.size(); ++i) {
    if (i == output || (i + 1 == output && link[i] == "-o")) continue;
    if (link[i].rfind('@', 0) == 0)
      throw BadInput(
          fmt::format("the link of {} reads a response file ({})", target.string(), link[i]));
    if (link[i].rfind('-', 0) == 0) continue;
    const auto command = commands.find(normalised(dir, link[i]));
    if (command == commands.end()) {
      const std::string ext = fs::path(link[i]).extension().string();
      if (ext == ".o" || ext == ".obj")
        throw BadInput(fmt::format("{} (linked into {}) has no compile command in "
                                   "compile_commands.json",
                                   link[i], target.string()));
      continue; // an archive or a library of the build: linked as built
    }
    // Each object gets a name of its own in the scratch folder.
    const fs::path object =
        scratch / fmt::format("{}-{}", job.compiles.size(), fs::path(link[i]).filename().string());
    BuildCommand compile = command->second;
    bypass(compile.argv);
    setOutput(compile.argv, outputWord(compile.argv), object);
    for (std::size_t k = 1; k + 1 < compile.argv.size(); ++k)
      if (compile.argv[k] == "-MF") compile.argv[k + 1] = object.string() + ".d";
    job.compiles.push_back(std::move(compile));
    job.objects.push_back(object);
    link[i] = object.string();
  }
  if (job.compiles.empty())
    throw BadInput(fmt::format("the link of {} reads no object of the build", target.string()));
  setOutput(link, output, job.executable);
  return job;
}

CompileRound compileOnce(const CompileJob& job, const std::string& expectedXxh3, double timeout,
                         const std::atomic<bool>* cancel) {
  CompileRound round;
  auto run = [&](const BuildCommand& command, const fs::path& output, const std::string& what) {
    // The output is made anew every time: a command that writes nothing is no compile.
    std::error_code ignored;
    fs::remove(output, ignored);
    RunResult result = runCommand(command, timeout, cancel);
    if (result.cancelled) round.cancelled = true;
    if (round.cancelled) return result;
    if (!succeeded(result))
      round.error = fmt::format("{} failed: {}", what, failure(result));
    else if (!fs::exists(output))
      round.error = fmt::format("{} wrote no {}", what, output.filename().string());
    return result;
  };
  for (std::size_t i = 0; i < job.compiles.size(); ++i) {
    const RunResult result =
        run(job.compiles[i], job.objects[i],
            fmt::format("the compile of {}",
                        fs::path(sourceOf(job.compiles[i].argv)).filename().string()));
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
    job.plan = planCompile(config.buildDir, results.units[job.units.front()].binary, folder, path);
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
  const char* pathVariable = std::getenv("PATH");
  const std::string path = pathVariable ? pathVariable : "/usr/bin:/bin";
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
  const CompileRound measured = compileOnce(job.plan, job.expectedXxh3, timeout, &interruptFlag());
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
