#include "build/pgo.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "exec/expectation.hpp"
#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/process.hpp"
#include "exec/stored_json.hpp"
#include "exec/tool.hpp"
#include "exec/words.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

// Room a training run has for files besides its standard output: its profile.
constexpr std::uint64_t profileFileRoom = std::uint64_t{64} << 20;

// The name of a program's merged clang++ profile, in its profile folder.
constexpr const char* mergedProfile = "program.profdata";

// Variables that would make an instrumented program write its profile elsewhere.
constexpr const char* profileVariables[] = {"LLVM_PROFILE_FILE", "GCOV_PREFIX",
                                            "GCOV_PREFIX_STRIP"};

// A tool of a profile-guided build (a version query, a profile merge).
RunResult runPgoTool(const Runner& runner, const std::vector<std::string>& argv) {
  return runTool(runner, argv, {std::chrono::minutes(10), {}, &interruptFlag()});
}

// The prefix that runs a training run with address randomisation off, where the system
// allows it (setarch -R), else nothing. g++'s value profiles record some addresses (the
// alignment of buffers), so with randomisation on every training would write a slightly
// different profile, and the same code and input could give a different binary.
std::vector<std::string> fixedAddresses(const Runner& runner) {
  const std::vector<std::string> prefix = [&] {
    utsname machine{};
    if (uname(&machine) != 0) return std::vector<std::string>{};
    std::vector<std::string> words{"setarch", machine.machine, "-R"};
    std::vector<std::string> probe = words;
    probe.push_back("true");
    return succeeded(runPgoTool(runner, probe)) ? words : std::vector<std::string>{};
  }();
  return prefix;
}

// clang++'s profile runtime for the configuration's target (--target=... among its
// flags), when it is not installed: compiler-rt ships it for some targets only (on
// Debian's clang 14, x86_64 and i386, not armhf). Empty when it is there or cannot be
// told.
std::string missingProfileRuntime(const ConfigInfo& info, const Runner& runner) {
  std::vector<std::string> argv{info.compiler};
  for (const auto& word : shellWords(info.flags)) argv.push_back(word);
  argv.insert(argv.end(), {"--rtlib=compiler-rt", "-print-libgcc-file-name"});
  const RunResult run = runPgoTool(runner, argv);
  std::string builtins = run.stdoutText();
  builtins = builtins.substr(0, builtins.find('\n'));
  const auto at = builtins.rfind("libclang_rt.builtins");
  if (!succeeded(run) || at == std::string::npos) return {};
  const std::string profile =
      builtins.replace(at, std::string("libclang_rt.builtins").size(), "libclang_rt.profile");
  return access(profile.c_str(), R_OK) == 0 ? std::string() : profile;
}

BuildRecipe instrumentedTarget(const BuildRecipe& target) {
  BuildRecipe instrumented = target;
  instrumented.info.name = target.info.name + "-instrumented";
  instrumented.info.buildDir = instrumentedDir(target.info).string();
  instrumented.info.pgo.reset();
  instrumented.profileGuided = false;
  instrumented.cacheEntries = {"-DBENCH32_PGO=generate",
                               "-DBENCH32_PGO_PROFILES=" + profileDir(target.info).string()};
  return instrumented;
}

// clang++'s profiles are merged; g++'s are not.
ProfileKind kindOf(const ConfigInfo& info) {
  return info.pgo && !info.pgo->mergeTool.empty() ? ProfileKind::clang : ProfileKind::gcc;
}

// The objects of a program's own translation units (its sources and its copy of the
// runtime), below its folder of the instrumented build, relative to that build.
std::vector<fs::path> programObjects(const fs::path& buildDir, const std::string& program) {
  std::vector<fs::path> objects;
  std::error_code error;
  const fs::path dir = buildDir / "benchmarks" / program / "CMakeFiles";
  for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error))
    if (it->path().extension() == ".o") objects.push_back(it->path().lexically_relative(buildDir));
  std::sort(objects.begin(), objects.end());
  return objects;
}

// g++ names a unit's profile after its object's path below the build folder
// (-fprofile-prefix-path), its slashes made #, with .gcda for the object's suffix.
std::string gcdaName(const fs::path& object) {
  std::string name = fs::path(object).replace_extension().generic_string();
  std::replace(name.begin(), name.end(), '/', '#');
  return name + ".gcda";
}

// XXH3 of a program's profile: its merged file, or every .gcda (name and bytes, in name
// order). Empty when there is none.
std::string profileDigest(const fs::path& profile) {
  std::error_code error;
  if (fs::is_regular_file(profile, error)) return fileDigest(profile);
  std::vector<fs::path> files;
  for (fs::directory_iterator it(profile, error), end; !error && it != end; it.increment(error))
    if (it->path().extension() == ".gcda") files.push_back(it->path());
  if (files.empty()) return {};
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& file : files) all += file.filename().string() + '\n' + readFile(file) + '\n';
  return digestHex(digest(all));
}

// Why a trained program's profile cannot be built with, or empty when it can: g++ needs
// one for every translation unit, clang++ the merged file. The compiler refuses a unit
// without one too, but only when it compiles it again, and an unchanged stamp does not
// make it.
std::string missingProfile(const ConfigInfo& info, ProfileKind kind, const std::string& program) {
  const fs::path profile = programProfile(info, kind, program);
  std::error_code error;
  if (kind == ProfileKind::clang)
    return fs::is_regular_file(profile, error) ? ""
                                               : fmt::format("no profile at {}", profile.string());
  const fs::path built = instrumentedDir(info);
  const auto objects = programObjects(built, program);
  if (objects.empty()) return fmt::format("no objects of {} in {}", program, built.string());
  for (const auto& object : objects)
    if (!fs::exists(profile / gcdaName(object), error))
      return fmt::format("no profile for {} ({} missing)", object.string(),
                         (profile / gcdaName(object)).string());
  return {};
}

nlohmann::json stampJson(const TrainingProfile& profile) {
  return {{"workload", profile.workload},
          {"input_xxh3", profile.inputXxh3},
          {"profile_xxh3", profile.profileXxh3}};
}

fs::path stampFile(const ConfigInfo& info, const std::string& program) {
  return profileDir(info) / (program + ".stamp");
}

TrainingProfile* profileOf(ConfigInfo& info, const std::string& program) {
  for (auto& p : info.pgo->profiles)
    if (p.program == program) return &p;
  return nullptr;
}

std::vector<std::string> without(const std::vector<std::string>& programs,
                                 const std::map<std::string, std::string>& failed) {
  std::vector<std::string> left;
  for (const auto& p : programs)
    if (!failed.count(p)) left.push_back(p);
  return left;
}

} // namespace

fs::path instrumentedDir(const ConfigInfo& info) { return info.buildDir + "-instrumented"; }
fs::path profileDir(const ConfigInfo& info) { return info.buildDir + "-profiles"; }

fs::path programProfile(const ConfigInfo& info, ProfileKind kind, const std::string& program) {
  const fs::path dir = profileDir(info) / program;
  return kind == ProfileKind::clang ? dir / mergedProfile : dir;
}

ProfileKind profileKindOf(const std::string& compiler, const Runner& runner) {
  const std::string text = versionText(runner, compiler);
  if (text.find("clang") != std::string::npos) return ProfileKind::clang;
  if (text.find("Free Software Foundation") != std::string::npos ||
      text.find("g++") != std::string::npos)
    return ProfileKind::gcc;
  if (text.empty()) throw BuildError(fmt::format("\"{} --version\" fails", compiler));
  throw BadInput(fmt::format("--pgo: {} is neither g++ nor clang++ (\"{}\")", compiler,
                             text.substr(0, text.find('\n'))));
}

std::string findProfileMerger(const std::string& clang, const Runner& runner) {
  // "Debian clang version 14.0.6": the major version, the digits before the first dot.
  const std::string text = versionText(runner, clang);
  const std::string mark = "clang version ";
  const std::size_t at = text.find(mark);
  if (at == std::string::npos) return {};
  const std::size_t digits = at + mark.size();
  const std::size_t dot = text.find_first_not_of("0123456789", digits);
  if (dot == std::string::npos || dot == digits || text[dot] != '.') return {};
  const std::string major = text.substr(digits, dot - digits);
  const std::string versioned = "llvm-profdata-" + major;
  if (!findOnPath(versioned).empty()) return versioned;
  std::error_code error;
  const fs::path compiler = fs::canonical(findOnPath(clang), error);
  if (!error && access((compiler.parent_path() / "llvm-profdata").c_str(), X_OK) == 0)
    return (compiler.parent_path() / "llvm-profdata").string();
  if (versionText(runner, "llvm-profdata").find("version " + major + ".") != std::string::npos)
    return "llvm-profdata";
  return {};
}

void markProfileGuided(std::vector<BuildRecipe>& targets, const std::vector<std::string>& names,
                       const std::vector<std::string>& workloads, int layouts,
                       const Runner& runner) {
  if (names.empty()) return;
  if (std::find(workloads.begin(), workloads.end(), trainingWorkload) != workloads.end())
    throw BadInput("--pgo: the train workload trains the profile-guided builds and is not "
                   "measured on them");
  if (layouts > 0)
    throw BadInput("--pgo and --layouts cannot be combined: a profile-guided build has no "
                   "code layouts");
  for (const char* variable : profileVariables)
    if (std::getenv(variable))
      throw BadInput(fmt::format(
          "--pgo: {} is set and would send the training profiles elsewhere; unset it", variable));
  for (const auto& name : std::set<std::string>(names.begin(), names.end())) {
    const auto target = std::find_if(targets.begin(), targets.end(),
                                     [&](const BuildRecipe& t) { return t.info.name == name; });
    if (target == targets.end())
      throw BadInput(fmt::format("--pgo {}: no --config of that name", name));
    if (target->kind != BuildKind::owned)
      throw BadInput(
          fmt::format("--pgo {}: only a --config configuration can be built profile-guided", name));
    ProfileGuided pgo;
    pgo.instrumentedDir = instrumentedDir(target->info).string();
    pgo.profileDir = profileDir(target->info).string();
    // Another configuration's folder would be built over (or its programs measured from
    // the instrumented build).
    for (const auto& other : targets)
      if (other.info.buildDir == pgo.instrumentedDir || other.info.buildDir == pgo.profileDir)
        throw BadInput(fmt::format("--pgo {}: {} is the folder of configuration {}", name,
                                   other.info.buildDir, other.info.name));
    if (profileKindOf(target->info.compiler, runner) == ProfileKind::clang) {
      pgo.mergeTool = findProfileMerger(target->info.compiler, runner);
      if (pgo.mergeTool.empty())
        throw BuildError(fmt::format("--pgo {}: no llvm-profdata of {}'s LLVM version to merge "
                                     "its profiles (Debian: llvm-<version>)",
                                     name, target->info.compiler));
      if (const auto runtime = missingProfileRuntime(target->info, runner); !runtime.empty())
        throw BuildError(fmt::format("--pgo {}: {} has no profile runtime for this target ({} "
                                     "missing): its instrumented programs cannot link",
                                     name, target->info.compiler, runtime));
    }
    target->profileGuided = true;
    target->info.pgo = pgo;
  }
}

// The training input of a program, checked to be its train workload's and no measured
// workload's (a profile trained on the measured input would flatter the build); throws
// BuildError saying what is wrong.
std::shared_ptr<MemoryFile> trainingInput(const std::map<std::string, Expectation>& workloads,
                                          const Expectation& expected) {
  auto input = std::make_shared<MemoryFile>("bench32-train");
  input->append(expected.input);
  const std::uint64_t given = digest(*input);
  const std::string clash = trainingInputClash(workloads);
  if (given != digest(expected.input) || !clash.empty())
    throw BuildError(
        fmt::format("the training input (xxh3 {}) is {}", digestHex(given),
                    clash.empty() ? "not the train workload's" : "workload " + clash + "'s too"));
  return input;
}

// One verified training run of the instrumented program; the reason it failed, or empty.
std::string trainOnce(const std::filesystem::path& executable, const Expectation& expected,
                      const std::shared_ptr<MemoryFile>& input, const TrainingOptions& training,
                      const Runner& runner) {
  RunRequest request = programRequest(executable, expected, input, training.running);
  request.fileRoom = profileFileRoom;
  const RunResult run = runner(request);
  if (run.cancelled || interruptFlag()) throw BuildError("interrupted");
  Verdict verdict = verify(expected, run);
  if (run.timedOut && !run.stdoutOverflow)
    verdict.detail = fmt::format("timed out after {} s", training.running.timeout);
  return verdict.ok ? "" : "training run failed: " + verdict.detail;
}

// Trains one program's instrumented build on its train workload; the reason it could
// not, or empty.
std::string trainProgram(BuildRecipe& target, const BuildRecipe& instrumented,
                         const ProgramInfo& program, const TrainingOptions& training,
                         const Runner& runner) {
  const auto workloads = loadWorkloads(program.workloadsFile());
  const auto train = workloads.find(trainingWorkload);
  if (train == workloads.end()) return fmt::format("no {} workload to train on", trainingWorkload);
  std::shared_ptr<MemoryFile> input;
  try {
    input = trainingInput(workloads, train->second);
  } catch (const BuildError& e) {
    if (interruptFlag()) throw;
    return e.what();
  }
  // A profile is the sum of every run since it was made: start from none.
  std::error_code error;
  fs::remove_all(profileDir(target.info) / program.name, error);
  const std::string failure = trainOnce(programExecutable(instrumented.info, program.name),
                                        train->second, input, training, runner);
  if (failure.empty())
    target.info.pgo->profiles.push_back(
        {program.name, trainingWorkload, digestHex(digest(*input)), ""});
  return failure;
}

std::map<std::string, std::string>
buildAndTrain(BuildRecipe& target, const TrainingOptions& training, const BuildOptions& options) {
  if (!target.info.pgo) target.info.pgo.emplace();
  target.info.pgo->profiles.clear();
  std::vector<std::string> names;
  for (const auto& p : training.programs) names.push_back(p.name);
  BuildRecipe instrumented = instrumentedTarget(target);
  auto failed = buildPrograms(instrumented, names, options);
  if (options.log)
    options.log(fmt::format("training {}: {} on their {} workload (instrumented, not timed)",
                            target.info.name, plural(names.size() - failed.size(), "program"),
                            trainingWorkload));
  // Every training run with address randomisation off, where the system allows it.
  TrainingOptions fixed = training;
  const auto prefix = fixedAddresses(options.runner);
  fixed.running.runUnder.insert(fixed.running.runUnder.begin(), prefix.begin(), prefix.end());
  for (const auto& program : training.programs) {
    if (failed.count(program.name)) {
      failed[program.name] = "instrumented " + failed[program.name];
      continue;
    }
    if (auto failure = trainProgram(target, instrumented, program, fixed, options.runner);
        !failure.empty())
      failed[program.name] = failure;
  }
  return failed;
}

std::map<std::string, std::string> collectProfiles(BuildRecipe& target,
                                                   const std::vector<std::string>& programs,
                                                   const Runner& runner) {
  std::map<std::string, std::string> failed;
  const ProfileKind kind = kindOf(target.info);
  for (const auto& program : programs) {
    TrainingProfile* record = profileOf(target.info, program);
    if (!record) {
      failed[program] = "not trained";
      continue;
    }
    const fs::path folder = profileDir(target.info) / program;
    const fs::path profile = programProfile(target.info, kind, program);
    std::string problem;
    // The merged file is made anew from this training's raw profiles.
    if (kind == ProfileKind::clang) {
      std::vector<std::string> argv{target.info.pgo->mergeTool, "merge", "-o", profile.string()};
      std::error_code error;
      for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->path().extension() == ".profraw") argv.push_back(it->path().string());
      if (argv.size() == 4) {
        problem = fmt::format("the training run wrote no profile in {}", folder.string());
      } else {
        const RunResult run = runPgoTool(runner, argv);
        if (run.cancelled) throw BuildError("interrupted");
        if (!succeeded(run))
          problem = fmt::format("{} merge failed: {}", argv[0], failureLine(run));
      }
    }
    if (problem.empty()) problem = missingProfile(target.info, kind, program);
    if (problem.empty()) record->profileXxh3 = profileDigest(profile);
    if (!problem.empty()) {
      failed[program] = problem;
      continue;
    }
    // Rewritten only when the profile changed: the stamp's date is what recompiles the
    // program's objects.
    const fs::path stamp = stampFile(target.info, program);
    const std::string text = stampJson(*record).dump() + "\n";
    std::error_code error;
    if (!fs::exists(stamp, error) || readFile(stamp) != text) writeFile(stamp, text);
  }
  auto& profiles = target.info.pgo->profiles;
  profiles.erase(std::remove_if(profiles.begin(), profiles.end(),
                                [&](const TrainingProfile& p) { return failed.count(p.program); }),
                 profiles.end());
  return failed;
}

std::map<std::string, std::string> buildWithProfiles(BuildRecipe& target,
                                                     const std::vector<std::string>& programs,
                                                     const BuildOptions& options) {
  target.cacheEntries = {"-DBENCH32_PGO=use",
                         "-DBENCH32_PGO_PROFILES=" + profileDir(target.info).string()};
  const ProfileKind kind = kindOf(target.info);
  std::map<std::string, std::string> failed;
  for (const auto& program : programs)
    if (auto problem = missingProfile(target.info, kind, program); !problem.empty())
      failed[program] = problem;
  auto built = buildPrograms(target, without(programs, failed), options);
  for (auto& [program, line] : built) failed[program] = "profile-guided " + line;
  return failed;
}

std::map<std::string, std::string> buildProfileGuided(BuildRecipe& target,
                                                      const TrainingOptions& training,
                                                      const BuildOptions& options) {
  std::vector<std::string> names;
  for (const auto& p : training.programs) names.push_back(p.name);
  auto failed = buildAndTrain(target, training, options);
  failed.merge(collectProfiles(target, without(names, failed), options.runner));
  failed.merge(buildWithProfiles(target, without(names, failed), options));
  return failed;
}

void describeProfileGuided(BuildRecipe& target, const std::vector<std::string>& programs) {
  if (!target.info.pgo) target.info.pgo.emplace();
  target.info.pgo->profiles.clear();
  for (const auto& program : programs) {
    std::error_code error;
    const fs::path stamp = stampFile(target.info, program);
    if (!fs::exists(stamp, error)) continue;
    try {
      const auto doc = parseStoredJson(readFile(stamp), stamp.string());
      target.info.pgo->profiles.push_back({program, doc.value("workload", ""),
                                           doc.value("input_xxh3", ""),
                                           doc.value("profile_xxh3", "")});
    } catch (const nlohmann::json::exception&) {
      // A stamp of another shape tells nothing either.
    } catch (const BadInput&) {
      // An empty stamp (made when the folder was configured) tells nothing.
    }
  }
}

} // namespace bench32
