#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "analysis/compare.hpp"
#include "build/compile_commands.hpp"
#include "exec/errors.hpp"
#include "exec/process.hpp"
#include "exec/words.hpp"
#include "model/metrics.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "run/compile_timing.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// A folder of its own per test process, removed afterwards.
struct Scratch {
  fs::path root;
  explicit Scratch(const std::string& name)
      : root(fs::path(testing::TempDir()) / (name + "-" + std::to_string(getpid()))) {
    fs::remove_all(root);
    fs::create_directories(root);
  }
  ~Scratch() { fs::remove_all(root); }
  fs::path write(const std::string& name, const std::string& text, bool executable = false) const {
    const fs::path file = root / name;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
    if (executable) fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
    return file;
  }
};

TEST(Compile, CommandsSplitIntoWordsAsAShellWould) {
  struct Case {
    const char* command;
    Words words;
  };
  const Case cases[] = {
      {"g++  -O2 -c a.cpp", {"g++", "-O2", "-c", "a.cpp"}},
      {"  g++\t-DNAME='a b' -c\n'x y.cpp'  ", {"g++", "-DNAME=a b", "-c", "x y.cpp"}},
      {R"(g++ "-DQ=\"q\"" -DS=\$x a\ b.cpp)", {"g++", "-DQ=\"q\"", "-DS=$x", "a b.cpp"}},
      {R"(g++ "-DP=a\b" '' x)", {"g++", "-DP=a\\b", "", "x"}},
      {": && g++ a.o -o b && :", {":", "&&", "g++", "a.o", "-o", "b", "&&", ":"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(shellWords(c.command), c.words) << c.command;
  for (const char* bad : {"g++ 'a", "g++ \"a", "g++ a\\"})
    EXPECT_THROW(shellWords(bad), BadInput) << bad;
}

TEST(Compile, CachingLaunchersAreFoundAndLeftOut) {
  const Scratch s("compile-launchers");
  const std::string script = "#!/bin/sh\nexec \"$@\"\n";
  const fs::path ccache = s.write("bin1/ccache", script, true);
  s.write("bin1/sccache", script, true);
  fs::create_symlink("ccache", s.root / "bin1" / "g++"); // ccache's masquerading link
  const fs::path realGxx = s.write("bin2/g++", script, true);
  fs::create_directories(s.root / "bin3");
  fs::create_symlink(ccache, s.root / "bin3" / "clang++"); // and no real clang++ anywhere
  const std::string bin1 = (s.root / "bin1").string(), bin2 = (s.root / "bin2").string(),
                    bin3 = (s.root / "bin3").string();

  struct Case {
    Words argv;
    std::string path;
    std::string launcher; // what is detected
    Words left;           // the command that runs; empty: refused
  };
  const Case cases[] = {
      {{"g++", "-c", "a.cpp"}, bin2, "", {"g++", "-c", "a.cpp"}},
      {{"ccache", "g++", "-c", "a.cpp"}, bin2, "ccache", {"g++", "-c", "a.cpp"}},
      {{(s.root / "bin1/sccache").string(), "g++", "-c"}, bin2, "sccache", {"g++", "-c"}},
      {{"g++", "-c"}, bin1 + ":" + bin2, "ccache (as g++)", {realGxx.string(), "-c"}},
      {{bin1 + "/g++", "-c"}, bin2, "ccache (as " + bin1 + "/g++)", {realGxx.string(), "-c"}},
      {{"ccache", "g++"}, bin1 + ":" + bin2, "ccache", {realGxx.string()}},
      {{"clang++", "-c"}, bin3, "ccache (as clang++)", {}},
      {{"ccache"}, bin2, "ccache", {}},
  };
  for (const auto& c : cases) {
    const std::string label = c.argv.front() + " on " + c.path;
    EXPECT_EQ(cachingLauncher(c.argv, c.path), c.launcher) << label;
    if (c.left.empty())
      EXPECT_THROW(withoutLauncher(c.argv, c.path), BadInput) << label;
    else
      EXPECT_EQ(withoutLauncher(c.argv, c.path), c.left) << label;
  }
}

// A build folder as CMake's Ninja generator leaves it, for one program: its object's
// compile command in compile_commands.json, and a link rule.
fs::path fakeBuild(const Scratch& s, const std::string& link, bool compileCommands = true) {
  const fs::path dir = s.root / "build";
  fs::remove_all(dir);
  s.write("build/build.ninja",
          "rule link\n  command = " + link + "\nbuild bin/prog: link obj/a.cpp.o lib/libx.a\n");
  if (compileCommands)
    s.write("build/compile_commands.json",
            nlohmann::json::array({{{"directory", dir.string()},
                                    {"command", "/usr/bin/g++ -O2 -o obj/a.cpp.o -c /src/a.cpp"},
                                    {"file", "/src/a.cpp"}}})
                .dump());
  return dir;
}

TEST(Compile, JobRewritesOnlyTheOutputsIntoTheScratchFolder) {
  const Scratch s("compile-plan");
  const fs::path dir =
      fakeBuild(s, ": && /usr/bin/g++ -O2 obj/a.cpp.o -o bin/prog lib/libx.a -Wl,--as-needed && :");
  const fs::path scratch = s.root / "scratch";
  const CompileJob job = planCompile(dir, dir / "bin" / "prog", scratch, "/usr/bin");
  const std::string object = (scratch / "0-a.cpp.o").string();
  ASSERT_EQ(job.compiles.size(), 1u);
  EXPECT_EQ(job.compiles[0].argv, (Words{"/usr/bin/g++", "-O2", "-o", object, "-c", "/src/a.cpp"}));
  EXPECT_EQ(job.compiles[0].directory, dir);
  EXPECT_EQ(job.objects, std::vector<fs::path>{object});
  EXPECT_EQ(job.link.argv, (Words{"/usr/bin/g++", "-O2", object, "-o", (scratch / "prog").string(),
                                  "lib/libx.a", "-Wl,--as-needed"}));
  EXPECT_EQ(job.link.directory, dir);
  EXPECT_EQ(job.executable, scratch / "prog");
  EXPECT_EQ(job.launcher, "");
}

TEST(Compile, WhatCannotBeRebuiltIsRefusedWithOneLine) {
  const Scratch s("compile-refused");
  struct Case {
    std::string link;
    bool compileCommands;
    const char* says;
  };
  const Case cases[] = {
      {"g++ obj/a.cpp.o obj/b.cpp.o -o bin/prog", true,
       "obj/b.cpp.o (linked into bin/prog) has no"},
      {"g++ @CMakeFiles/prog.rsp -o bin/prog", true, "reads a response file"},
      {"g++ obj/a.cpp.o -o bin/prog && strip bin/prog", true, "more than one command"},
      {"g++ obj/a.cpp.o lib/libx.a", true, "names no output"},
      {"g++ lib/libx.a -o bin/prog", true, "reads no object of the build"},
      {"g++ obj/a.cpp.o -o bin/prog", false, "CMAKE_EXPORT_COMPILE_COMMANDS=ON"},
  };
  for (const auto& c : cases) {
    const fs::path dir = fakeBuild(s, c.link, c.compileCommands);
    try {
      planCompile(dir, dir / "bin" / "prog", s.root / "scratch", "/usr/bin");
      ADD_FAILURE() << c.link << ": not refused";
    } catch (const BadInput& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
    }
  }
  fs::remove(s.root / "build" / "build.ninja");
  EXPECT_THROW(planCompile(s.root / "build", s.root / "build" / "bin" / "prog", s.root, "/usr/bin"),
               BadInput);
}

TEST(Compile, OnlyACompileThatGivesTheBuiltExecutableCounts) {
  const Scratch s("compile-proof");
  const fs::path source = s.write("a.cpp", "int main() { return 7; }\n");
  const fs::path object = s.root / "a.o", exe = s.root / "a";
  // The executable as the build made it.
  RunRequest build;
  build.argv = {"g++", "-O2", source.string(), "-o", (s.root / "built").string()};
  ASSERT_EQ(runProcess(build).exitStatus, 0);
  const std::string built = fileDigest(s.root / "built");

  const Words compile{"g++", "-O2", "-c", source.string(), "-o", object.string()};
  auto shell = [](const std::string& line) { return Words{"sh", "-c", line}; };
  const std::string gxx = "g++ -O2 -c " + source.string() + " -o " + object.string();
  struct Case {
    const char* what;
    Words compile;
    const char* error; // empty: the round counts
  };
  const Case cases[] = {
      {"the build's compile", compile, ""},
      {"an object tampered with",
       shell(gxx + " && objcopy --add-symbol bench32_tampered=0 " + object.string()),
       "an executable other than the built one"},
      {"other flags", shell(gxx + " -O0 -fno-inline"), "an executable other than the built one"},
      {"no object written", Words{"true"}, "wrote no a.o"},
      {"a failed compile", shell("echo 'a.cpp:1: error: no' >&2; exit 1"),
       "failed: a.cpp:1: error"},
  };
  for (const auto& c : cases) {
    CompileJob job;
    job.compiles = {{c.compile, s.root}};
    job.objects = {object};
    job.link = {{"g++", "-O2", object.string(), "-o", exe.string()}, s.root};
    job.executable = exe;
    const CompileRound round = compileOnce(job, built, 60, nullptr);
    EXPECT_FALSE(round.cancelled) << c.what;
    if (*c.error) {
      EXPECT_NE(round.error.find(c.error), std::string::npos) << c.what << ": " << round.error;
      continue;
    }
    EXPECT_EQ(round.error, "") << c.what;
    EXPECT_GT(round.wall, 0) << c.what;
    EXPECT_GT(round.cpu, 0) << c.what;
    // cc1plus's peak, seen through the driver that waited for it: far above a shell's.
    EXPECT_GT(round.rssKiB, 8 * 1024) << c.what;
    EXPECT_GT(round.link, 0) << c.what;
  }
}

Results twoCompilers(const std::vector<double>& gccWall, const std::vector<double>& clangWall) {
  Results r;
  for (const auto& [config, wall] : {std::pair{"gcc", gccWall}, std::pair{"clang", clangWall}}) {
    ConfigInfo info;
    info.name = config;
    r.configs.push_back(info);
    UnitResult u;
    u.config = config;
    u.program = "hailstone";
    u.workload = "smoke";
    u.status = Status::ok;
    u.binaryXxh3 = "same"; // byte-identical binaries: the compile still compares
    u.samples.push_back(Sample{});
    CompileSamples c;
    c.wall = c.cpu = wall;
    c.rssKiB.assign(wall.size(), 1000);
    c.link.assign(wall.size(), 0.01);
    c.translationUnits = 1;
    u.compile = c;
    r.units.push_back(u);
  }
  return r;
}

TEST(Compile, SamplesAreMetricsThatRoundTripAndCompare) {
  const Results r = twoCompilers({1.0, 1.1, 0.9, 0.95, 1.05}, {2.0, 2.2, 1.8, 1.9, 2.1});
  const Results back = resultsFromJson(toJson(r));
  for (Metric m : {Metric::compile, Metric::compileCpu, Metric::compileRss, Metric::link})
    EXPECT_EQ(metricValues(back.units[1], m), metricValues(r.units[1], m)) << metricInfo(m).name;
  EXPECT_EQ(metricValues(back.units[0], Metric::compile),
            (std::vector<double>{1.0, 1.1, 0.9, 0.95, 1.05}));
  EXPECT_EQ(back.units[0].compile->translationUnits, 1);

  CompareSettings settings;
  settings.metric = Metric::compile;
  const std::vector<Results> files{r};
  const auto series = collectSeries(files, {"c.json"});
  const Comparison c = compare(series[0], series[1], settings);
  ASSERT_EQ(c.programs.size(), 1u);
  EXPECT_DOUBLE_EQ(c.programs[0].ratio, 2.0);
  EXPECT_EQ(c.programs[0].verdict, Change::slower);
  EXPECT_LT(c.programs[0].interval.low, c.programs[0].interval.high);

  // Refused, absent, malformed.
  Results refused = r;
  refused.units[0].compile = CompileSamples{};
  refused.units[0].compile->refused = "the link differs";
  refused.units[1].compile.reset();
  const Results read = resultsFromJson(toJson(refused));
  EXPECT_EQ(read.units[0].compile->refused, "the link differs");
  EXPECT_TRUE(metricValues(read.units[0], Metric::compile).empty());
  EXPECT_FALSE(read.units[1].compile.has_value());
  auto doc = toJson(r);
  doc["results"][0]["compile"]["link_wall_s"] = {0.1};
  EXPECT_THROW(resultsFromJson(doc), BadInput);
  doc = toJson(r);
  doc["results"][0]["compile"]["wall_s"][0] = -1;
  EXPECT_THROW(resultsFromJson(doc), BadInput);
}

} // namespace
} // namespace bench32
