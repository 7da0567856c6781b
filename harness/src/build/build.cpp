#include "build/build.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "exec/tool.hpp"
#include "exec/words.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

bool validName(const std::string& name) {
  const bool allowed = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '+' ||
           c == '-';
  });
  return allowed && name != "." && name != "..";
}

// A build step may take long: a cold build of every program in code layouts.
RunResult runBuildTool(const BuildOptions& options, const std::vector<std::string>& argv,
                       const fs::path& cwd = {}) {
  return runTool(options.runner, argv, {std::chrono::hours(2), cwd, options.cancel});
}

std::map<std::string, std::string> readCache(const fs::path& buildDir) {
  std::map<std::string, std::string> cache;
  std::ifstream stream(buildDir / "CMakeCache.txt");
  // Lines of the form KEY:TYPE=VALUE; comments start with # or //.
  for (std::string line; std::getline(stream, line);) {
    const auto colon = line.find(':'), equals = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == '/' || colon == std::string::npos ||
        equals == std::string::npos || colon > equals)
      continue;
    cache[line.substr(0, colon)] = line.substr(equals + 1);
  }
  return cache;
}

// What the folder was configured with, so a changed configuration starts afresh.
std::string signature(const BuildRecipe& target) {
  nlohmann::json configured{{"compiler", target.info.compiler}, {"flags", target.info.flags}};
  if (!target.cacheEntries.empty()) configured["cache"] = target.cacheEntries;
  return configured.dump();
}

} // namespace

fs::path buildRootOf(const fs::path& source, const std::string& given) {
  return given.empty() ? source / "build" : fs::absolute(given);
}

BuildRecipe parseConfig(const std::string& text, const fs::path& buildRoot) {
  const auto equals = text.find('=');
  const auto colon = text.find(':', equals == std::string::npos ? 0 : equals);
  if (equals == std::string::npos || colon == std::string::npos)
    throw BadInput(fmt::format("--config \"{}\": expected NAME=COMPILER:FLAGS", text));
  BuildRecipe target;
  target.kind = BuildKind::owned;
  target.info.name = text.substr(0, equals);
  target.info.compiler = text.substr(equals + 1, colon - equals - 1);
  target.info.flags = text.substr(colon + 1);
  if (!validName(target.info.name))
    throw BadInput(
        fmt::format("--config \"{}\": the name may hold letters, digits and ._+-", text));
  if (target.info.compiler.empty())
    throw BadInput(fmt::format("--config \"{}\": no compiler", text));
  target.info.buildDir = (buildRoot / ("cfg-" + target.info.name)).lexically_normal().string();
  return target;
}

BuildRecipe parseExistingBuild(const std::string& text, const std::string& option) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
    throw BadInput(fmt::format("{} \"{}\": expected NAME=BUILD_DIR", option, text));
  BuildRecipe target;
  target.kind = BuildKind::existing;
  target.info.name = text.substr(0, equals);
  target.info.buildDir = fs::absolute(text.substr(equals + 1)).lexically_normal().string();
  if (!validName(target.info.name))
    throw BadInput(
        fmt::format("{} \"{}\": the name may hold letters, digits and ._+-", option, text));
  return target;
}

void describeBuild(ConfigInfo& info, const Runner& runner) {
  auto cache = readCache(info.buildDir);
  if (info.compiler.empty()) info.compiler = cache["CMAKE_CXX_COMPILER"];
  if (info.flags.empty()) {
    std::string type = cache["CMAKE_BUILD_TYPE"];
    std::transform(type.begin(), type.end(), type.begin(), ::toupper);
    std::string flags = cache["CMAKE_CXX_FLAGS"];
    const std::string typeFlags = cache["CMAKE_CXX_FLAGS_" + type];
    if (!typeFlags.empty()) flags += (flags.empty() ? "" : " ") + typeFlags;
    info.flags = flags;
  }
  if (!info.compiler.empty()) info.compilerVersion = versionLine(runner, info.compiler);
  if (std::atoi(cache["BENCH32_LAYOUTS"].c_str()) > 0 && !cache["BENCH32_LLD"].empty())
    info.linker = versionLine(runner, cache["BENCH32_LLD"]);
}

fs::path programExecutable(const ConfigInfo& info, const std::string& program, int layout) {
  const std::string name = layout < 0 ? program : fmt::format("{}.layout-{}", program, layout);
  return fs::path(info.buildDir) / "bin" / name;
}

namespace {

void log(const BuildOptions& options, const std::string& line) {
  if (options.log) options.log(line);
}

// A folder of the harness's own: configured from scratch with exactly the given
// compiler and flags when it has none yet, or when they changed since.
void configureOwned(const BuildRecipe& target, const BuildOptions& options) {
  const ConfigInfo& info = target.info;
  const fs::path dir = info.buildDir;
  if (findOnPath(info.compiler).empty())
    throw BuildError(fmt::format("config {}: compiler \"{}\" not found", info.name, info.compiler));
  const fs::path marker = dir / "bench32-config.json";
  std::string previous;
  if (std::ifstream stream(marker); stream) std::getline(stream, previous);
  if (previous == signature(target) && fs::exists(dir / "build.ninja")) return;
  log(options, fmt::format("configuring {} ({} {}) in {}", info.name, info.compiler, info.flags,
                           dir.string()));
  std::error_code error;
  fs::create_directories(dir, error);
  // A configure that fails leaves the folder half made with the new settings: no marker
  // may then vouch for the old ones.
  fs::remove(marker, error);
  std::vector<std::string> argv{"cmake",
                                "--fresh",
                                "-S",
                                options.sourceDir.string(),
                                "-B",
                                dir.string(),
                                "-G",
                                "Ninja",
                                "-DCMAKE_BUILD_TYPE=None",
                                "-DCMAKE_CXX_COMPILER=" + info.compiler,
                                "-DCMAKE_CXX_FLAGS=" + info.flags,
                                "-DBENCH32_TOOLS=OFF",
                                "-DBENCH32_CASE_RUNNER=" + options.caseRunner.string(),
                                fmt::format("-DBENCH32_LAYOUTS={}", options.layouts)};
  argv.insert(argv.end(), target.cacheEntries.begin(), target.cacheEntries.end());
  const RunResult run = runBuildTool(options, argv);
  if (!succeeded(run))
    throw BuildError(
        fmt::format("config {}: cmake configure failed: {}", info.name, failureLine(run)));
  std::ofstream(marker) << signature(target) << '\n';
}

// Configures the folder as its kind calls for, then for the code layouts asked, and
// describes what it holds.
void configure(BuildRecipe& target, const BuildOptions& options) {
  ConfigInfo& info = target.info;
  const fs::path dir = info.buildDir;
  if (target.kind == BuildKind::owned) {
    configureOwned(target, options);
  } else if (target.kind == BuildKind::preset && !fs::exists(dir / "build.ninja")) {
    log(options, fmt::format("configuring {} with its preset", dir.string()));
    const RunResult run =
        runBuildTool(options, {"cmake", "--preset", dir.filename().string()}, options.sourceDir);
    if (!succeeded(run))
      throw BuildError(
          fmt::format("{}: cmake configure failed: {}", dir.string(), failureLine(run)));
  } else if (!fs::exists(dir / "CMakeCache.txt")) {
    throw BuildError(fmt::format("{}: not a configured build folder", dir.string()));
  }
  // Code layouts are targets of their own, defined when the folder is configured for
  // at least as many as asked; the programs' usual targets stay as they are.
  if (options.layouts > 0 &&
      std::atoi(readCache(dir)["BENCH32_LAYOUTS"].c_str()) < options.layouts) {
    log(options, fmt::format("configuring {} for {} code layouts", dir.string(), options.layouts));
    const RunResult run = runBuildTool(
        options, {"cmake", fmt::format("-DBENCH32_LAYOUTS={}", options.layouts), dir.string()});
    if (!succeeded(run))
      throw BuildError(fmt::format("{}: cmake configure for code layouts failed: {}", dir.string(),
                                   failureLine(run)));
  }
  describeBuild(info, options.runner);
  if (info.compilerVersion.empty() && target.kind == BuildKind::owned)
    throw BuildError(fmt::format("config {}: \"{} --version\" fails", info.name, info.compiler));
}

RunResult buildTargets(const ConfigInfo& info, const std::vector<std::string>& targets,
                       const BuildOptions& options) {
  std::vector<std::string> argv{"cmake", "--build", info.buildDir};
  if (options.jobs > 0) argv.push_back(fmt::format("-j{}", options.jobs));
  argv.push_back("--target");
  argv.insert(argv.end(), targets.begin(), targets.end());
  const RunResult run = runBuildTool(options, argv);
  if (run.cancelled) throw BuildError("interrupted");
  return run;
}

// A program's targets: itself, or each of its code layouts.
std::vector<std::string> targetsOf(const ConfigInfo& info, const std::string& program,
                                   const BuildOptions& options) {
  if (options.layouts <= 0) return {program};
  std::vector<std::string> targets;
  for (int k = 0; k < options.layouts; ++k)
    targets.push_back(programExecutable(info, program, k).filename().string());
  return targets;
}

} // namespace

std::map<std::string, std::string> buildPrograms(BuildRecipe& target,
                                                 const std::vector<std::string>& programs,
                                                 const BuildOptions& options) {
  configure(target, options);
  const ConfigInfo& info = target.info;
  std::map<std::string, std::string> failed;
  if (programs.empty()) return failed;
  std::vector<std::string> everything;
  for (const auto& program : programs) {
    const auto targets = targetsOf(info, program, options);
    everything.insert(everything.end(), targets.begin(), targets.end());
  }
  log(options,
      fmt::format("building {}{} in {}", plural(programs.size(), "program"),
                  options.layouts > 0 ? fmt::format(" in {} layouts", options.layouts) : "",
                  info.buildDir));
  const RunResult all = buildTargets(info, everything, options);
  if (succeeded(all)) return failed;
  // Find out which programs fail, so that the others can still be measured.
  for (const auto& program : programs) {
    const RunResult one = buildTargets(info, targetsOf(info, program, options), options);
    if (!succeeded(one)) failed[program] = "build failed: " + failureLine(one);
  }
  if (failed.empty()) // the programs build one by one: the failure was elsewhere
    throw BuildError(fmt::format("{}: build failed: {}", info.buildDir, failureLine(all)));
  return failed;
}

} // namespace bench32
