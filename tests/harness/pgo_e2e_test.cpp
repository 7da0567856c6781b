// Profile-guided builds, step by step, on two real programs in a scratch copy of the
// source tree: a profile that is deleted, or that no longer matches the code, after
// training fails the rebuild of that program with one line, never a plain binary.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build/build.hpp"
#include "build/pgo.hpp"
#include "exec/files.hpp"
#include "model/suite.hpp"
#include "run/plan.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

// The parts of the source tree that a --config build reads.
fs::path scratchSource(const std::string& name) {
  const fs::path root =
      fs::path(testing::TempDir()) / ("bench32-pgo-" + name + "-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "source");
  // What a configuration's build reads: the programs, their runtime and the target timer.
  for (const char* entry : {"CMakeLists.txt", "cmake", "runtime", "benchmarks", "harness/timer"}) {
    fs::create_directories((root / "source" / entry).parent_path());
    fs::copy(fs::path(BENCH32_SOURCE_TREE) / entry, root / "source" / entry,
             fs::copy_options::recursive);
  }
  return root;
}

bool oneLine(const std::string& text) {
  return !text.empty() && text.find('\n') == std::string::npos;
}

class PgoE2e : public testing::TestWithParam<const char*> {};

TEST_P(PgoE2e, DeletedOrStaleProfileFailsOnlyThatProgramsRebuild) {
  const std::string compiler = GetParam();
  if (compiler == "clang++" && findProfileMerger(compiler).empty())
    GTEST_SKIP() << "no llvm-profdata for clang++";
  const fs::path root = scratchSource(compiler == "g++" ? "gcc" : "clang");
  const fs::path source = root / "source";
  std::vector<BuildRecipe> targets{parseConfig("t=" + compiler + ":-O2", root / "build")};
  markProfileGuided(targets, {"t"}, {"smoke"}, 0);
  BuildRecipe& target = targets.front();
  ASSERT_TRUE(target.profileGuided && target.info.pgo);

  TrainingOptions training{
      selectPrograms(discoverPrograms(source), {"hailstone", "primes", "biggest"}, {}), {}};
  BuildOptions options;
  options.sourceDir = source;
  options.caseRunner = "/bin/true";
  options.jobs = 2;
  ASSERT_EQ(buildAndTrain(target, training, options), (std::map<std::string, std::string>{}));
  const std::vector<std::string> names{"biggest", "hailstone", "primes"};
  ASSERT_EQ(collectProfiles(target, names), (std::map<std::string, std::string>{}));
  ASSERT_EQ(target.info.pgo->profiles.size(), 3u);
  for (const auto& p : target.info.pgo->profiles) {
    EXPECT_EQ(p.workload, "train");
    EXPECT_EQ(p.inputXxh3.size(), 16u);
    EXPECT_EQ(p.profileXxh3.size(), 16u) << p.program;
  }

  // Between training and the rebuild: primes loses its profile, and hailstone's code
  // changes its control flow, so that its profile no longer fits it.
  const ProfileKind kind = profileKindOf(compiler);
  fs::remove_all(programProfile(target.info, kind, "primes"));
  const fs::path hailstone = source / "benchmarks" / "hailstone" / "hailstone.cpp";
  std::string code = readFile(hailstone);
  const std::string main = "Int main() {";
  ASSERT_NE(code.find(main), std::string::npos);
  code.replace(code.find(main), main.size(),
               main + "\n  for (Int i = 0; i < read(); i = i + 1) print(i);");
  writeFile(hailstone, code);

  const auto failed = buildWithProfiles(target, names, options);
  ASSERT_EQ(failed.size(), 2u);
  ASSERT_TRUE(failed.count("primes") && failed.count("hailstone"));
  EXPECT_TRUE(oneLine(failed.at("primes"))) << failed.at("primes");
  EXPECT_NE(failed.at("primes").find("no profile"), std::string::npos) << failed.at("primes");
  EXPECT_TRUE(oneLine(failed.at("hailstone"))) << failed.at("hailstone");
  EXPECT_NE(failed.at("hailstone")
                .find(kind == ProfileKind::gcc ? "coverage-mismatch" : "profile-instr-out-of-date"),
            std::string::npos)
      << failed.at("hailstone");
  EXPECT_EQ(access(programExecutable(target.info, "biggest").c_str(), X_OK), 0);
  EXPECT_NE(access(programExecutable(target.info, "primes").c_str(), X_OK), 0);

  // Past the harness's own check, the compiler refuses the missing profile too.
  const auto compiled = buildPrograms(target, {"primes"}, options);
  ASSERT_TRUE(compiled.count("primes"));
  EXPECT_NE(compiled.at("primes").find(kind == ProfileKind::gcc ? "missing-profile"
                                                                : "Could not read profile"),
            std::string::npos)
      << compiled.at("primes");
  fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(Compilers, PgoE2e, testing::Values("g++", "clang++"),
                         [](const auto& info) {
                           return std::string(info.param) == "g++" ? "gcc" : "clang";
                         });

} // namespace
} // namespace bench32
