// `bisect --passes`: clang's pass report read line by line, the search over a limit, the
// requests refused before anything is built, and the hint in a wrong run's failure line
// (all without a compiler); then real clang builds of real programs (PassBisectE2e): the
// pass run that moves quadloop's count, and a miscompile injected from a known pass run on.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "fake_runner.hpp"
#include "pipeline/pass_bisect.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

TEST(PassBisect, ReadsClangsPassReportLines) {
  struct Case {
    const char* line;
    bool parsed;
    int number;
    bool ran;
    const char* pass;
    const char* target;
  };
  const Case cases[] = {
      {"BISECT: running pass (5) SimplifyCFGPass on _Z1fi", true, 5, true, "SimplifyCFGPass",
       "_Z1fi"},
      {"BISECT: NOT running pass (6) SROAPass on _Z1fi", true, 6, false, "SROAPass", "_Z1fi"},
      {"BISECT: running pass (507) X86 LEA Fixup on function (main)", true, 507, true,
       "X86 LEA Fixup", "function (main)"},
      {"BISECT: running pass (12) GlobalOptPass on [module]\r", true, 12, true, "GlobalOptPass",
       "[module]"},
      {"BISECT: running pass (164) LICMPass on Loop at depth 1 containing: %3<header>", true, 164,
       true, "LICMPass", "Loop at depth 1 containing: %3<header>"},
      {"warning: unused variable 'x'", false, 0, false, "", ""},
      {"BISECT: running pass () SROAPass on f", false, 0, false, "", ""},
      {"BISECT: running pass (1x) SROAPass on f", false, 0, false, "", ""},
      {"BISECT: running pass (99999999999) SROAPass on f", false, 0, false, "", ""},
      {"BISECT: running pass (3) SROAPass", false, 0, false, "", ""},
      {"BISECT: running pass (3) SROAPass on ", false, 0, false, "", ""},
      {" BISECT: running pass (3) SROAPass on f", false, 0, false, "", ""},
  };
  for (const auto& c : cases) {
    const auto run = parsePassRun(c.line);
    ASSERT_EQ(run.has_value(), c.parsed) << c.line;
    if (!run) continue;
    EXPECT_EQ(run->number, c.number) << c.line;
    EXPECT_EQ(run->ran, c.ran) << c.line;
    EXPECT_EQ(run->pass, c.pass) << c.line;
    EXPECT_EQ(run->target, c.target) << c.line;
  }
}

TEST(PassBisect, AReportMustNumberItsRunsFromOneWithoutAGap) {
  struct Case {
    const char* what;
    std::string report;
    int runs; // -1: refused
  };
  const Case cases[] = {
      {"other lines between",
       "x.cpp:1:2: warning: w\nBISECT: running pass (1) A on [module]\n"
       "BISECT: NOT running pass (2) B on f\n",
       2},
      {"no report", "nothing\n", 0},
      {"a gap: cut short or mixed",
       "BISECT: running pass (1) A on f\nBISECT: running pass (3) B on f\n", -1},
      {"two compiles' reports",
       "BISECT: running pass (1) A on f\nBISECT: running pass (1) A on g\n", -1},
  };
  for (const auto& c : cases) {
    if (c.runs < 0) {
      EXPECT_THROW(passRuns(c.report), BadInput) << c.what;
      continue;
    }
    EXPECT_EQ(passRuns(c.report).size(), std::size_t(c.runs)) << c.what;
  }
}

TEST(PassBisect, NamesTheFunctionOfARunAndOfALoopFromItsNeighbours) {
  const std::vector<PassRun> runs = {
      {1, true, "GlobalOptPass", "[module]"},
      {2, true, "SROAPass", "_ZN12_GLOBAL__N_14mainEv"},
      {3, true, "LICMPass", "Loop at depth 1 containing: %3<header>"},
      {4, true, "InlinerPass", "(_Z1fi, main)"},
      {5, true, "Loop Strength Reduction", "loop"},
      {6, true, "CodeGen Prepare", "function (_Z1fi)"},
      {7, true, "LICMPass", "Loop at depth 1 containing: %9<header>"},
      {8, true, "Inliner", "SCC (_Z1gv)"},
      {9, true, "BB pass", "basic block (entry) in function (_Z1hv)"},
      {10, true, "Loop Strength Reduction", "loop"},
  };
  const std::map<std::size_t, std::string> expected = {
      {0, ""},                              // the module
      {1, "(anonymous namespace)::main()"}, // demangled
      {2, "(anonymous namespace)::main()"}, // a new pass manager loop: the run before
      {3, "f(int), main"},                  // a call graph component
      {4, "f(int)"},                        // a legacy loop: the run after
      {5, "f(int)"},
      {6, "f(int)"},
      {7, "g()"},
      {8, "h()"},
      {9, ""}, // no function after it
  };
  for (const auto& [index, name] : expected) EXPECT_EQ(runFunction(runs, index), name) << index;
  // A loop run right after the module's runs is in no function that can be told.
  EXPECT_EQ(runFunction({{1, true, "A", "[module]"}, {2, true, "B", "Loop at depth 1"}}, 1), "");
  EXPECT_EQ(runFunction(runs, 99), "");
}

TEST(PassBisect, SearchFindsAStepFromFalseToTrueTryingEachLimitOnce) {
  struct Case {
    const char* what;
    int low, high;
    std::function<bool(int)> reached;
    std::vector<int> steps; // any of these is a right answer
  };
  const Case cases[] = {
      {"a single step", 0, 507, [](int n) { return n >= 123; }, {123}},
      {"the step at the top", 0, 507, [](int n) { return n >= 507; }, {507}},
      {"the step at the bottom", 0, 507, [](int n) { return n >= 1; }, {1}},
      {"two limits only",
       0,
       1,
       [](int) -> bool { throw std::logic_error("no limit between"); },
       {1}},
      {"not monotonic: one of the steps",
       0,
       100,
       [](int n) { return (n >= 10 && n < 40) || n >= 70; },
       {10, 70}},
      {"from a raised low end", 40, 100, [](int n) { return n >= 41; }, {41}},
  };
  for (const auto& c : cases) {
    std::map<int, int> calls;
    const int found = firstReached(c.low, c.high, [&](int n) {
      EXPECT_GT(n, c.low) << c.what;
      EXPECT_LT(n, c.high) << c.what;
      ++calls[n];
      return c.reached(n);
    });
    EXPECT_NE(std::find(c.steps.begin(), c.steps.end(), found), c.steps.end())
        << c.what << ": " << found;
    for (const auto& [n, times] : calls) EXPECT_EQ(times, 1) << c.what << " at " << n;
    EXPECT_LE(calls.size(), 10U) << c.what; // log2 of the range
  }
}

// The requests refused in one line before anything is built.
TEST(PassBisect, RefusesWhatCannotBeBisectedBeforeBuilding) {
  struct Case {
    const char* what;
    PassBisectOptions options;
    const char* says;
  };
  auto options = [](std::string program, std::string config, std::string metric = "instructions") {
    PassBisectOptions o;
    o.program = std::move(program);
    o.config = std::move(config);
    o.metric = std::move(metric);
    o.buildRoot = "/nonexistent/bench32-never-built";
    return o;
  };
  PassBisectOptions badWorkload = options("quadloop", "c=clang++:-O2");
  badWorkload.workload = "smok";
  const Case cases[] = {
      {"g++", options("quadloop", "g=g++:-O2"), "GCC"},
      {"a metric with sampling error", options("quadloop", "c=clang++:-O2", "wall"), "not exact"},
      {"an exact metric that is not followed", options("quadloop", "c=clang++:-O2", "size.text"),
       "follows instructions"},
      {"no such metric", options("quadloop", "c=clang++:-O2", "instruction"), "instruction"},
      {"a program name with a typo", options("quadlop", "c=clang++:-O2"), "quadlop"},
      {"no such workload", badWorkload, "smok"},
      {"no such compiler", options("quadloop", "c=/nonexistent/clang++:-O2"), "does not run"},
      {"not a compiler of either kind", options("quadloop", "c=/bin/true:-O2"), "is not clang"},
  };
  for (const auto& c : cases) {
    try {
      bisectPasses(c.options, BENCH32_SOURCE_TREE, [](const std::string&) {});
      ADD_FAILURE() << c.what << ": not refused";
    } catch (const BadInput& refused) {
      const std::string line = refused.what();
      EXPECT_NE(line.find(c.says), std::string::npos) << c.what << ": " << line;
      EXPECT_EQ(line.find('\n'), std::string::npos) << c.what << ": " << line;
    }
  }
  EXPECT_FALSE(fs::exists("/nonexistent/bench32-never-built"));
}

// A wrong output's failure line names the command that finds the pass, only for a clang
// configuration of the harness's own, run here.
TEST(PassBisect, AWrongOutputsFailureLineSuggestsItOnlyForClangConfigurationsRunHere) {
  const std::string why = "expected exit status 0, got exit status 1";
  struct Case {
    const char* what;
    ConfigInfo config;
    std::vector<std::string> runUnder;
    std::string failure;
  };
  const ConfigInfo clang{"A", "clang++", "Debian clang version 14.0.6", "-O2", "/b/cfg-A", "", {}};
  ConfigInfo gcc = clang;
  gcc.compiler = "g++";
  gcc.compilerVersion = "g++ (Debian 12.2.0-14) 12.2.0";
  ConfigInfo folder = clang; // -b A=DIR
  folder.buildDir = "/b/release";
  ConfigInfo profiled = clang;
  profiled.pgo = ProfileGuided{};
  ConfigInfo blanks = clang;
  blanks.flags = "-O2 -march=native";
  const Case cases[] = {
      {"clang -c",
       clang,
       {},
       why + "; `bench32 bisect --passes -p p -c A=clang++:-O2 -w ref --wrong-output` finds the "
             "pass"},
      {"flags with blanks quoted",
       blanks,
       {},
       why + "; `bench32 bisect --passes -p p -c 'A=clang++:-O2 -march=native' -w ref "
             "--wrong-output` finds the pass"},
      {"g++", gcc, {}, why},
      {"a build folder of the user's", folder, {}, why},
      {"profile-guided", profiled, {}, why},
      {"run under a prefix", clang, {"qemu-arm"}, why},
  };
  for (const auto& c : cases) {
    fakes::Units units({"A"}, {"p"});
    units.results.configs = {c.config};
    fakes::FakeRunner fake;
    fake.fail = {{"A/p", 0}};
    RunSettings settings = fakes::fixedRuns(1);
    settings.runUnder = c.runUnder;
    fakes::measure(units, fake, settings);
    EXPECT_EQ(units["A/p"].failure, c.failure) << c.what;
  }
}

// --- Real clang builds of real programs -----------------------------------------------

bool haveCallgrind() {
  return std::system("valgrind --version >/dev/null 2>&1") == 0 &&
         std::system("command -v callgrind_annotate >/dev/null 2>&1") == 0;
}

struct Bisected {
  int status = -1;
  std::vector<std::string> notes;
  std::string out, err;
};

Bisected bisectNow(const PassBisectOptions& options) {
  Bisected b;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    b.status = bisectPasses(options, BENCH32_SOURCE_TREE,
                            [&](const std::string& line) { b.notes.push_back(line); });
  } catch (const BadInput& refused) {
    b.status = exitBadInput;
    b.err = refused.what();
  }
  b.out = testing::internal::GetCapturedStdout();
  b.err += testing::internal::GetCapturedStderr();
  return b;
}

// The limits tried, as noted: limit -> what it gave ("N instructions", "wrong output...").
std::map<int, std::string> limitsTried(const std::vector<std::string>& notes, int& total) {
  std::map<int, std::string> tried;
  for (const auto& line : notes) {
    int limit = 0, of = 0;
    char rest[256] = {};
    if (std::sscanf(line.c_str(), "limit %d of %d: %255[^\n]", &limit, &of, rest) == 3) {
      tried[limit] = rest;
      total = of;
    } else if (std::sscanf(line.c_str(), "no limit (%d pass runs): %255[^\n]", &of, rest) == 2) {
      tried[-1] = rest;
    }
  }
  return tried;
}

fs::path scratchRoot(const std::string& name) {
  const fs::path root = fs::path(testing::TempDir()) /
                        ("bench32-pass-bisect-" + name + "-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  return root;
}

// quadloop at -O2: the pass run found moves the count from limit N - 1's to the unlimited
// build's, and the explain table's totals are the two counts printed.
TEST(PassBisectE2e, NamesThePassRunThatMovesQuadloopsCount) {
  if (!haveCallgrind()) GTEST_SKIP() << "valgrind is not installed";
  const fs::path root = scratchRoot("quadloop");
  PassBisectOptions o;
  o.program = "quadloop";
  o.config = "clang=clang++:-O2";
  o.buildRoot = root.string();
  o.format = "json";
  o.jobs = 2;
  const Bisected b = bisectNow(o);
  ASSERT_EQ(b.status, 0) << b.err;
  int total = 0;
  const auto tried = limitsTried(b.notes, total);
  ASSERT_TRUE(tried.count(-1) && tried.count(0)) << b.err;
  EXPECT_LE(tried.size(), 14U); // both ends and a binary search

  const nlohmann::json out = nlohmann::json::parse(b.out);
  const auto& found = out["tables"][0];
  ASSERT_EQ(found["rows"].size(), 2U);
  const int n = found["rows"][1]["limit"];
  EXPECT_EQ(found["rows"][0]["limit"], n - 1);
  EXPECT_EQ(found["rows"][0]["pass_run"], "not run");
  const std::uint64_t before = found["rows"][0]["instructions"],
                      at = found["rows"][1]["instructions"];
  // As noted while searching: N - 1 short of the unlimited count, N on it.
  EXPECT_EQ(tried.at(-1), std::to_string(at) + " instructions");
  EXPECT_EQ(tried.at(n - 1), std::to_string(before) + " instructions");
  EXPECT_NE(before, at);
  ASSERT_FALSE(found["notes"].empty());
  const std::string runLine = found["notes"][0];
  EXPECT_EQ(
      runLine.rfind("pass run " + std::to_string(n) + " of " + std::to_string(total) + ": ", 0), 0U)
      << runLine;
  // The explain table between the two executables adds up to the same counts.
  const auto& totals = out["tables"][1];
  EXPECT_EQ(totals["title"],
            fmt::format("quadloop smoke: instructions, limit {} against limit {}", n, n - 1));
  EXPECT_EQ(totals["rows"][0]["a"], before);
  EXPECT_EQ(totals["rows"][0]["b"], at);
  std::int64_t sum = 0;
  for (const auto& row : out["tables"][2]["rows"]) sum += row["difference"].get<std::int64_t>();
  EXPECT_EQ(sum, std::int64_t(at) - std::int64_t(before));
  fs::remove_all(root);
}

// A compiler that miscompiles hailstone from pass run K on: the script runs clang++ and,
// when the limit it is given is K or more (or there is none), force-includes a header
// whose constructor writes a byte before main does. --wrong-output must name K; following
// instructions, the same build fails with one line that points to --wrong-output; and a
// build with no optional pass run that counts has nothing to bisect.
TEST(PassBisectE2e, FindsThePassRunFromWhichAnInjectedMiscompileShows) {
  if (!haveCallgrind()) GTEST_SKIP() << "valgrind is not installed";
  const fs::path root = scratchRoot("wrong");
  const int k = 200;
  const fs::path header = root / "extra_byte.h";
  std::ofstream(header) << "#include <unistd.h>\n"
                           "__attribute__((constructor)) static void extraByte() {\n"
                           "  if (write(1, \"!\", 1) != 1) _exit(99);\n"
                           "}\n";
  const fs::path wrapper = root / "miscompiling-clang++";
  std::ofstream(wrapper)
      << "#!/bin/sh\n"
         "inject=yes\n"
         "case \"$*\" in *benchmarks/hailstone/hailstone.cpp*) ;; *) inject=no ;; esac\n"
         "for word in \"$@\"; do\n"
         "  case \"$word\" in -opt-bisect-limit=*)\n"
         "    limit=${word#-opt-bisect-limit=}\n"
         "    if [ \"$limit\" -ge 0 ] && [ \"$limit\" -lt "
      << k
      << " ]; then inject=no; fi ;;\n"
         "  esac\n"
         "done\n"
         "if [ $inject = yes ]; then exec clang++ -include "
      << header.string() << " \"$@\"; fi\n"
      << "exec clang++ \"$@\"\n";
  fs::permissions(wrapper, fs::perms::owner_all);

  PassBisectOptions o;
  o.program = "hailstone";
  o.config = "bad=" + wrapper.string() + ":-O2";
  o.buildRoot = root.string();
  o.wrongOutput = true;
  o.jobs = 2;
  const Bisected wrong = bisectNow(o);
  ASSERT_EQ(wrong.status, 0) << wrong.err;
  int total = 0;
  const auto tried = limitsTried(wrong.notes, total);
  EXPECT_EQ(tried.at(k).rfind("wrong output", 0), 0U) << tried.at(k);
  EXPECT_EQ(tried.at(k - 1), "right output");
  EXPECT_EQ(tried.at(0), "right output");
  EXPECT_LE(tried.size(), 14U);
  EXPECT_NE(wrong.out.find(fmt::format("pass run {} of {} makes the output wrong", k, total)),
            std::string::npos)
      << wrong.out;
  EXPECT_NE(wrong.out.find(fmt::format("pass run {} of {}: ", k, total)), std::string::npos)
      << wrong.out;

  o.wrongOutput = false;
  const Bisected counted = bisectNow(o);
  EXPECT_EQ(counted.status, exitFailed);
  EXPECT_NE(counted.err.find("without a limit is wrong"), std::string::npos) << counted.err;
  EXPECT_NE(counted.err.find("--wrong-output"), std::string::npos) << counted.err;
  EXPECT_EQ(counted.err.find('\n'), counted.err.size() - 1) << counted.err;

  o.config = "plain=clang++:-O0";
  const Bisected flat = bisectNow(o);
  EXPECT_EQ(flat.status, exitBadInput);
  EXPECT_NE(flat.err.find("nothing to bisect"), std::string::npos) << flat.err;
  o.wrongOutput = true;
  const Bisected right = bisectNow(o);
  EXPECT_EQ(right.status, exitBadInput);
  EXPECT_NE(right.err.find("without a limit is right"), std::string::npos) << right.err;
  fs::remove_all(root);
}

} // namespace
} // namespace bench32
