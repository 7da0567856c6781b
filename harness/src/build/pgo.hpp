// Profile-guided configurations: a configuration built instrumented in a folder of its
// own, every program run on its train workload (verified, never timed), and the
// configuration built again with each program's profile. The CMake side is
// cmake/Bench32Pgo.cmake: BENCH32_PGO=generate or use, BENCH32_PGO_PROFILES=<folder>.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "build/build.hpp"
#include "exec/expectation.hpp"
#include "model/results.hpp"
#include "model/suite.hpp"

namespace bench32 {

enum class ProfileKind { gcc, clang };

// The folders beside the configuration's own (BUILD_ROOT/cfg-NAME):
// cfg-NAME-instrumented and cfg-NAME-profiles.
std::filesystem::path instrumentedDir(const ConfigInfo& info);
std::filesystem::path profileDir(const ConfigInfo& info);

// Marks the configurations named by --pgo, after checking what can be checked before
// anything is built: each name is a --config configuration, no workload measured is
// the training one, no code layouts, the compiler is g++ or clang++ (and clang++'s
// llvm-profdata is there), and no variable of the environment would send the profiles
// elsewhere. Throws BadInput (BuildError for a missing tool) with one line.
void markProfileGuided(std::vector<BuildRecipe>& targets, const std::vector<std::string>& names,
                       const std::vector<std::string>& workloads, int layouts,
                       const Runner& runner = runProcess);

// g++ or clang++, from "COMPILER --version"; throws BadInput for any other.
ProfileKind profileKindOf(const std::string& compiler, const Runner& runner = runProcess);

// The llvm-profdata of a clang++'s LLVM version: llvm-profdata-<major> on the PATH, the
// one beside the compiler's real file, or llvm-profdata when its version matches. Empty
// when there is none.
std::string findProfileMerger(const std::string& clang, const Runner& runner = runProcess);

// Where a program's profile is read from by the rebuild: its folder of .gcda files (g++)
// or its merged file (clang++).
std::filesystem::path programProfile(const ConfigInfo& info, ProfileKind kind,
                                     const std::string& program);

struct TrainingOptions {
  std::vector<ProgramInfo> programs; // the programs to build, train and rebuild
  RunConditions running;             // the prefix, timeout and processors of the runs
};

// The three steps, one after another; each returns the programs that failed, each with
// one line, and leaves them out of the steps after it. A test may run them one by one.

// 1. Builds the programs instrumented in instrumentedDir and runs each one's train
// workload there, verified, after removing its old profile. Sets target.info.pgo.
std::map<std::string, std::string>
buildAndTrain(BuildRecipe& target, const TrainingOptions& training, const BuildOptions& options);

// 2. Merges each trained program's profile (clang++), checks that it covers every
// translation unit, records its digest and rewrites its stamp when it changed.
std::map<std::string, std::string> collectProfiles(BuildRecipe& target,
                                                   const std::vector<std::string>& programs,
                                                   const Runner& runner = runProcess);

// 3. Builds the programs with their profiles in the configuration's own folder; one
// whose profile is missing is not built.
std::map<std::string, std::string> buildWithProfiles(BuildRecipe& target,
                                                     const std::vector<std::string>& programs,
                                                     const BuildOptions& options);

// All three. Throws BuildError when nothing can be built.
std::map<std::string, std::string> buildProfileGuided(BuildRecipe& target,
                                                      const TrainingOptions& training,
                                                      const BuildOptions& options);

// For --no-build: the profiles the folder was last built with, from their stamps.
void describeProfileGuided(BuildRecipe& target, const std::vector<std::string>& programs);

} // namespace bench32
