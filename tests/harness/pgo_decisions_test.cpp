// build/pgo through scripted tools (nothing is compiled or trained): which
// configurations may be built profile-guided, and what each of the three steps runs,
// keeps and refuses, program by program.
#include <sys/utsname.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "build/build.hpp"
#include "build/pgo.hpp"
#include "exec/errors.hpp"
#include "exec/expectation.hpp"
#include "exec/files.hpp"
#include "model/results.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "scripted_runner.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;
using Failed = std::map<std::string, std::string>;

constexpr const char* gccVersion =
    "g++ (Debian 12.2.0-14) 12.2.0\nCopyright (C) 2022 Free Software Foundation, Inc.\n";
constexpr const char* clangVersion =
    "Debian clang version 99.0.1\nTarget: x86_64-pc-linux-gnu\nThread model: posix\n";

// The profile variables unset for the test's length, and put back after it.
struct NoProfileVariables {
  std::map<std::string, std::optional<std::string>> saved;
  NoProfileVariables() {
    for (const char* name : {"LLVM_PROFILE_FILE", "GCOV_PREFIX", "GCOV_PREFIX_STRIP"}) {
      const char* value = std::getenv(name);
      saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
      unsetenv(name);
    }
  }
  ~NoProfileVariables() {
    for (const auto& [name, value] : saved)
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
  }
};

TEST(PgoDecisions, OnlyATrainableConfigurationIsMarked) {
  const NoProfileVariables clean;
  struct Case {
    const char* what;
    const char* version; // the compiler's --version; nullptr: it fails
    bool besideMerger;   // an llvm-profdata beside the compiler's file
    const char* mergerVersion;
    bool runtime; // clang's profile runtime installed
    std::vector<std::string> workloads;
    int layouts;
    const char* kind;      // "config", "build": t's kind; "clash": a build in t's folder
    const char* variable;  // set in the environment
    const char* refused;   // the message's part; empty: accepted
    bool badInput;         // BadInput rather than BuildError
    const char* mergeTool; // when accepted: "" (g++), "beside" or a name
  };
  const std::vector<std::string> ref{"ref"};
  const Case cases[] = {
      {"g++", gccVersion, false, "", true, ref, 0, "config", nullptr, "", false, ""},
      {"clang++ and its llvm-profdata", clangVersion, true, "", true, ref, 0, "config", nullptr, "",
       false, "beside"},
      {"clang++ and llvm-profdata of its version", clangVersion, false,
       "Ubuntu LLVM version 99.0.1\n", true, ref, 0, "config", nullptr, "", false, "llvm-profdata"},
      {"clang++ without llvm-profdata", clangVersion, false, "LLVM version 14.0.6\n", true, ref, 0,
       "config", nullptr, "no llvm-profdata of", false, ""},
      {"clang++ without its profile runtime", clangVersion, true, "", false, ref, 0, "config",
       nullptr, "has no profile runtime for this target", false, ""},
      {"another compiler", "Intel(R) oneAPI DPC++/C++ Compiler 2024.0.0\nmore\n", false, "", true,
       ref, 0, "config", nullptr,
       "is neither g++ nor clang++ (\"Intel(R) oneAPI DPC++/C++ Compiler 2024.0.0\")", true, ""},
      {"a compiler that does not run", nullptr, false, "", true, ref, 0, "config", nullptr,
       "--version\" fails", false, ""},
      {"the train workload measured",
       gccVersion,
       false,
       "",
       true,
       {"ref", "train"},
       0,
       "config",
       nullptr,
       "the train workload trains",
       true,
       ""},
      {"code layouts", gccVersion, false, "", true, ref, 4, "config", nullptr,
       "--pgo and --layouts cannot be combined", true, ""},
      {"no configuration of that name", gccVersion, false, "", true, ref, 0, "none", nullptr,
       "--pgo t: no --config of that name", true, ""},
      {"a --build folder", gccVersion, false, "", true, ref, 0, "build", nullptr,
       "only a --config configuration", true, ""},
      {"another configuration's folder", gccVersion, false, "", true, ref, 0, "clash", nullptr,
       "-instrumented is the folder of configuration x", true, ""},
      {"a profile variable set", gccVersion, false, "", true, ref, 0, "config", "GCOV_PREFIX",
       "GCOV_PREFIX is set", true, ""},
  };
  for (const auto& c : cases) {
    const Scratch s("pgo-mark");
    ScriptedRunner tools;
    const fs::path compiler = s.write("llvm/bin/compiler++", "", true);
    const fs::path merger = s.root / "llvm" / "bin" / "llvm-profdata";
    if (c.besideMerger) Scratch::writeAt(merger, "", true);
    if (c.version) tools.on({compiler.string(), "--version"}, prints(c.version));
    if (*c.mergerVersion) tools.on({"llvm-profdata", "--version"}, prints(c.mergerVersion));
    const fs::path builtins = s.root / "rt" / "libclang_rt.builtins-x86_64.a";
    tools.on({compiler.string(), "--rtlib=compiler-rt", "-print-libgcc-file-name"},
             prints(builtins.string() + "\n"));
    if (c.runtime) s.write("rt/libclang_rt.profile-x86_64.a", "");

    const fs::path root = s.root / "build";
    std::vector<BuildRecipe> targets;
    const std::string kind = c.kind;
    if (kind == "build") targets.push_back(parseExistingBuild("t=" + (root / "t").string()));
    if (kind == "config" || kind == "clash" || kind == "none")
      targets.push_back(parseConfig(
          std::string(kind == "none" ? "u" : "t") + "=" + compiler.string() + ":-O2", root));
    if (kind == "clash")
      targets.push_back(parseExistingBuild("x=" + (root / "cfg-t-instrumented").string()));
    if (c.variable) setenv(c.variable, "/elsewhere", 1);
    try {
      markProfileGuided(targets, {"t", "t"}, c.workloads, c.layouts, tools.runner());
      EXPECT_STREQ(c.refused, "") << c.what << ": accepted";
    } catch (const BadInput& e) {
      EXPECT_TRUE(c.badInput) << c.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos)
          << c.what << ": " << e.what();
    } catch (const BuildError& e) {
      EXPECT_FALSE(c.badInput) << c.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos)
          << c.what << ": " << e.what();
    }
    if (c.variable) unsetenv(c.variable);
    if (*c.refused) {
      for (const auto& t : targets) {
        EXPECT_FALSE(t.profileGuided) << c.what;
        EXPECT_FALSE(t.info.pgo) << c.what;
      }
      // What needs no tool to tell is refused before any tool runs.
      if (c.badInput && std::string(c.refused).find("neither") == std::string::npos) {
        EXPECT_TRUE(tools.calls().empty()) << c.what;
      }
      continue;
    }
    const BuildRecipe& t = targets.front();
    ASSERT_TRUE(t.profileGuided && t.info.pgo) << c.what;
    EXPECT_EQ(t.info.pgo->instrumentedDir, (root / "cfg-t-instrumented").string()) << c.what;
    EXPECT_EQ(t.info.pgo->profileDir, (root / "cfg-t-profiles").string()) << c.what;
    const std::string expectedTool =
        std::string(c.mergeTool) == "beside" ? merger.string() : c.mergeTool;
    EXPECT_EQ(t.info.pgo->mergeTool, expectedTool) << c.what;
    EXPECT_TRUE(t.info.pgo->profiles.empty()) << c.what;
  }
}

TEST(PgoDecisions, TheKindOfProfileIsReadFromTheVersionText) {
  struct Case {
    const char* text;
    std::optional<ProfileKind> kind; // unset: refused
  };
  const Case cases[] = {
      {gccVersion, ProfileKind::gcc},
      {"c++ (GCC) 13.1.0\nCopyright (C) 2023 Free Software Foundation, Inc.\n", ProfileKind::gcc},
      {"x86_64-linux-gnu-g++-12 (Debian 12.2.0-14) 12.2.0\n", ProfileKind::gcc},
      {clangVersion, ProfileKind::clang},
      {"Apple clang version 15.0.0 (clang-1500.0.40.1)\n", ProfileKind::clang},
      {"icpx 2024.0\n", std::nullopt},
  };
  for (const auto& c : cases) {
    ScriptedRunner tools;
    tools.on({"cxx", "--version"}, prints(c.text));
    if (c.kind) {
      EXPECT_EQ(profileKindOf("cxx", tools.runner()), *c.kind) << c.text;
    } else {
      EXPECT_THROW(profileKindOf("cxx", tools.runner()), BadInput) << c.text;
    }
  }
}

// A source tree of programs with their workloads, a profile-guided g++ configuration of
// them, and tools that build it.
struct Training {
  Scratch s{"pgo-train"};
  ScriptedRunner tools;
  fs::path gxx = s.write("bin/g++", "", true);
  BuildRecipe target = parseConfig("t=" + gxx.string() + ":-O2", s.root / "build");
  BuildOptions options;
  std::string machine = [] {
    utsname name{};
    uname(&name);
    return std::string(name.machine);
  }();

  Training() {
    tools.on({"cmake"}, cmakeConfigures());
    tools.on({"cmake", "--build"}, {});
    tools.on({gxx.string(), "--version"}, prints(gccVersion));
    options.sourceDir = s.root / "source";
    options.caseRunner = "/bin/true";
    options.runner = tools.runner();
    target.profileGuided = true;
    target.info.pgo = ProfileGuided{
        instrumentedDir(target.info).string(), profileDir(target.info).string(), "", {}};
  }
  ProgramInfo program(const std::string& name, bool train = true) const {
    const std::string workloads =
        train ? R"({"workloads": {"ref": {"input": "1\n", "stdout": "r\n"},
                                  "train": {"input": "2\n", "stdout": "t\n"}}})"
              : R"({"workloads": {"ref": {"input": "1\n", "stdout": "r\n"}}})";
    s.write("source/benchmarks/" + name + "/workloads.json", workloads);
    return {name, s.root / "source" / "benchmarks" / name};
  }
  fs::path instrumented(const std::string& program) const {
    return instrumentedDir(target.info) / "bin" / program;
  }
  fs::path profiles(const std::string& program) const { return profileDir(target.info) / program; }
  // Where the instrumented build leaves a program's objects, and where g++ writes their
  // profiles.
  void objects(const std::string& program, const std::vector<std::string>& units,
               bool withProfiles) const {
    for (const auto& unit : units) {
      Scratch::writeAt(instrumentedDir(target.info) / "benchmarks" / program / "CMakeFiles" /
                           (program + ".dir") / (unit + ".o"),
                       "object");
      if (withProfiles)
        Scratch::writeAt(profiles(program) / ("benchmarks#" + program + "#CMakeFiles#" + program +
                                              ".dir#" + unit + ".gcda"),
                         "counts of " + unit);
    }
  }
};

TEST(PgoDecisions, EachProgramIsTrainedVerifiedAfterTheInstrumentedBuild) {
  struct Case {
    const char* what;
    Answer probe; // setarch's probe
    bool fixed;   // the training runs are under setarch -R
  };
  const Case cases[] = {
      {"setarch works", {}, true},
      {"setarch refused", fails(1, "setarch: failed to set personality"), false},
      {"no setarch", cannotStart("setarch: not found"), false},
  };
  for (const auto& c : cases) {
    Training t;
    t.tools.on({"setarch", t.machine, "-R", "true"}, c.probe);
    t.tools.on({"cmake", "--build", "c"}, fails(1, "c.cpp:1:1: error: no\n"));
    // a trains and writes its profile; b answers wrongly; c does not build; d has no
    // train workload.
    t.tools.on(
        {t.instrumented("a").string()},
        doing([&](const Words&,
                  const fs::path&) { Scratch::writeAt(t.profiles("a") / "new.gcda", "counts"); },
              prints("t\n")));
    t.tools.on({t.instrumented("b").string()}, prints("wrong\n"));
    t.tools.on({t.instrumented("d").string()}, prints("r\n"));
    Scratch::writeAt(t.profiles("a") / "old.gcda", "an earlier training's");
    Scratch::writeAt(t.profiles("b") / "old.gcda", "an earlier training's");
    TrainingOptions training{
        {t.program("a"), t.program("b"), t.program("c"), t.program("d", false)}, {{"env"}, 30, {}}};

    const Failed failed = buildAndTrain(t.target, training, t.options);
    ASSERT_EQ(failed.size(), 3u) << c.what;
    EXPECT_NE(failed.at("b").find("training run failed: stdout differs at line 1"),
              std::string::npos)
        << failed.at("b");
    EXPECT_EQ(failed.at("c"), "instrumented build failed: c.cpp:1:1: error: no") << c.what;
    EXPECT_EQ(failed.at("d"), "no train workload to train on") << c.what;

    // Built instrumented in its own folder, then trained.
    const auto configured = t.tools.matching({"cmake", "--fresh"});
    ASSERT_EQ(configured.size(), 1u) << c.what;
    EXPECT_EQ(wordAfter(configured[0], "-B"), instrumentedDir(t.target.info).string());
    EXPECT_NE(std::find(configured[0].begin(), configured[0].end(), "-DBENCH32_PGO=generate"),
              configured[0].end());
    EXPECT_NE(std::find(configured[0].begin(), configured[0].end(),
                        "-DBENCH32_PGO_PROFILES=" + profileDir(t.target.info).string()),
              configured[0].end());
    std::vector<RunRequest> runs;
    std::size_t lastBuild = 0;
    for (std::size_t i = 0; i < t.tools.requests().size(); ++i) {
      const auto& argv = t.tools.requests()[i].argv;
      if (argv.size() > 1 && argv[1] == "--build") lastBuild = i;
      if (argv.back().find("/bin/") != std::string::npos && argv.front() != "cmake") {
        EXPECT_GT(i, lastBuild) << c.what;
        runs.push_back(t.tools.requests()[i]);
      }
    }
    ASSERT_EQ(runs.size(), 2u) << c.what; // a and b: c did not build, d has nothing to train on
    for (const auto& run : runs) {
      Words prefix = c.fixed ? Words{"setarch", t.machine, "-R", "env"} : Words{"env"};
      EXPECT_EQ(Words(run.argv.begin(), run.argv.end() - 1), prefix) << c.what;
      EXPECT_EQ(run.timeout, std::chrono::duration<double>(30)) << c.what;
      EXPECT_GE(run.fileRoom, std::uint64_t{1} << 20) << c.what; // room for the profile
      ASSERT_TRUE(run.inputFile) << c.what;
      EXPECT_EQ(run.inputFile->readAll(), "2\n") << c.what;
    }

    // Every profile starts from nothing; only the trained program's is recorded.
    EXPECT_FALSE(fs::exists(t.profiles("a") / "old.gcda")) << c.what;
    EXPECT_TRUE(fs::exists(t.profiles("a") / "new.gcda")) << c.what;
    EXPECT_FALSE(fs::exists(t.profiles("b") / "old.gcda")) << c.what;
    ASSERT_EQ(t.target.info.pgo->profiles.size(), 1u) << c.what;
    const TrainingProfile& a = t.target.info.pgo->profiles[0];
    EXPECT_EQ(a.program, "a");
    EXPECT_EQ(a.workload, "train");
    EXPECT_EQ(a.inputXxh3, digestHex(digest("2\n")));
  }
}

// The trained records of these programs, as step 1 leaves them.
void trained(BuildRecipe& target, const std::vector<std::string>& programs) {
  target.info.pgo->profiles.clear();
  for (const auto& p : programs)
    target.info.pgo->profiles.push_back({p, "train", digestHex(digest("2\n")), ""});
}

TEST(PgoDecisions, ClangProfilesAreMergedAndAProgramWithoutOneFails) {
  Training t;
  t.target.info.pgo->mergeTool = "llvm-profdata-99";
  auto merge = [&](const std::string& content) {
    return doing([content](const Words& argv, const fs::path&) {
      Scratch::writeAt(wordAfter(argv, "-o"), content);
    });
  };
  t.tools.on({"llvm-profdata-99", "merge"}, merge("merged"));
  t.tools.on({"llvm-profdata-99", "merge", "*/c/*.profraw"},
             fails(1, "warning: x\nerror: c-1.profraw: malformed\n"));
  t.tools.on({"llvm-profdata-99", "merge", "*/f/*.profraw"}, {}); // writes nothing
  for (const char* p : {"a", "c", "f"}) {
    Scratch::writeAt(t.profiles(p) / (std::string(p) + "-1.profraw"), "raw");
    Scratch::writeAt(t.profiles(p) / (std::string(p) + "-2.profraw"), "raw");
  }
  fs::create_directories(t.profiles("e"));
  trained(t.target, {"a", "c", "e", "f"});

  const Failed failed = collectProfiles(t.target, {"a", "b", "c", "e", "f"}, t.tools.runner());
  const fs::path merged = t.profiles("a") / "program.profdata";
  EXPECT_EQ(failed, (Failed{
                        {"b", "not trained"},
                        {"c", "llvm-profdata-99 merge failed: error: c-1.profraw: malformed"},
                        {"e", "the training run wrote no profile in " + t.profiles("e").string()},
                        {"f", "no profile at " + (t.profiles("f") / "program.profdata").string()},
                    }));
  const auto merges = t.tools.matching({"merge", "*/a/*"});
  ASSERT_EQ(merges.size(), 1u);
  EXPECT_EQ(Words(merges[0].begin(), merges[0].begin() + 4),
            (Words{"llvm-profdata-99", "merge", "-o", merged.string()}));
  EXPECT_EQ(merges[0].size(), 6u); // both raw profiles
  EXPECT_EQ(t.tools.count({"merge", "*/e/*"}), 0u);
  ASSERT_EQ(t.target.info.pgo->profiles.size(), 1u);
  const TrainingProfile& a = t.target.info.pgo->profiles[0];
  EXPECT_EQ(a.profileXxh3, fileDigest(merged));
  const fs::path stamp = profileDir(t.target.info) / "a.stamp";
  const auto doc = nlohmann::json::parse(readFile(stamp));
  EXPECT_EQ(doc, (nlohmann::json{{"workload", "train"},
                                 {"input_xxh3", a.inputXxh3},
                                 {"profile_xxh3", a.profileXxh3}}));
  EXPECT_FALSE(fs::exists(profileDir(t.target.info) / "c.stamp"));

  // The stamp's date recompiles the program: it changes only with the profile.
  struct Step {
    const char* what;
    std::optional<std::string> merged; // a new merge's bytes
    bool rewritten;
  };
  const Step steps[] = {
      {"the same profile", std::nullopt, false},
      {"another profile", "merged anew", true},
      {"that one again", std::nullopt, false},
  };
  for (const auto& step : steps) {
    if (step.merged) t.tools.on({"llvm-profdata-99", "merge", "*/a/*"}, merge(*step.merged));
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
    fs::last_write_time(stamp, old);
    trained(t.target, {"a"});
    EXPECT_EQ(collectProfiles(t.target, {"a"}, t.tools.runner()), Failed{}) << step.what;
    EXPECT_EQ(fs::last_write_time(stamp) != old, step.rewritten) << step.what;
    EXPECT_EQ(nlohmann::json::parse(readFile(stamp))["profile_xxh3"], fileDigest(merged))
        << step.what;
  }
}

TEST(PgoDecisions, GccProfilesNeedOnePerObject) {
  Training t;
  t.objects("a", {"a.cpp", "runtime.cpp"}, true);
  t.objects("b", {"b.cpp"}, true);
  t.objects("b", {"rt.cpp"}, false);
  trained(t.target, {"a", "b", "c"});
  const Failed failed = collectProfiles(t.target, {"a", "b", "c"}, t.tools.runner());
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed.at("b").rfind("no profile for benchmarks/b/CMakeFiles/b.dir/rt.cpp.o (", 0), 0u)
      << failed.at("b");
  EXPECT_EQ(failed.at("c").rfind("no objects of c in ", 0), 0u) << failed.at("c");
  EXPECT_TRUE(t.tools.calls().empty()); // g++'s profiles are read as they are
  ASSERT_EQ(t.target.info.pgo->profiles.size(), 1u);
  EXPECT_EQ(t.target.info.pgo->profiles[0].profileXxh3.size(), 16u);
  EXPECT_TRUE(fs::exists(profileDir(t.target.info) / "a.stamp"));
}

TEST(PgoDecisions, TheRebuildLeavesOutProgramsWithoutAProfile) {
  struct Case {
    const char* what;
    bool aFails;
    Failed failed;
  };
  const Case cases[] = {
      {"a builds", false, {}},
      {"a's build fails", true, {{"a", "profile-guided build failed: a.cpp: error: mismatch"}}},
  };
  for (const auto& c : cases) {
    Training t;
    t.objects("a", {"a.cpp"}, true);
    t.objects("b", {"b.cpp"}, false);
    if (c.aFails) t.tools.on({"--build", "a"}, fails(1, "a.cpp: error: mismatch\n"));
    Failed failed = buildWithProfiles(t.target, {"a", "b"}, t.options);
    ASSERT_TRUE(failed.count("b")) << c.what;
    EXPECT_EQ(failed.at("b").rfind("no profile for benchmarks/b/", 0), 0u) << failed.at("b");
    failed.erase("b");
    EXPECT_EQ(failed, c.failed) << c.what;
    const auto configured = t.tools.matching({"cmake", "--fresh"});
    ASSERT_EQ(configured.size(), 1u) << c.what;
    EXPECT_EQ(wordAfter(configured[0], "-B"), t.target.info.buildDir) << c.what;
    EXPECT_NE(std::find(configured[0].begin(), configured[0].end(), "-DBENCH32_PGO=use"),
              configured[0].end());
    const auto builds = t.tools.matching({"cmake", "--build"});
    ASSERT_FALSE(builds.empty()) << c.what;
    for (const auto& build : builds)
      EXPECT_EQ(std::find(build.begin(), build.end(), "b"), build.end()) << c.what;
  }
}

TEST(PgoDecisions, RecordedInTheResultsFileAndAbsentElsewhere) {
  Results results;
  results.configs.push_back({"plain", "g++", "g++ 12", "-O2", "/b/cfg-plain", ""});
  results.configs.push_back({"pgo", "g++", "g++ 12", "-O2", "/b/cfg-pgo", ""});
  results.configs.back().pgo =
      ProfileGuided{"/b/cfg-pgo-instrumented",
                    "/b/cfg-pgo-profiles",
                    "",
                    {{"hailstone", "train", "00112233aabbccdd", "0123456789abcdef"}}};
  const auto doc = toJson(results);
  EXPECT_FALSE(doc["configs"][0].contains("pgo"));
  EXPECT_EQ(doc["configs"][1]["pgo"]["profiles"][0]["profile_xxh3"], "0123456789abcdef");
  EXPECT_FALSE(doc["configs"][1]["pgo"].contains("merge_tool")); // g++ merges nothing
  const Results back = resultsFromJson(doc);
  EXPECT_FALSE(back.configs[0].pgo);
  ASSERT_TRUE(back.configs[1].pgo);
  EXPECT_EQ(back.configs[1].pgo->instrumentedDir, "/b/cfg-pgo-instrumented");
  ASSERT_EQ(back.configs[1].pgo->profiles.size(), 1u);
  EXPECT_EQ(back.configs[1].pgo->profiles[0].inputXxh3, "00112233aabbccdd");
  EXPECT_EQ(toJson(back), doc);
}

} // namespace
} // namespace bench32
