#include "build/compile_commands.hpp"

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
#include "exec/stored_json.hpp"
#include "exec/tool.hpp"
#include "exec/words.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

const std::set<std::string> launcherNames{"ccache", "sccache"};

bool isLauncher(const fs::path& file) { return launcherNames.count(file.filename().string()) > 0; }

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
std::vector<std::string> linkCommand(const fs::path& buildDir, const fs::path& target,
                                     const Runner& runner) {
  if (!fs::exists(buildDir / "build.ninja"))
    throw BadInput(fmt::format("{} is not a Ninja build folder", buildDir.string()));
  const RunResult run =
      runTool(runner, {"ninja", "-C", buildDir.string(), "-t", "commands", "-s", target.string()},
              {std::chrono::seconds(60), {}, nullptr});
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

} // namespace

std::string cachingLauncher(const std::vector<std::string>& argv, const std::string& path) {
  if (argv.empty()) return {};
  if (isLauncher(argv[0])) return fs::path(argv[0]).filename().string();
  const auto found = allOnPath(argv[0], path);
  if (!found.empty() && isLauncher(resolved(found.front())))
    return fmt::format("{} (as {})", resolved(found.front()).filename().string(), argv[0]);
  return {};
}

std::vector<std::string> withoutLauncher(std::vector<std::string> argv, const std::string& path) {
  if (!argv.empty() && isLauncher(argv[0])) argv.erase(argv.begin());
  if (argv.empty()) throw BadInput("a caching launcher with no compiler after it");
  const auto found = allOnPath(argv[0], path);
  if (found.empty() || !isLauncher(resolved(found.front()))) return argv;
  const std::string name = fs::path(argv[0]).filename().string();
  for (const auto& candidate : allOnPath(name, path))
    if (!isLauncher(resolved(candidate))) {
      argv[0] = candidate.string();
      return argv;
    }
  throw BadInput(fmt::format("{} is a link to {} and no real {} is on PATH", argv[0],
                             resolved(found.front()).filename().string(), name));
}

std::string compiledSource(const std::vector<std::string>& argv) {
  for (std::size_t i = 1; i + 1 < argv.size(); ++i)
    if (argv[i] == "-c") return argv[i + 1];
  return argv.back();
}

CompileJob planCompile(const fs::path& buildDir, const fs::path& executable,
                       const fs::path& scratch, const std::string& path, const Runner& runner) {
  const fs::path dir = fs::absolute(buildDir).lexically_normal();
  const fs::path target = fs::absolute(executable).lexically_normal().lexically_relative(dir);
  if (target.empty() || *target.begin() == "..")
    throw BadInput(
        fmt::format("{} is not in its build folder {}", executable.string(), dir.string()));
  const auto commands = compileCommands(dir);
  CompileJob job;
  job.link = {linkCommand(dir, target, runner), dir};
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

} // namespace bench32
