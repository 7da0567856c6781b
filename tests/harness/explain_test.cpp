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
#include <nlohmann/json.hpp>

#include "build/build.hpp"
#include "explain/document.hpp"
#include "explain/lines.hpp"
#include "explain/profile.hpp"
#include "model/elf.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "output/export/exporter.hpp"
#include "run/counters.hpp"

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
       {100, {{"main", 40}, {"helper", 60}}, {}, {}},
       {50, {{"main", 50}}, {}, {}},
       {{"helper", -60, true, false}, {"main", 10, false, false}}},
      {"a clone only in B, ties by name",
       {30, {{"f", 10}, {"g", 20}}, {}, {}},
       {40, {{"f", 20}, {"g", 10}, {"f.constprop.0", 10}}, {}, {}},
       {{"f", 10, false, false}, {"f.constprop.0", 10, false, true}, {"g", -10, false, false}}},
      {"no difference at all",
       {7, {{"main", 7}}, {}, {}},
       {7, {{"main", 7}}, {}, {}},
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

TEST(Explain, ReadsCallgrindInstructionRecords) {
  const std::string file = "positions: instr line\nevents: Ir\nsummary: 30\n"
                           "ob=(1) /x/p\nfl=(1) ???\nfn=(1) f(int)\n"
                           "0x1000 3 5\n+4 * 2\n"                     // 0x1000 and 0x1004
                           "cfn=(2) g'2\ncalls=1 0x2000 0\n* * 100\n" // a call's cost: not f's own
                           "-2 +1 3\n"                                // 0x1002
                           "fn=(2)\n0x2000 0 10\nfn=(1)\n0x1004 0 10\ntotals: 30\n";
  const InstructionCounts counts = parseCallgrindInstructions(file);
  EXPECT_EQ(counts.error, "");
  EXPECT_EQ(counts.total, 30U);
  const std::map<std::uint64_t, std::uint64_t> f{{0x1000, 5}, {0x1002, 3}, {0x1004, 12}};
  EXPECT_EQ(counts.functions.at("f(int)"), f);
  EXPECT_EQ(counts.functions.at("g").at(0x2000), 10U);
  EXPECT_NE(parseCallgrindInstructions(file + "0x1 0 1\n").error, "");
}

TEST(Explain, NamesCostAsProfiled) {
  const std::pair<const char*, std::string> cases[] = {{"f(int)'2", "f(int)"},
                                                       {"f'x", "f'x"},
                                                       {"0x00000000000012a0", unnamedCode},
                                                       {"0x10a73c", unnamedCode},
                                                       {"0xcafe_main", "0xcafe_main"},
                                                       {"ns::g()", "ns::g()"}};
  for (const auto& [callgrind, kept] : cases) EXPECT_EQ(profiledFunction(callgrind), kept);
}

// The tables say which side a function ran on only, and whether the other side has its
// code at all; every format carries the same figures.
TEST(Explain, DocumentNamesOneSideOnlyInEveryFormat) {
  Explanation e = explainDifference({100, {{"main", 40}, {"f<int>", 50}, {"g", 10}}, {}, {}},
                                    {50, {{"main", 50}}, {}, {}});
  addSizes(e, {{"main", 10}, {"f<int>", 20}, {"g", 30}}, {{"main", 12}, {"g", 30}});
  const Document d = explanationDocument(e, {"p", "smoke", "x", "y"});
  const std::string text = textExporter().render(d);
  EXPECT_NE(text.find("only in x: inlined or not emitted in y"), std::string::npos) << text;
  EXPECT_NE(text.find("only run in x: y has its code but never ran it"), std::string::npos) << text;
  const auto json = nlohmann::json::parse(jsonExporter().render(d));
  std::int64_t sum = 0;
  std::map<std::string, std::string> onlyIn;
  for (const auto& row : json["tables"][1]["rows"]) {
    sum += row["difference"].get<std::int64_t>();
    onlyIn[row["function"]] = row["only_in"].is_null() ? "" : row["only_in"].get<std::string>();
  }
  EXPECT_EQ(sum, json["tables"][0]["rows"][0]["difference"].get<std::int64_t>());
  EXPECT_EQ(onlyIn,
            (std::map<std::string, std::string>{{"f<int>", "x"}, {"g", "x"}, {"main", ""}}));
  EXPECT_EQ(json["tables"][2]["rows"][0]["function"], "f<int>"); // the largest size change
  const std::string html = explanationHtmlSection(e, {"p", "smoke", "x", "y"});
  EXPECT_TRUE(html.starts_with("<section")) << html;
  EXPECT_NE(html.find("f&lt;int&gt;"), std::string::npos) << html;
  EXPECT_NE(markdownExporter().render(d).find("| f<int>"), std::string::npos);
}

TEST(Explain, AsmSideBySideOnlyWhenWide) {
  const AsmListing a{"gcc", "f", {{0x10, 90, "add", true}, {0x14, 10, "ret", false}}};
  const AsmListing b{"clang", "f", {}};
  const std::string wide = asmText(a, b, 200), narrow = asmText(a, b, 120);
  EXPECT_NE(wide.find("| clang: f: no code"), std::string::npos) << wide;
  EXPECT_EQ(narrow.find('|'), std::string::npos) << narrow;
  EXPECT_NE(narrow.find("gcc: f, 100 instructions executed"), std::string::npos) << narrow;
  EXPECT_NE(narrow.find("90 >     10  add"), std::string::npos) << narrow;
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

// Each function's instructions add up to its self cost, and the program's own land on
// instructions of its disassembly (file addresses, though the binary is PIE).
void checkPerInstruction(const fs::path& exe, const FunctionProfile& profile,
                         const std::string& flags) {
  for (const auto& [name, self] : profile.self) {
    std::uint64_t perInstruction = 0;
    for (const auto& [address, count] : profile.instructions.functions.at(name))
      perInstruction += count;
    EXPECT_EQ(perInstruction, self) << flags << " " << name;
  }
  const auto symbols = functionSymbols(exe);
  ASSERT_TRUE(symbols.has_value()) << flags;
  for (const auto& symbol : *symbols) {
    if (symbol.name != "main" && !symbol.name.starts_with("step(")) continue;
    const auto listing =
        annotatedDisassembly(exe, symbol.symbol, profile.instructions.functions.at(symbol.name));
    ASSERT_FALSE(listing.empty()) << flags << " " << symbol.name;
    std::uint64_t listed = 0;
    for (const auto& line : listing) listed += line.count;
    EXPECT_EQ(listed, profile.self.at(symbol.name)) << flags << " " << symbol.name;
    EXPECT_TRUE(
        std::any_of(listing.begin(), listing.end(), [](const AsmLine& l) { return l.hot; }));
  }
}

// Line attribution from a -g build of the same code: step's cost is on line 2.
void checkLineAttribution(const fs::path& dir, const FunctionProfile& o0) {
  const fs::path withLines = dir / "p0-g";
  const std::string build = "g++ -O0 -g -o " + withLines.string() + " " + (dir / "p.cpp").string();
  ASSERT_EQ(std::system(build.c_str()), 0) << build;
  EXPECT_TRUE(sameCode(dir / "p0", withLines));
  EXPECT_FALSE(sameCode(dir / "p0", dir / "p1"));
  const auto step0 =
      std::find_if(o0.instructions.functions.begin(), o0.instructions.functions.end(),
                   [](const auto& f) { return f.first.starts_with("step("); });
  ASSERT_NE(step0, o0.instructions.functions.end());
  const auto lines = hottestLines(withLines, step0->second);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines[0].location.ends_with("p.cpp:2")) << lines[0].location;
  EXPECT_TRUE(lines[0].text.starts_with("static long step")) << lines[0].text;
  std::uint64_t onLines = 0;
  for (const auto& line : lines) onLines += line.count;
  EXPECT_EQ(onLines, o0.self.at(step0->first));
}

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
  for (const std::string flags : {"-O0", "-O2", "-O2 -fno-inline"}) {
    const fs::path exe = dir / ("p" + std::to_string(profiles.size()));
    const std::string build =
        "g++ " + flags + " -o " + exe.string() + " " + (dir / "p.cpp").string();
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
    checkPerInstruction(exe, profile, flags);
    profiles.push_back(profile);
  }
  checkLineAttribution(dir, profiles[0]);
  // -O0 against -O2, and -O2 against -O2 -fno-inline: step is a function of its own
  // only where it was not inlined, and the cost moves into it there.
  for (const auto& [a, b, onlyInA] : {std::tuple{0, 1, true}, std::tuple{1, 2, false}}) {
    const Explanation e = explainDifference(profiles[a], profiles[b]);
    std::int64_t sum = 0;
    for (const auto& f : e.functions) sum += f.difference;
    EXPECT_EQ(sum, e.difference);
    const auto step = std::find_if(e.functions.begin(), e.functions.end(),
                                   [](const auto& f) { return f.name.starts_with("step("); });
    ASSERT_NE(step, e.functions.end());
    EXPECT_EQ(step->onlyInA, onlyInA);
    EXPECT_EQ(step->onlyInB, !onlyInA);
    EXPECT_GT(onlyInA ? step->a : step->b, profiles[b].total / 4);
    const Document d = explanationDocument(e, {"p", "smoke", "x", "y"});
    EXPECT_NE(textExporter().render(d).find(onlyInA ? "only in x: inlined or not emitted in y"
                                                    : "only in y: inlined or not emitted in x"),
              std::string::npos);
  }
  fs::remove_all(dir);
}

// Every function's size in a small program's symbol table, against nm -S -C.
TEST(Explain, FunctionSizesMatchNm) {
  if (std::system("nm --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "nm is not installed";
  const fs::path dir = fs::temp_directory_path() / ("bench32-sizes-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "p.cpp") << program;
  const fs::path exe = dir / "p";
  const std::string build = "g++ -O0 -o " + exe.string() + " " + (dir / "p.cpp").string() +
                            " && nm -S -C --defined-only " + exe.string() + " >" +
                            (dir / "nm.txt").string();
  ASSERT_EQ(std::system(build.c_str()), 0) << build;
  FunctionSizes nm;
  std::ifstream listed(dir / "nm.txt");
  for (std::string line; std::getline(listed, line);) {
    std::istringstream words(line);
    std::string address, size, type, name;
    if (!(words >> address >> size >> type) || std::string("tTwW").find(type) == std::string::npos)
      continue;
    std::getline(words >> std::ws, name);
    nm[name] += std::stoull(size, nullptr, 16);
  }
  const auto sizes = functionSizes(exe);
  ASSERT_TRUE(sizes.has_value());
  EXPECT_EQ(*sizes, nm);
  EXPECT_TRUE(sizes->contains("step(long)"));
  EXPECT_TRUE(sizes->contains("main"));
  EXPECT_FALSE(functionSizes(dir / "p.cpp").has_value());
  fs::remove_all(dir);
}

TEST(Explain, SizeChangesListLargestFirstWithOneSideOnly) {
  Explanation e = explainDifference({10, {{"f", 4}, {"g", 6}}, {}, {}}, {10, {{"f", 10}}, {}, {}});
  addSizes(e, {{"f", 40}, {"g", 12}, {"h", 100}}, {{"f", 60}, {"h", 100}, {"k", 8}}, 2);
  ASSERT_EQ(e.sizeChanges.size(), 2U);
  EXPECT_EQ(e.sizeChanges[0].name, "f");
  EXPECT_EQ(e.sizeChanges[0].difference, 20);
  EXPECT_EQ(e.sizeChanges[1].name, "g");
  EXPECT_EQ(e.sizeChanges[1].b, 0U);
  ASSERT_EQ(e.functions[0].name, "f");
  EXPECT_EQ(e.functions[0].sizeA, 40U);
  EXPECT_EQ(e.functions[0].sizeB, 60U);
  EXPECT_EQ(e.functions[1].sizeB, 0U);
}

// Runs `bench32 explain` with these arguments, its JSON output parsed.
nlohmann::json explainJson(const std::vector<std::string>& arguments) {
  RunRequest request;
  request.argv = {BENCH32_HARNESS, "--source", BENCH32_SOURCE_TREE, "explain", "--format", "json"};
  request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
  request.timeout = std::chrono::seconds(600);
  const RunResult run = runProcess(request);
  EXPECT_EQ(run.exitStatus, 0) << run.stderrBytes;
  if (run.exitStatus != 0 || !run.stdoutFile) return nullptr;
  return nlohmann::json::parse(run.stdoutFile->readAll());
}

// A results file as a side: its configuration's binary is used while its build folder
// exists and still holds the binary that was measured; otherwise it is refused.
void explainsFromResultsFiles(const fs::path& root) {
  struct Case {
    const char* what;
    std::string buildDir, digest;
    int status;
    const char* says; // in the output
  };
  ConfigInfo o2{"O2", "g++", "", "-O2", (root / "cfg-O2").string(), "", std::nullopt};
  const fs::path binary = programExecutable(o2, "Fibonacci");
  const Case cases[] = {
      {"as measured", o2.buildDir, fileDigest(binary), 0, "instructions, O0 against O2"},
      {"build folder gone", (root / "gone").string(), fileDigest(binary), 2, "no longer exists"},
      {"binary rebuilt since", o2.buildDir, "0123", 2, "no longer the binary that was measured"},
  };
  for (const auto& c : cases) {
    Results results;
    o2.buildDir = c.buildDir;
    results.configs = {o2};
    UnitResult unit;
    unit.config = "O2";
    unit.program = "Fibonacci";
    unit.workload = "smoke";
    unit.binary = binary.string();
    unit.binaryXxh3 = c.digest;
    results.units = {unit};
    const fs::path file = root / "r.json";
    saveResults(file, results);
    RunRequest request;
    request.argv = {BENCH32_HARNESS, "--source", BENCH32_SOURCE_TREE,
                    "explain",       "-p",       "Fibonacci",
                    file.string(),   "-b",       "O0=" + (root / "cfg-O0").string()};
    request.timeout = std::chrono::seconds(600);
    const RunResult run = runProcess(request);
    EXPECT_EQ(run.exitStatus, c.status) << c.what << ": " << run.stderrBytes;
    const std::string said = run.stdoutFile->readAll() + run.stderrBytes;
    EXPECT_NE(said.find(c.says), std::string::npos) << c.what << ": " << said;
  }
}

void checkOneSideOnly(const nlohmann::json& rows, const std::vector<std::string>& functions,
                      const std::string& side) {
  for (const auto& function : functions) {
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const nlohmann::json& r) {
      return r["function"].get<std::string>().starts_with(function);
    });
    ASSERT_NE(row, rows.end()) << function;
    EXPECT_EQ((*row)["only_in"], side) << function;
    EXPECT_EQ((*row)["a"], 0) << function;
  }
}

// The counts of each listing of --asm add up to the function's self cost on that side.
void checkAsmCounts(const nlohmann::json& out, const std::string& a, const std::string& b) {
  std::map<std::pair<std::string, std::string>, std::int64_t> listed;
  for (const auto& table : out["tables"])
    for (const auto& row : table["rows"])
      if (row.contains("instruction"))
        listed[{row["side"], row["function"]}] += row["count"].get<std::int64_t>();
  ASSERT_FALSE(listed.empty());
  for (const auto& row : out["tables"][1]["rows"]) {
    const std::string function = row["function"];
    for (const auto& [side, key] : {std::pair{a, "a"}, std::pair{b, "b"}})
      if (const auto found = listed.find({side, function}); found != listed.end()) {
        EXPECT_EQ(found->second, row[key].get<std::int64_t>()) << side << " " << function;
      }
  }
}

// The command on real programs' smoke workloads: the function rows' differences add up
// to the total difference, and the sides keep the command line's order even when -b
// comes before or after -c.
TEST(Explain, CommandOnRealProgramsAddsUp) {
  if (!haveValgrind()) GTEST_SKIP() << "valgrind is not installed";
  const fs::path root =
      fs::temp_directory_path() / ("bench32-explain-builds-" + std::to_string(::getpid()));
  const std::string o0 = "O0=" + (root / "cfg-O0").string();
  struct Case {
    std::vector<std::string> arguments;
    const char* title;                // of the totals table
    int sign;                         // of B - A
    std::string a, b;                 // the sides' names
    std::vector<std::string> onlyInB; // functions (the start of their names)
  };
  const Case cases[] = {
      {{"-p", "Fibonacci", "-c", "O0=g++:-O0", "-c", "O2=g++:-O2"},
       "Fibonacci smoke: instructions, O2 against O0",
       -1,
       "O0",
       "O2",
       {}},
      {{"-p", "quadloop", "-c", "O2=g++:-O2", "-b", o0, "--asm", "2"},
       "quadloop smoke: instructions, O0 against O2",
       1,
       "O2",
       "O0",
       {}},
      // Not inlining moves the cost into the helpers, named as on B's side only.
      {{"-p", "hailstone", "-c", "inl=g++:-O2", "-c", "noinl=g++:-O2 -fno-inline", "--asm", "1"},
       "hailstone smoke: instructions, noinl against inl",
       1,
       "inl",
       "noinl",
       {"(anonymous namespace)::hailstone(int)", "(anonymous namespace)::mod(int, int)"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    for (const char* more : {"--build-root", "", "-j", "2"}) arguments.push_back(more);
    arguments[arguments.size() - 3] = root.string();
    const nlohmann::json out = explainJson(arguments);
    ASSERT_TRUE(out.is_object()) << c.title;
    const auto& totals = out["tables"][0];
    EXPECT_EQ(totals["title"], c.title);
    const std::int64_t a = totals["rows"][0]["a"], b = totals["rows"][0]["b"],
                       difference = totals["rows"][0]["difference"];
    EXPECT_EQ(difference, b - a) << c.title;
    EXPECT_EQ(difference > 0 ? 1 : -1, c.sign) << c.title;
    std::int64_t sum = 0;
    for (const auto& row : out["tables"][1]["rows"]) {
      sum += row["difference"].get<std::int64_t>();
      EXPECT_EQ(row["b"].get<std::int64_t>() - row["a"].get<std::int64_t>(), row["difference"]);
    }
    EXPECT_GT(out["tables"][1]["rows"].size(), 1U) << c.title;
    EXPECT_EQ(sum, difference) << c.title;
    checkOneSideOnly(out["tables"][1]["rows"], c.onlyInB, c.b);
    if (std::find(arguments.begin(), arguments.end(), "--asm") != arguments.end())
      checkAsmCounts(out, c.a, c.b);
  }
  explainsFromResultsFiles(root);
  fs::remove_all(root);
}

} // namespace
} // namespace bench32
