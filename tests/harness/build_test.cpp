// build/build: configurations from the command line, build errors in one line, and what
// is configured and built when, through scripted tools (nothing is compiled).

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "build/build.hpp"
#include "exec/errors.hpp"
#include "exec/tool.hpp"
#include "scripted_runner.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;
using Failed = std::map<std::string, std::string>;

TEST(Build, ConfigurationsAndErrorLines) {
  struct Case {
    const char* text;
    bool valid;
    const char* compiler;
    const char* flags;
  };
  const Case cases[] = {
      {"gcc-O2=g++:-O2", true, "g++", "-O2"},
      {"clang=clang++:-O3 -march=native", true, "clang++", "-O3 -march=native"},
      {"plain=g++:", true, "g++", ""},
      {"noflags=g++", false, "", ""},
      {"=g++:-O2", false, "", ""},
      {"../up=g++:-O2", false, "", ""},
      {"x=:-O2", false, "", ""},
  };
  for (const auto& c : cases) {
    if (!c.valid) {
      EXPECT_THROW(parseConfig(c.text, "/b"), BadInput) << c.text;
      continue;
    }
    const BuildRecipe t = parseConfig(c.text, "/b");
    EXPECT_EQ(t.info.compiler, c.compiler);
    EXPECT_EQ(t.info.flags, c.flags);
    EXPECT_EQ(t.info.buildDir, "/b/cfg-" + t.info.name);
  }
  EXPECT_EQ(firstErrorLine("[1/2] ok\nx.cpp:3:1: error: expected ';'\nmore\n"),
            "x.cpp:3:1: error: expected ';'");
  EXPECT_EQ(firstErrorLine("one\nlast line\n\n"), "last line");
  EXPECT_EQ(firstErrorLine("-- Configuring incomplete, errors occurred!\n"
                           "g++: error: unrecognized command-line option\n"),
            "g++: error: unrecognized command-line option");
}

// Compilers that exist (so that they are found) but are never run, and tools that
// configure and build without fail unless a test says otherwise.
struct Bench {
  Scratch s{"build"};
  ScriptedRunner tools;
  fs::path gxx = s.write("bin/g++", "#!/bin/sh\nexit 1\n", true);
  fs::path clangxx = s.write("bin/clang++", "#!/bin/sh\nexit 1\n", true);
  BuildOptions options;

  Bench() {
    tools.on({"cmake"}, cmakeConfigures());
    tools.on({"cmake", "--build"}, {});
    tools.on({"--version"}, prints("g++ (Debian 12.2.0-14) 12.2.0\nCopyright\n"));
    options.sourceDir = s.root / "source";
    options.caseRunner = "/bin/true";
    options.runner = tools.runner();
  }
  BuildRecipe owned(const std::string& flags = "-O2") const {
    return parseConfig("o=" + gxx.string() + ":" + flags, s.root / "build");
  }
  // A folder configured by someone else, its cache holding these lines.
  BuildRecipe existing(const std::string& cacheLines) const {
    const fs::path dir = s.root / "theirs";
    if (!cacheLines.empty()) Scratch::writeAt(dir / "CMakeCache.txt", cacheLines);
    fs::create_directories(dir);
    return parseExistingBuild("theirs=" + dir.string());
  }
};

bool holds(const Words& argv, const std::string& word) {
  return std::find(argv.begin(), argv.end(), word) != argv.end();
}

TEST(Build, AnOwnedFolderIsConfiguredWhenNewOrChangedAndOnlyThen) {
  Bench b;
  BuildRecipe recipe = b.owned();
  const fs::path dir = recipe.info.buildDir;
  const auto same = [](BuildRecipe&) {};
  struct Step {
    const char* what;
    std::function<void(BuildRecipe&)> change;
    bool configures;
  };
  const Step steps[] = {
      {"a new folder", same, true},
      {"the same again", same, false},
      {"other flags", [](BuildRecipe& r) { r.info.flags = "-O3 -g"; }, true},
      {"another compiler", [&](BuildRecipe& r) { r.info.compiler = b.clangxx.string(); }, true},
      {"a cache entry more", [](BuildRecipe& r) { r.cacheEntries = {"-DBENCH32_X=1"}; }, true},
      {"unchanged once more", same, false},
      {"a cache entry changed", [](BuildRecipe& r) { r.cacheEntries = {"-DBENCH32_X=2"}; }, true},
      {"build.ninja gone", [&](BuildRecipe&) { fs::remove(dir / "build.ninja"); }, true},
      {"the marker gone", [&](BuildRecipe&) { fs::remove(dir / "bench32-config.json"); }, true},
      {"and unchanged", same, false},
  };
  for (const auto& step : steps) {
    step.change(recipe);
    b.tools.forget();
    EXPECT_EQ(buildPrograms(recipe, {"p"}, b.options), Failed{}) << step.what;
    const auto configured = b.tools.matching({"cmake", "--fresh"});
    ASSERT_EQ(configured.size(), step.configures ? 1u : 0u) << step.what;
    EXPECT_EQ(b.tools.count({"cmake", "--build", "p"}), 1u) << step.what;
    EXPECT_EQ(recipe.info.compilerVersion, "g++ (Debian 12.2.0-14) 12.2.0") << step.what;
    if (!step.configures) continue;
    const Words& argv = configured.front();
    EXPECT_EQ(wordAfter(argv, "-B"), dir.string()) << step.what;
    EXPECT_EQ(wordAfter(argv, "-S"), b.options.sourceDir.string()) << step.what;
    EXPECT_TRUE(holds(argv, "-DCMAKE_CXX_COMPILER=" + recipe.info.compiler)) << step.what;
    EXPECT_TRUE(holds(argv, "-DCMAKE_CXX_FLAGS=" + recipe.info.flags)) << step.what;
    EXPECT_TRUE(holds(argv, "-DBENCH32_CASE_RUNNER=/bin/true")) << step.what;
    for (const auto& entry : recipe.cacheEntries) EXPECT_TRUE(holds(argv, entry)) << step.what;
  }
}

TEST(Build, AFailedConfigureIsConfiguredAgainWhateverWasAskedNext) {
  Bench b;
  BuildRecipe recipe = b.owned("-O2");
  ASSERT_EQ(buildPrograms(recipe, {"p"}, b.options), Failed{});
  // Asked for other flags that CMake refuses: the folder is left half configured with
  // them, whatever its marker said before.
  b.tools.on({"cmake", "--fresh", "-DCMAKE_CXX_FLAGS=-bad"},
             fails(1, "CMake Error at CMakeLists.txt:3 (project):\n  bad flags\n"));
  BuildRecipe bad = b.owned("-bad");
  try {
    buildPrograms(bad, {"p"}, b.options);
    ADD_FAILURE() << "a failed configure built";
  } catch (const BuildError& e) {
    EXPECT_STREQ(e.what(),
                 "config o: cmake configure failed: CMake Error at CMakeLists.txt:3 (project):");
  }
  EXPECT_EQ(b.tools.count({"cmake", "--build"}), 1u); // only the first build's
  b.tools.forget();
  ASSERT_EQ(buildPrograms(recipe, {"p"}, b.options), Failed{});
  EXPECT_EQ(b.tools.count({"cmake", "--fresh", "-DCMAKE_CXX_FLAGS=-O2"}), 1u);
}

TEST(Build, OtherFoldersAreConfiguredOnlyAsTheirKindAllows) {
  struct Case {
    const char* what;
    BuildKind kind;
    bool configured; // build.ninja and CMakeCache.txt there beforehand
    bool configures; // with its preset
    const char* refused;
  };
  const Case cases[] = {
      {"a missing preset folder", BuildKind::preset, false, true, ""},
      {"a preset folder there", BuildKind::preset, true, false, ""},
      {"a configured folder", BuildKind::existing, true, false, ""},
      {"a folder without a cache", BuildKind::existing, false, false, "not a configured build"},
  };
  for (const auto& c : cases) {
    Bench b;
    BuildRecipe recipe;
    recipe.kind = c.kind;
    recipe.info.name = "r";
    recipe.info.buildDir = (b.options.sourceDir / "build" / "release").string();
    fs::create_directories(recipe.info.buildDir);
    if (c.configured) {
      Scratch::writeAt(fs::path(recipe.info.buildDir) / "build.ninja", "");
      Scratch::writeAt(fs::path(recipe.info.buildDir) / "CMakeCache.txt",
                       "CMAKE_CXX_COMPILER:FILEPATH=" + b.gxx.string() +
                           "\nCMAKE_BUILD_TYPE:STRING=Release\nCMAKE_CXX_FLAGS:STRING=-g\n"
                           "CMAKE_CXX_FLAGS_RELEASE:STRING=-O2 -DNDEBUG\n");
    }
    if (*c.refused) {
      try {
        buildPrograms(recipe, {"p"}, b.options);
        ADD_FAILURE() << c.what << ": built";
      } catch (const BuildError& e) {
        EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos) << e.what();
      }
      EXPECT_TRUE(b.tools.calls().empty()) << c.what;
      continue;
    }
    EXPECT_EQ(buildPrograms(recipe, {"p"}, b.options), Failed{}) << c.what;
    const auto presets = b.tools.matching({"cmake", "--preset", "release"});
    ASSERT_EQ(presets.size(), c.configures ? 1u : 0u) << c.what;
    if (c.configures) {
      EXPECT_EQ(b.tools.requests().front().workingDirectory, b.options.sourceDir.string());
    }
    EXPECT_EQ(b.tools.count({"--fresh"}), 0u) << c.what;
    EXPECT_EQ(b.tools.count({"cmake", "--build", recipe.info.buildDir, "p"}), 1u) << c.what;
    if (c.configured) { // described from its cache
      EXPECT_EQ(recipe.info.compiler, b.gxx.string()) << c.what;
      EXPECT_EQ(recipe.info.flags, "-g -O2 -DNDEBUG") << c.what;
      EXPECT_EQ(recipe.info.compilerVersion, "g++ (Debian 12.2.0-14) 12.2.0") << c.what;
    }
  }
}

TEST(Build, CodeLayoutsReconfigureAFolderConfiguredForFewer) {
  struct Case {
    int cached, asked;
    bool reconfigures;
  };
  const Case cases[] = {{0, 4, true}, {2, 4, true}, {4, 4, false}, {8, 4, false}, {3, 0, false}};
  for (const auto& c : cases) {
    Bench b;
    const std::string label = std::to_string(c.cached) + " for " + std::to_string(c.asked);
    const fs::path lld = b.s.write("bin/ld.lld", "", true);
    b.tools.on({lld.string(), "--version"}, prints("Debian LLD 14.0.6\n"));
    std::string cache = "CMAKE_CXX_COMPILER:FILEPATH=" + b.gxx.string() + "\n";
    if (c.cached > 0)
      cache += "BENCH32_LAYOUTS:STRING=" + std::to_string(c.cached) +
               "\nBENCH32_LLD:FILEPATH=" + lld.string() + "\n";
    BuildRecipe recipe = b.existing(cache);
    b.options.layouts = c.asked;
    b.options.jobs = 3;
    EXPECT_EQ(buildPrograms(recipe, {"p"}, b.options), Failed{}) << label;
    EXPECT_EQ(b.tools.count({"cmake", "-DBENCH32_LAYOUTS=*"}), c.reconfigures ? 1u : 0u) << label;
    const auto builds = b.tools.matching({"cmake", "--build"});
    ASSERT_EQ(builds.size(), 1u) << label;
    EXPECT_TRUE(holds(builds[0], "-j3")) << label;
    Words targets(std::find(builds[0].begin(), builds[0].end(), "--target") + 1, builds[0].end());
    Words expected;
    for (int k = 0; k < c.asked; ++k) expected.push_back("p.layout-" + std::to_string(k));
    if (c.asked == 0) expected = {"p"};
    EXPECT_EQ(targets, expected) << label;
    EXPECT_EQ(recipe.info.linker, c.cached > 0 ? "Debian LLD 14.0.6" : "") << label;
  }
}

TEST(Build, AFailingBuildIsPinnedOnItsProgramsOneByOne) {
  const Answer bad = fails(1, "[1/2] ok\nb.cpp:3:1: error: expected ';'\n");
  struct Case {
    const char* what;
    std::vector<std::pair<Words, Answer>> rules;
    Failed failed;
    const char* thrown; // the BuildError's message, when it throws
    std::size_t builds;
  };
  const Case cases[] = {
      {"all build", {}, {}, nullptr, 1},
      {"b fails",
       {{{"--build", "b"}, bad}},
       {{"b", "build failed: b.cpp:3:1: error: expected ';'"}},
       nullptr,
       4},
      {"b and c fail",
       {{{"--build", "b"}, bad}, {{"--build", "c"}, fails(2, "", "c.cpp: error: no\n")}},
       {{"b", "build failed: b.cpp:3:1: error: expected ';'"},
        {"c", "build failed: c.cpp: error: no"}},
       nullptr,
       4},
      {"no single program fails",
       {{{"--build", "a", "b", "c"}, fails(1, "x\nld: error: no space left\ny\n")}},
       {},
       "build failed: ld: error: no space left",
       4},
      {"interrupted", {{{"--build"}, interrupted()}}, {}, "interrupted", 1},
      {"b's build is interrupted",
       {{{"--build", "c"}, interrupted()}, {{"--build", "b"}, bad}},
       {},
       "interrupted",
       4},
  };
  for (const auto& c : cases) {
    Bench b;
    for (const auto& [words, answer] : c.rules) b.tools.on(words, answer);
    BuildRecipe recipe = b.owned();
    if (c.thrown) {
      try {
        buildPrograms(recipe, {"a", "b", "c"}, b.options);
        ADD_FAILURE() << c.what << ": did not throw";
      } catch (const BuildError& e) {
        EXPECT_NE(std::string(e.what()).find(c.thrown), std::string::npos)
            << c.what << ": " << e.what();
      }
    } else {
      EXPECT_EQ(buildPrograms(recipe, {"a", "b", "c"}, b.options), c.failed) << c.what;
    }
    EXPECT_EQ(b.tools.count({"cmake", "--build"}), c.builds) << c.what;
  }
}

TEST(Build, AnOwnedFolderNeedsACompilerThatRuns) {
  struct Case {
    const char* what;
    bool onPath;
    bool versionFails;
    const char* refused;
  };
  const Case cases[] = {
      {"not on PATH", false, false, "compiler \"bench32-no-such-compiler\" not found"},
      {"--version fails", true, true, "--version\" fails"},
  };
  for (const auto& c : cases) {
    Bench b;
    BuildRecipe recipe = parseConfig(
        std::string("o=") + (c.onPath ? b.gxx.string() : "bench32-no-such-compiler") + ":-O2",
        b.s.root / "build");
    if (c.versionFails) b.tools.on({"--version"}, fails(1));
    try {
      buildPrograms(recipe, {"p"}, b.options);
      ADD_FAILURE() << c.what << ": built";
    } catch (const BuildError& e) {
      EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos) << e.what();
    }
    EXPECT_EQ(b.tools.count({"cmake", "--build"}), 0u) << c.what;
    if (!c.onPath) {
      EXPECT_TRUE(b.tools.calls().empty()) << c.what;
    }
  }
}

} // namespace
} // namespace bench32
