// Per-function attribution of two builds' instructions: the arithmetic on fixed
// profiles, and real callgrind runs of a small program built at -O0 and -O2, whose
// figures must add up to callgrind's own totals and to what the instruction counter
// reports for the same binary.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "measure/counters.hpp"
#include "measure/explain.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

TEST(Explain, AttributesEveryFunctionAndNamesOneSideOnly) {
  struct Case {
    const char* what;
    FunctionProfile a, b;
    // name, difference, only in A, only in B; in the expected order
    std::vector<std::tuple<std::string, std::int64_t, bool, bool>> rows;
  };
  const Case cases[] = {
      {"a helper inlined away",
       {100, {{"main", 40}, {"helper", 60}}, {}},
       {50, {{"main", 50}}, {}},
       {{"helper", -60, true, false}, {"main", 10, false, false}}},
      {"a clone only in B, ties by name",
       {30, {{"f", 10}, {"g", 20}}, {}},
       {40, {{"f", 20}, {"g", 10}, {"f.constprop.0", 10}}, {}},
       {{"f", 10, false, false}, {"f.constprop.0", 10, false, true}, {"g", -10, false, false}}},
      {"no difference at all",
       {7, {{"main", 7}}, {}},
       {7, {{"main", 7}}, {}},
       {{"main", 0, false, false}}},
  };
  for (const auto& c : cases) {
    const Explanation e = explainDifference(c.a, c.b);
    ASSERT_EQ(e.functions.size(), c.rows.size()) << c.what;
    std::int64_t sum = 0;
    double shares = 0;
    for (std::size_t i = 0; i < c.rows.size(); ++i) {
      const auto& [name, difference, onlyA, onlyB] = c.rows[i];
      EXPECT_EQ(e.functions[i].name, name) << c.what;
      EXPECT_EQ(e.functions[i].difference, difference) << c.what;
      EXPECT_EQ(e.functions[i].onlyInA, onlyA) << c.what;
      EXPECT_EQ(e.functions[i].onlyInB, onlyB) << c.what;
      sum += e.functions[i].difference;
      shares += e.functions[i].share;
    }
    EXPECT_EQ(sum, e.difference) << c.what;
    if (e.difference != 0) {
      EXPECT_NEAR(shares, 1.0, 1e-12) << c.what;
    }
  }
}

TEST(Explain, RefusesAnnotatedOutputThatDoesNotAddUp) {
  const std::string head = "Ir\n--\n1,000 (100.0%)  PROGRAM TOTALS\n\nIr  file:function\n";
  const FunctionProfile whole =
      parseAnnotated(head + "  600 (60.00%)  a.cpp:ns::f(int) [/x/p]\n  300 (30.00%)  ???:g\n"
                            "  100 (10.00%)  h.hpp:ns::f(int)'2\n");
  EXPECT_EQ(whole.error, "");
  EXPECT_EQ(whole.self.at("ns::f(int)"), 700U);
  EXPECT_EQ(whole.self.at("g"), 300U);
  EXPECT_NE(parseAnnotated(head + "  600 (60.00%)  a.cpp:f\n").error, "");
  EXPECT_NE(parseAnnotated("  600 (60.00%)  a.cpp:f\n").error, "");
}

bool haveValgrind() {
  return std::system("valgrind --version >/dev/null 2>&1") == 0 &&
         std::system("command -v callgrind_annotate >/dev/null 2>&1") == 0;
}

// A small program with a helper that g++ inlines at -O2 and calls at -O0.
const char* const program = R"(#include <cstdio>
static long step(long x) { return x % 2 ? 3 * x + 1 : x / 2; }
int main() {
  long n = 0, longest = 0;
  if (std::scanf("%ld", &n) != 1) return 1;
  for (long i = 1; i <= n; ++i) {
    long x = i, s = 0;
    while (x != 1) { x = step(x); ++s; }
    if (s > longest) longest = s;
  }
  std::printf("%ld\n", longest);
}
)";

TEST(Explain, RealRunsAddUpToCallgrindsTotalsAndTheCounters) {
  if (!haveValgrind()) GTEST_SKIP() << "valgrind is not installed";
  const fs::path dir =
      fs::temp_directory_path() / ("bench32-explain-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "p.cpp") << program;
  auto expected = std::make_shared<Expectation>();
  expected->name = "smoke";
  expected->input = "3000\n";
  expected->stdoutBytes = "216\n";
  expected->stdoutDigest = digest(*expected->stdoutBytes);
  expected->stdoutSize = expected->stdoutBytes->size();
  RunSettings settings;
  std::vector<FunctionProfile> profiles;
  for (const char* flags : {"-O0", "-O2"}) {
    const fs::path exe = dir / (std::string("p") + flags);
    const std::string build =
        "g++ " + std::string(flags) + " -o " + exe.string() + " " + (dir / "p.cpp").string();
    ASSERT_EQ(std::system(build.c_str()), 0) << build;
    PlannedUnit unit;
    unit.expected = expected;
    unit.executables = {exe};
    const FunctionProfile profile = profileFunctions(runProcess, unit, settings);
    ASSERT_EQ(profile.error, "") << flags;
    const std::uint64_t sum =
        std::accumulate(profile.self.begin(), profile.self.end(), std::uint64_t{0},
                        [](std::uint64_t s, const auto& f) { return s + f.second; });
    EXPECT_EQ(sum, profile.total) << flags;
    const InstructionCount counted = countInstructions(runProcess, "callgrind", unit, settings);
    ASSERT_EQ(counted.error, "") << flags;
    EXPECT_EQ(counted.count, profile.total) << flags;
    profiles.push_back(profile);
  }
  const Explanation e = explainDifference(profiles[0], profiles[1]);
  std::int64_t sum = 0;
  for (const auto& f : e.functions) sum += f.difference;
  EXPECT_EQ(sum, e.difference);
  EXPECT_LT(e.difference, 0);
  const auto step = std::find_if(e.functions.begin(), e.functions.end(),
                                 [](const auto& f) { return f.name.starts_with("step("); });
  ASSERT_NE(step, e.functions.end());
  EXPECT_TRUE(step->onlyInA);
  fs::remove_all(dir);
}

// The command on real programs' smoke workloads at -O0 and -O2: the printed
// differences add up to the printed total difference.
TEST(Explain, CommandOnRealProgramsAddsUp) {
  if (!haveValgrind()) GTEST_SKIP() << "valgrind is not installed";
  const fs::path root =
      fs::temp_directory_path() / ("bench32-explain-builds-" + std::to_string(::getpid()));
  for (const char* program : {"Fibonacci", "quadloop"}) {
    RunRequest request;
    request.argv = {BENCH32_HARNESS,
                    "--source",
                    BENCH32_SOURCE_TREE,
                    "explain",
                    "-p",
                    program,
                    "-c",
                    "O0=g++:-O0",
                    "-c",
                    "O2=g++:-O2",
                    "--build-root",
                    root.string(),
                    "-j",
                    "2"};
    request.timeout = std::chrono::seconds(600);
    const RunResult run = runProcess(request);
    ASSERT_EQ(run.exitStatus, 0) << program << ": " << run.stderrBytes;
    std::istringstream lines(run.stdoutFile->readAll());
    std::string line;
    std::getline(lines, line);
    const std::size_t at = line.rfind("difference ");
    ASSERT_NE(at, std::string::npos) << line;
    const long long total = std::stoll(line.substr(at + 11));
    long long sum = 0;
    int rows = 0;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string a, b, difference;
      if (!(words >> a >> b >> difference) || difference == "difference") continue;
      sum += std::stoll(difference);
      ++rows;
    }
    EXPECT_GT(rows, 1) << program;
    EXPECT_EQ(sum, total) << program;
  }
  fs::remove_all(root);
}

} // namespace
} // namespace bench32
