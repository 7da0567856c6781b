// run/compile_timing: a program's compile timed by running its build's commands again,
// each round proved to give the built executable; through scripted tools, and once with
// the real g++. The samples as metrics of the results file.
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "analysis/compare.hpp"
#include "build/compile_commands.hpp"
#include "exec/errors.hpp"
#include "exec/process.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "run/collector.hpp"
#include "run/compile_timing.hpp"
#include "scripted_runner.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

// An answer that writes `bytes` to the command's -o file.
Answer writes(const std::string& bytes, Answer answer = {}) {
  return doing([bytes](const Words& argv,
                       const fs::path&) { Scratch::writeAt(wordAfter(argv, "-o"), bytes); },
               answer);
}

TEST(CompileTiming, ARoundSumsItsCompilesAndCountsOnlyTheBuiltExecutable) {
  struct Case {
    const char* what;
    std::vector<std::pair<Words, Answer>> rules; // over compiles and a link that work
    const char* error;                           // empty: the round counts
    bool cancelled;
    std::size_t commands; // run before the round ended
  };
  const Case cases[] = {
      {"every command as built", {}, "", false, 3},
      {"a compile fails",
       {{{"-c", "/src/b.cpp"}, fails(1, "b.cpp:2: error: no\n")}},
       "the compile of b.cpp failed: b.cpp:2: error: no",
       false,
       2},
      {"a compile writes nothing",
       {{{"-c", "/src/a.cpp"}, {}}},
       "the compile of a.cpp wrote no 0-a.o",
       false,
       1},
      {"the link writes nothing",
       {{{"cc", "-o", "*/prog"}, {}}},
       "the link wrote no prog",
       false,
       3},
      {"another executable",
       {{{"cc", "-o", "*/prog"}, writes("other")}},
       "the objects compiled link to an executable other than the built one",
       false,
       3},
      {"interrupted", {{{"-c", "/src/a.cpp"}, interrupted()}}, "", true, 1},
  };
  for (const auto& c : cases) {
    const Scratch s("compile-once");
    const std::string built = fileDigest(s.write("built", "exe"));
    // Objects of an earlier round: a compile that writes none must not pass for one.
    s.write("scratch/0-a.o", "stale");
    s.write("scratch/1-b.o", "stale");
    CompileJob job;
    for (const std::string unit : {"a", "b"}) {
      const fs::path object =
          s.root / "scratch" / (std::to_string(job.objects.size()) + "-" + unit + ".o");
      job.compiles.push_back(
          {{"cc", "-O2", "-o", object.string(), "-c", "/src/" + unit + ".cpp"}, s.root / unit});
      job.objects.push_back(object);
    }
    job.executable = s.root / "scratch" / "prog";
    job.link = {
        {"cc", job.objects[0].string(), job.objects[1].string(), "-o", job.executable.string()},
        s.root};
    ScriptedRunner tools;
    tools.on({"cc", "-o", "*/prog"}, writes("exe", takes(0.125)));
    tools.on({"-c", "/src/a.cpp"}, writes("a", takes(0.5, 0.25, 0.125, 3000)));
    tools.on({"-c", "/src/b.cpp"}, writes("b", takes(0.25, 0.125, 0.0625, 7000)));
    for (const auto& [words, answer] : c.rules) tools.on(words, answer);

    const CompileRound round = compileOnce(job, built, 42, nullptr, tools.runner());
    EXPECT_EQ(round.cancelled, c.cancelled) << c.what;
    EXPECT_EQ(tools.requests().size(), c.commands) << c.what;
    for (std::size_t i = 0; i < tools.requests().size(); ++i) {
      const RunRequest& r = tools.requests()[i];
      EXPECT_EQ(r.timeout, std::chrono::duration<double>(42)) << c.what;
      const fs::path cwd = i < 2 ? job.compiles[i].directory : job.link.directory;
      EXPECT_EQ(r.workingDirectory, cwd.string()) << c.what;
    }
    if (*c.error) {
      EXPECT_EQ(round.error.rfind(c.error, 0), 0u) << c.what << ": " << round.error;
      continue;
    }
    EXPECT_EQ(round.error, "") << c.what;
    if (c.cancelled) continue;
    EXPECT_DOUBLE_EQ(round.wall, 0.75);
    EXPECT_DOUBLE_EQ(round.cpu, 0.25 + 0.125 + 0.125 + 0.0625);
    EXPECT_DOUBLE_EQ(round.rssKiB, 7000);
    EXPECT_DOUBLE_EQ(round.link, 0.125);
  }
}

// Configurations gcc and clang, and icc whose folder exports no compile commands, each
// with program p built (two workloads) and q failed, and tools that rebuild each one's p.
struct TwoCompilers {
  Scratch s{"compile-rounds"};
  Results results;
  ScriptedRunner tools;
  std::vector<std::string> notes;
  int checkpoints = 0;

  TwoCompilers() {
    for (const std::string config : {"gcc", "clang", "icc"}) {
      const fs::path dir = s.root / config;
      ConfigInfo info;
      info.name = config;
      info.buildDir = dir.string();
      results.configs.push_back(info);
      s.write(config + "/build.ninja", "");
      if (config != "icc")
        s.write(
            config + "/compile_commands.json",
            nlohmann::json::array({{{"directory", dir.string()},
                                    {"command", "/fake/" + config + "/c++ -O2 -o obj/p.o -c p.cpp"},
                                    {"file", "p.cpp"}}})
                .dump());
      const fs::path binary = s.write(config + "/bin/p", "p built by " + config);
      for (const char* workload : {"ref", "smoke"}) {
        UnitResult u;
        u.config = config;
        u.program = "p";
        u.workload = workload;
        u.status = Status::ok;
        u.binary = binary.string();
        u.binaryXxh3 = fileDigest(binary);
        results.units.push_back(u);
      }
      UnitResult q;
      q.config = config;
      q.program = "q";
      q.workload = "ref";
      q.status = Status::failed;
      results.units.push_back(q);
      const std::string cxx = "/fake/" + config + "/c++";
      tools.on({"ninja", "-C", dir.string()}, prints(": && " + cxx + " obj/p.o -o bin/p && :\n"));
      tools.on({cxx}, writes("p built by " + config, takes(0.25)));
      tools.on({cxx, "-c"}, writes("object", takes(0.5, 0.375, 0.125, 5000)));
    }
  }

  bool measure(int rounds) {
    RunSettings settings;
    settings.compileRuns = rounds;
    const std::vector<PlannedUnit> none;
    MeasureHooks hooks;
    hooks.note = [&](const std::string& line) { notes.push_back(line); };
    hooks.checkpoint = [&] { ++checkpoints; };
    const Runner runner = tools.runner();
    return measureCompiles(Measuring{results, none, settings, runner, hooks});
  }
  // The configuration of each compile run, in order.
  std::vector<std::string> compiled() const {
    std::vector<std::string> configs;
    for (const auto& argv : tools.matching({"-c"}))
      configs.push_back(fs::path(argv[0]).parent_path().filename().string());
    return configs;
  }
  const UnitResult& unit(const std::string& config, const std::string& program,
                         const std::string& workload = "ref") const {
    for (const auto& u : results.units)
      if (u.config == config && u.program == program && u.workload == workload) return u;
    throw std::out_of_range(config + " " + program);
  }
};

TEST(CompileTiming, RoundsAlternateOrderAndAJobThatLinksAnotherExecutableKeepsNothing) {
  TwoCompilers t;
  int clangLinks = 0;
  // clang's second link gives another executable than its build did.
  t.tools.on({"/fake/clang/c++", "-o", "*/p"}, doing([&](const Words& argv, const fs::path&) {
               Scratch::writeAt(wordAfter(argv, "-o"),
                                ++clangLinks == 2 ? "something else" : "p built by clang");
             }));
  ASSERT_TRUE(t.measure(4));

  EXPECT_EQ(t.compiled(), (std::vector<std::string>{"gcc", "clang", "clang", "gcc", "gcc", "gcc"}));
  EXPECT_EQ(t.checkpoints, 4);
  for (const char* workload : {"ref", "smoke"}) {
    const UnitResult& gcc = t.unit("gcc", "p", workload);
    ASSERT_TRUE(gcc.compile) << workload;
    EXPECT_EQ(gcc.compile->refused, "");
    EXPECT_EQ(gcc.compile->translationUnits, 1);
    EXPECT_EQ(gcc.compile->wall, (std::vector<double>(4, 0.5)));
    EXPECT_EQ(gcc.compile->cpu, (std::vector<double>(4, 0.5)));
    EXPECT_EQ(gcc.compile->rssKiB, (std::vector<double>(4, 5000)));
    EXPECT_EQ(gcc.compile->link, (std::vector<double>(4, 0.25)));

    const UnitResult& clang = t.unit("clang", "p", workload);
    ASSERT_TRUE(clang.compile) << workload;
    EXPECT_NE(clang.compile->refused.find("other than the built one"), std::string::npos)
        << clang.compile->refused;
    EXPECT_TRUE(clang.compile->wall.empty()) << "a refused job keeps its first round";
    EXPECT_TRUE(clang.compile->link.empty());

    const UnitResult& icc = t.unit("icc", "p", workload);
    ASSERT_TRUE(icc.compile) << workload;
    EXPECT_NE(icc.compile->refused.find("CMAKE_EXPORT_COMPILE_COMMANDS"), std::string::npos);
  }
  for (const char* config : {"gcc", "clang", "icc"})
    EXPECT_FALSE(t.unit(config, "q").compile) << config; // q did not build
  EXPECT_EQ(t.tools.count({"/fake/icc/c++"}), 0u);
  std::vector<std::string> expectedNotes{"compile of icc p not measured: ",
                                         "compile of clang p not kept: "};
  ASSERT_EQ(t.notes.size(), expectedNotes.size());
  for (std::size_t i = 0; i < t.notes.size(); ++i)
    EXPECT_EQ(t.notes[i].rfind(expectedNotes[i], 0), 0u) << t.notes[i];
}

TEST(CompileTiming, NoRoundsAskedRunsNothingButSaysWhatCannotBeMeasured) {
  TwoCompilers t;
  ASSERT_TRUE(t.measure(0));
  EXPECT_TRUE(t.compiled().empty());
  EXPECT_EQ(t.checkpoints, 0);
  ASSERT_TRUE(t.unit("gcc", "p").compile);
  EXPECT_TRUE(t.unit("gcc", "p").compile->wall.empty());
  EXPECT_EQ(t.unit("gcc", "p").compile->translationUnits, 1);
}

TEST(CompileTiming, OnlyACompileThatGivesTheBuiltExecutableCounts) {
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

TEST(CompileTiming, SamplesAreMetricsThatRoundTripAndCompare) {
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
