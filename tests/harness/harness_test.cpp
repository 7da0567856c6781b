// The harness end to end, on a suite of stand-in programs that answer right, answer
// wrong, crash, hang, and end with a non-zero status on purpose.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/commands.hpp"
#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "exec/spawner.hpp"
#include "model/results.hpp"
#include "model/results_file.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

struct FakeSuite {
  fs::path root;
  // One folder per test process: ctest runs the tests of this file in parallel.
  explicit FakeSuite(const std::string& name)
      : root(fs::path(testing::TempDir()) / (name + "-" + std::to_string(getpid()))) {
    fs::remove_all(root);
    fs::create_directories(root / "build" / "bin");
  }
  void add(const std::string& program, const json& workloads) const {
    fs::create_directories(root / "benchmarks" / program);
    std::ofstream(root / "benchmarks" / program / "workloads.json")
        << json{{"workloads", workloads}};
    fs::create_symlink(BENCH32_FAKE_PROGRAM, root / "build" / "bin" / program);
  }
  fs::path file(const std::string& name) const { return root / name; }
};

json entry(const std::string& input, const std::string& out, int status = 0) {
  return {{"input", input}, {"stdout", out}, {"status", status}};
}

RunResult harness(const FakeSuite& suite, std::vector<std::string> args,
                  const std::atomic<bool>* cancel = nullptr) {
  RunRequest request;
  request.argv = {BENCH32_HARNESS, "--source", suite.root.string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.timeout = 60s;
  request.cancel = cancel;
  return runProcess(request);
}

std::vector<std::string> noBuild(const FakeSuite& suite) {
  return {"run", "--build", "fake=" + (suite.root / "build").string(), "--no-build"};
}

const FakeSuite& mixedSuite() {
  static const FakeSuite suite = [] {
    FakeSuite s("harness-mixed");
    s.add("good", {{"smoke", entry("echo 1 2", "1 2 \n")}, {"ref", entry("echo 5", "5 \n")}});
    s.add("wrong", {{"ref", entry("echo 1 2", "1 3 \n")}});
    s.add("crash", {{"ref", entry("crash", "")}});
    s.add("hang", {{"ref", entry("hang " + s.file("hang-started").string(), "")}});
    s.add("status", {{"ref", entry("status 255", "", 255)}});
    return s;
  }();
  return suite;
}

// Presses Ctrl-C on the harness once the program that hangs has started (it leaves a
// file to say so), or after 30 s.
std::thread interruptOnceHanging(const FakeSuite& suite) {
  const fs::path started = suite.file("hang-started");
  fs::remove(started);
  return std::thread([started] {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!fs::exists(started) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    for (const int group : runningProcessGroups()) kill(group, SIGINT);
  });
}

UnitResult unitOf(const Results& r, const std::string& program) {
  for (const auto& u : r.units)
    if (u.program == program) return u;
  ADD_FAILURE() << "no result for " << program;
  return {};
}

TEST(Harness, EveryRunIsVerifiedAndFailuresAreReported) {
  const FakeSuite& suite = mixedSuite();
  auto args = noBuild(suite);
  const std::string out = suite.file("run.json").string();
  args.insert(args.end(),
              {"--runs", "3", "--warmup", "1", "--timeout", "0.5", "--json", out, "--csv",
               suite.file("run.csv").string(), "--markdown", suite.file("run.md").string()});
  const RunResult run = harness(suite, args);
  EXPECT_EQ(run.exitStatus, 1) << run.stderrBytes;
  EXPECT_NE(run.stdoutText().find("FAILED fake wrong/ref: stdout differs at line 1 (byte 3): "
                                  "expected \"1 3 \\x0a\", got \"1 2 \\x0a\""),
            std::string::npos)
      << run.stdoutText();

  const Results results = loadResults(out);
  EXPECT_TRUE(results.complete);
  struct Expect {
    const char* program;
    const char* status;
    std::size_t samples;
    const char* failure;
  };
  const Expect expected[] = {
      {"good", "ok", 3, ""},
      {"status", "ok", 3, ""},
      {"wrong", "failed", 0, "stdout differs at line 1"},
      {"crash", "failed", 0, "expected exit status 0, got SIGSEGV"},
      {"hang", "failed", 0, "timed out after 0.5 s"},
  };
  for (const auto& e : expected) {
    const UnitResult u = unitOf(results, e.program);
    EXPECT_EQ(statusName(u.status), e.status) << e.program;
    EXPECT_EQ(u.samples.size(), e.samples) << e.program;
    EXPECT_NE(u.failure.find(e.failure), std::string::npos) << e.program << ": " << u.failure;
    EXPECT_NE(run.stdoutText().find(e.program), std::string::npos) << "missing from the table";
  }
  EXPECT_EQ(unitOf(results, "good").warmup.size(), 1u);
  // Each executable's allocated sections are recorded with it, .text among them.
  const UnitResult good = unitOf(results, "good");
  ASSERT_TRUE(good.sections);
  EXPECT_EQ(good.sections->at(".text"), good.textBytes.value());
  EXPECT_GT(good.sections->at(".bss"), 0u);
  // good and status: a warm-up and three timed runs each; the failed runs are not kept.
  EXPECT_NE(run.stderrBytes.find("8 runs verified; 3 of 5 measurements failed; results in "),
            std::string::npos)
      << run.stderrBytes;
  EXPECT_EQ(results.configs.at(0).name, "fake");
  EXPECT_EQ(results.settings.at("runs"), 3);

  std::ifstream csv(suite.file("run.csv"));
  std::string header;
  std::getline(csv, header);
  EXPECT_EQ(header.rfind("config,program,workload,status,runs", 0), 0u);
  std::ifstream md(suite.file("run.md"));
  std::string firstLine;
  std::getline(md, firstLine);
  EXPECT_EQ(firstLine.rfind("| program |", 0), 0u);

  // The file compares with itself, and a CI gate passes on it.
  const RunResult same = harness(suite, {"compare", out, out, "--fail-above", "5"});
  EXPECT_EQ(same.exitStatus, 0) << same.stderrBytes;
  EXPECT_NE(same.stdoutText().find("0 significantly different"), std::string::npos)
      << same.stdoutText();
  const RunResult report =
      harness(suite, {"report", out, "-o", suite.file("report.html").string()});
  EXPECT_EQ(report.exitStatus, 0) << report.stderrBytes;
  EXPECT_TRUE(fs::file_size(suite.file("report.html")) > 1000);
}

TEST(Harness, CountsInstructionsOfVerifiedRuns) {
  const FakeSuite& suite = mixedSuite();
  auto args = noBuild(suite);
  const std::string out = suite.file("counted.json").string();
  args.insert(args.end(), {"-p", "good", "--runs", "1", "--instructions", "--json", out});
  const RunResult run = harness(suite, args);
  ASSERT_EQ(run.exitStatus, 0) << run.stderrBytes;
  const UnitResult good = unitOf(loadResults(out), "good");
  ASSERT_TRUE(good.instructions.has_value()) << run.stderrBytes;
  EXPECT_GT(*good.instructions, 1000u);
  EXPECT_TRUE(good.instructionsSource == "perf" || good.instructionsSource == "callgrind");
  EXPECT_NE(run.stdoutText().find("instructions"), std::string::npos);
}

TEST(Harness, RunsUnderAPrefix) {
  const FakeSuite& suite = mixedSuite();
  struct Case {
    const char* prefix;
    int exitStatus;
    const char* failure;
  };
  const Case cases[] = {
      {"env BENCH32_UNDER=1", 0, ""},
      {"/nonexistent/emulator -x", 1, "cannot run /nonexistent/emulator"},
  };
  for (const auto& c : cases) {
    auto args = noBuild(suite);
    const std::string out = suite.file("under.json").string();
    args.insert(args.end(), {"-p", "good", "--runs", "2", "--run-under", c.prefix, "--json", out});
    const RunResult run = harness(suite, args);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << c.prefix << ": " << run.stderrBytes;
    const Results results = loadResults(out);
    EXPECT_EQ(results.runUnder, c.prefix);
    EXPECT_NE(unitOf(results, "good").failure.find(c.failure), std::string::npos) << c.prefix;
  }
}

TEST(Harness, BadInputGivesOneLineAndStatusTwo) {
  const FakeSuite& suite = mixedSuite();
  FakeSuite broken("harness-broken");
  fs::create_directories(broken.root / "benchmarks" / "p");
  std::ofstream(broken.root / "benchmarks" / "p" / "workloads.json") << "{\"workloads\": {";
  std::ofstream(suite.file("garbage.json")) << "[1, 2";
  Results other;
  other.configs = {{"x", "", "", "", "", ""}};
  UnitResult u;
  u.config = "x";
  u.program = "elsewhere";
  u.workload = "ref";
  other.units = {u};
  saveResults(suite.file("other.json"), other);
  Results lone = other;
  lone.units[0].program = "good";
  saveResults(suite.file("lone.json"), lone);

  auto run = [&](std::vector<std::string> extra) {
    auto args = noBuild(suite);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    const FakeSuite* suite;
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {&suite, run({"-p", "good,nosuch"}), "unknown program \"nosuch\""},
      {&suite, run({"-w", "huge"}), "--workload: unknown workload \"huge\" (known: ref, smoke)"},
      {&suite, run({"--runs", "0"}), "--runs"},
      {&broken, run({}), "not valid JSON"},
      {&suite,
       {"run", "--build-root", suite.file("cfgs").string(), "--config",
        "odd=no-such-compiler++:-O2"},
       "compiler \"no-such-compiler++\" not found"},
      {&suite,
       {"compare", suite.file("garbage.json").string(), suite.file("lone.json").string()},
       "not valid JSON"},
      {&suite, {"compare", suite.file("lone.json").string()}, "nothing to compare"},
      {&suite,
       {"compare", suite.file("other.json").string(), suite.file("lone.json").string()},
       "no program and workload in common"},
      {&suite,
       {"compare", suite.file("lone.json").string(), suite.file("other.json").string(), "--metric",
        "joules"},
       "unknown metric"},
  };
  for (const auto& c : cases) {
    const RunResult r = harness(*c.suite, c.args);
    EXPECT_EQ(r.exitStatus, 2) << c.message << ": " << r.stderrBytes;
    EXPECT_NE(r.stderrBytes.find(c.message), std::string::npos) << r.stderrBytes;
    EXPECT_FALSE(r.stderrBytes.empty());
  }
}

TEST(Harness, AnOutputThatCannotBeWrittenStopsTheCommandFirstWithTheReason) {
  const FakeSuite& suite = mixedSuite();
  auto args = noBuild(suite);
  const std::vector<std::vector<std::string>> cases = {
      {"run", "--build", "fake=" + (suite.root / "build").string(), "--no-build", "-p", "good",
       "--json", "/nonexistent-dir/r.json"},
      {"run", "--build", "fake=" + (suite.root / "build").string(), "--no-build", "-p", "good",
       "--csv", "/nonexistent-dir/r.csv"},
      {"report", suite.file("garbage.json").string(), "-o", "/nonexistent-dir/r.html"},
  };
  for (const auto& c : cases) {
    const RunResult r = harness(suite, c);
    EXPECT_EQ(r.exitStatus, 3) << c.back() << ": " << r.stderrBytes;
    EXPECT_NE(r.stderrBytes.find(c.back() + ": cannot write: No such file or directory"),
              std::string::npos)
        << r.stderrBytes;
    // Nothing was run for an output that could not be kept.
    EXPECT_EQ(r.stdoutText(), "") << c.back();
  }
}

TEST(Harness, InterruptKillsTheRunningProgramAndKeepsWhatWasMeasured) {
  const FakeSuite& suite = mixedSuite();
  auto args = noBuild(suite);
  const std::string out = suite.file("interrupted.json").string();
  args.insert(args.end(), {"-p", "good,hang", "--runs", "2", "--warmup", "0", "--timeout", "60",
                           "--json", out});
  std::atomic<bool> stop{false};
  std::thread interrupter = interruptOnceHanging(suite);
  const auto start = std::chrono::steady_clock::now();
  const RunResult run = harness(suite, args, &stop);
  interrupter.join();
  EXPECT_EQ(run.exitStatus, 130) << run.stderrBytes;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  const Results results = loadResults(out);
  EXPECT_FALSE(results.complete);
  EXPECT_EQ(results.stopReason, "interrupted");
  EXPECT_EQ(unitOf(results, "good").status, Status::ok);
  EXPECT_GE(unitOf(results, "good").samples.size(), 1u);
  EXPECT_EQ(unitOf(results, "hang").status, Status::notRun);
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

TEST(HarnessCommandLine, MistakesGetOnePlainLineAndStatusTwo) {
  const FakeSuite& suite = mixedSuite();
  const std::string json = suite.file("cli.json").string();
  auto run = [&](std::vector<std::string> extra) {
    auto args = noBuild(suite);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  {
    std::ofstream db(suite.file("h.db"), std::ios::binary);
    db.write("SQLite format 3\0\x10\0", 19);
  }
  const Case cases[] = {
      {{"frob"},
       "unknown command \"frob\" (commands: list, run, compare, score, report, show, history, "
       "triage, "
       "import, export, explain, bisect, serve, check, completion, man)"},
      {run({"--runs", "0"}), "--runs must be at least 1"},
      {run({"--runs", "abc"}), "--runs"},
      {run({"--timeout", "-1"}), "--timeout must be between 0.001 and 1000000"},
      {run({"--timeout", "1e300"}), "--timeout must be between 0.001 and 1000000"},
      {run({"--min-runs", "9", "--max-runs", "3"}), "--min-runs is above --max-runs"},
      {run({"-p", "Good"}), "unknown program \"Good\"; did you mean \"good\"?"},
      {run({"-p", "goood"}), "unknown program \"goood\"; did you mean \"good\"?"},
      {{"comapre", json}, "unknown command \"comapre\"; did you mean \"compare\"?"},
      // An unknown option is named first, with the nearest one, whatever follows it.
      {run({"--runz", "3"}), "run: unknown option \"--runz\"; did you mean \"--runs\"?"},
      {run({"--worklod=smoke"}), "unknown option \"--worklod\"; did you mean \"--workload\"?"},
      {run({"-x"}), "run: unknown option \"-x\" (see bench32-harness run --help)"},
      {run({"-w", "smok"}), "--workload: unknown workload \"smok\"; did you mean \"smoke\"?"},
      {{"compare", json, json, "--metric", "wal"},
       "unknown metric \"wal\"; did you mean \"wall\"?"},
      {{"show", json, "--format", "jsn"}, "unknown format \"jsn\"; did you mean \"json\"?"},
      // Build folders that hold no build, before anything runs.
      {{"run", "-b", "gcc=/nonexistent", "--json", json}, "-b gcc=/nonexistent: no such folder"},
      {{"run", "-b", "gcc=" + suite.root.string(), "--json", json}, "holds no build"},
      {run({"--anchor", "a=/nonexistent", "--json", json}), "--anchor a=/nonexistent: no such"},
      // A database where a results file belongs.
      {{"show", suite.file("h.db").string()},
       "h.db is an SQLite database, not a results file; use --db"},
      {{"compare", suite.file("h.db").string(), json}, "is an SQLite database"},
      {{"export", suite.file("h.db").string()}, "is an SQLite database"},
      // Standard output is one file's at most.
      {run({"--json", "-", "--markdown", "-"}),
       "--json and --markdown both write to standard output"},
      {run({"-p", "zz*"}), "--programs: unknown program \"zz*\""},
      {run({"--exclude", "nosuch"}), "--exclude: unknown program \"nosuch\""},
      {run({"-p", "good", "--exclude", "g*"}), "no program left to run"},
      {run({"--json", json, "--csv", json}), "given for two outputs"},
      {run({"--cpu", "1023"}), "--cpu 1023: processor 1023 is not available here (available: "},
      {run({"--cpu", "0-"}), "--cpu 0-: a processor number is missing"},
      {{"compare", json, json, "--alpha", "5"}, "--alpha must be between 0 and 1"},
      {{"compare", json, json, "--min-samples", "-3"}, "--min-samples must be at least 1"},
      {{"compare", json, json, "--fail-above", "-5"}, "--fail-above must be at least 0"},
      {{"show", json, "--format", "xml"},
       "unknown format \"xml\" (text, markdown, csv, json, html)"},
      {{"show", suite.file("missing.json").string()}, "missing.json: cannot open: No such file"},
      // Every path option refuses an empty path.
      {run({"--json", ""}), "--json: an empty path"},
      {run({"--csv", ""}), "--csv: an empty path"},
      {run({"--markdown", ""}), "--markdown: an empty path"},
      {run({"--html", ""}), "--html: an empty path"},
      {run({"--db", ""}), "--db: an empty path"},
      {run({"--build-root", ""}), "--build-root: an empty path"},
      {{"report", json, "-o", ""}, "--output: an empty path"},
      {{"report", "", "-o", json}, "files: an empty path"},
      {{"export", json, "-o", ""}, ": an empty path"},
      {{"export", ""}, "file: an empty path"},
      {{"show", ""}, "file: an empty path"},
      {{"compare", json, ""}, "files: an empty path"},
      {{"score", ""}, "files: an empty path"},
      {{"score", json, "--reference", ""}, "--reference: an empty path"},
      {{"import", "", "--db", json}, "files: an empty path"},
      {{"history", "--db", ""}, "--db: an empty path"},
      {{"list", "--db", ""}, "--db: an empty path"},
      {{"triage", "--db", "", "--revision", "r", "-p", "x", "--state", "open"},
       "--db: an empty path"},
      {{"explain", "-p", "good", "", json}, "results: an empty path"},
      // Every number option takes finite decimal numbers only.
      {run({"--min-time", "inf"}), "--min-time inf: not a number"},
      {run({"--min-time", "nan"}), "--min-time nan: not a number"},
      {run({"--min-time", "1e999"}), "--min-time 1e999: out of range"},
      {run({"--min-time", "0x10"}), "--min-time 0x10: not a number"},
      {run({"--precision", "-inf"}), "--precision -inf: not a relative amount"},
      {run({"--timeout", "NaN"}), "--timeout NaN: not a number"},
      {run({"--timeout", "infinity"}), "--timeout infinity: not a number"},
      {{"compare", json, json, "--alpha", "nan"}, "--alpha nan: not a number"},
      {{"compare", json, json, "--min-effect", "inf"}, "--min-effect inf: not a relative amount"},
      {{"compare", json, json, "--fail-above", "inf"}, "--fail-above inf: not a relative amount"},
      {{"history", "--db", json, "--fail-above", "nan"}, "--fail-above nan: not a relative amount"},
      {{"history", "--db", json, "--alpha", "2 "}, "--alpha 2 : not a number"},
  };
  for (const auto& c : cases) {
    const RunResult r = harness(suite, c.args);
    EXPECT_EQ(r.exitStatus, 2) << c.message << ": " << r.stderrBytes;
    EXPECT_NE(r.stderrBytes.find(c.message), std::string::npos) << r.stderrBytes;
    EXPECT_EQ(std::count(r.stderrBytes.begin(), r.stderrBytes.end(), '\n'), 1) << r.stderrBytes;
    EXPECT_FALSE(fs::exists(json)) << c.message << ": ran anyway";
  }
  // The source tree too, which comes before the command.
  RunRequest request;
  request.argv = {BENCH32_HARNESS, "--source", "", "list"};
  const RunResult source = runProcess(request);
  EXPECT_EQ(source.exitStatus, 2) << source.stderrBytes;
  EXPECT_EQ(source.stderrBytes, "bench32: --source: an empty path\n");
}

TEST(HarnessCommandLine, ProgramsByGlobAndExclusionAndPathsFromTheCallersDirectory) {
  const FakeSuite& suite = mixedSuite();
  const fs::path caller = suite.file("caller");
  fs::create_directories(caller);
  auto args = noBuild(suite);
  args.insert(args.end(), {"-p", "*", "--exclude", "hang,cr*", "-n", "1", "--warmup", "0", "--json",
                           "here.json", "--markdown", "here.md"});
  RunRequest request;
  request.argv = {BENCH32_HARNESS, "--source", suite.root.string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.workingDirectory = caller.string();
  request.timeout = 60s;
  const RunResult run = runProcess(request);
  EXPECT_EQ(run.exitStatus, 1) << run.stderrBytes; // "wrong" fails, as it should
  ASSERT_TRUE(fs::exists(caller / "here.json")) << run.stderrBytes;
  EXPECT_TRUE(fs::exists(caller / "here.md"));
  std::vector<std::string> programs;
  for (const auto& u : loadResults(caller / "here.json").units) programs.push_back(u.program);
  EXPECT_EQ(programs, (std::vector<std::string>{"good", "status", "wrong"}));
  // The load around the session is recorded, to tell a busy session from a quiet one.
  const Results results = loadResults(caller / "here.json");
  EXPECT_FALSE(results.environment.at("load_before").empty());
  EXPECT_FALSE(results.environment.at("load_after").empty());

  RunRequest version;
  version.argv = {BENCH32_HARNESS, "--version"};
  EXPECT_EQ(runProcess(version).stdoutText().rfind("bench32 ", 0), 0u);
  version.argv = {BENCH32_HARNESS, "--help"};
  // The usage line names the harness as it was called; through ./bench32, as bench32.
  std::string help = runProcess(version).stdoutText();
  EXPECT_NE(help.find("Usage: bench32-harness"), std::string::npos) << help;
  version.argv = {"/usr/bin/env", "BENCH32_SCRIPT=bench32", BENCH32_HARNESS, "--help"};
  help = runProcess(version).stdoutText();
  EXPECT_EQ(help.find("bench32-harness"), std::string::npos) << help;
  for (const char* word : {"Usage: bench32", "test", "setup", "compare", "report"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

TEST(HarnessGate, FailsWhenTheCandidatesProgramsFail) {
  const FakeSuite& suite = mixedSuite();
  const std::string base = suite.file("gate-base.json").string();
  const std::string candidate = suite.file("gate-candidate.json").string();
  auto session = [&](const std::string& out, std::vector<std::string> extra) {
    auto args = noBuild(suite);
    args.insert(args.end(), {"-p", "good,status", "-n", "5", "--warmup", "0", "--json", out});
    args.insert(args.end(), extra.begin(), extra.end());
    return harness(suite, args);
  };
  ASSERT_EQ(session(base, {}).exitStatus, 0);
  // Every program of the candidate fails: nothing is left to compute a ratio from.
  ASSERT_EQ(session(candidate, {"--run-under", "/nonexistent/emulator"}).exitStatus, 1);
  const RunResult gate = harness(suite, {"compare", base, candidate, "--fail-above", "5"});
  EXPECT_EQ(gate.exitStatus, 1) << gate.stdoutText() << gate.stderrBytes;
  EXPECT_NE(gate.stdoutText().find("no program to compare; 2 programs failed in "),
            std::string::npos)
      << gate.stdoutText();
  // Without a gate the comparison is only reported.
  EXPECT_EQ(harness(suite, {"compare", base, candidate}).exitStatus, 0);
  // And the baseline against itself passes the gate.
  EXPECT_EQ(harness(suite, {"compare", base, base, "--fail-above", "5"}).exitStatus, 0);
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

TEST(HarnessGate, AProgramStoppedBeforeItsFirstTimedRunIsNotRun) {
  const FakeSuite& suite = mixedSuite();
  auto args = noBuild(suite);
  const std::string out = suite.file("warmed.json").string();
  // good's warm-up passes; hang's warm-up is interrupted before any timed run.
  args.insert(args.end(), {"-p", "good,hang", "--runs", "2", "--warmup", "1", "--timeout", "60",
                           "--json", out});
  std::thread interrupter = interruptOnceHanging(suite);
  const RunResult run = harness(suite, args);
  interrupter.join();
  EXPECT_EQ(run.exitStatus, 130) << run.stderrBytes;
  const UnitResult good = unitOf(loadResults(out), "good");
  EXPECT_EQ(good.warmup.size(), 1u);
  EXPECT_EQ(good.samples.size(), 0u);
  EXPECT_EQ(good.status, Status::notRun);
  EXPECT_NE(run.stdoutText().find("not-run"), std::string::npos) << run.stdoutText();
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

TEST(HarnessMemory, StaysBoundedWhateverTheProgramWrites) {
  // The harness is started through a spawner made while this process is small, so that
  // its peak is its own and not this process's, which holds the expected output.
  startSpawner();
  FakeSuite suite("harness-memory");
  for (const long lines : {10L, 3000000L}) { // 21 bytes, and about 23 MB
    std::string expected;
    for (long i = 1; i <= lines; ++i) expected += std::to_string(i) + '\n';
    suite.add(lines == 10 ? "small" : "big", {{"ref",
                                               {{"input", "lines " + std::to_string(lines)},
                                                {"stdout_xxh3", digestHex(digest(expected))},
                                                {"stdout_size", expected.size()}}}});
  }
  long peak[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    auto args = noBuild(suite);
    args.insert(args.end(), {"-p", i == 0 ? "small" : "big", "-n", "2", "--warmup", "0"});
    const RunResult run = harness(suite, args);
    ASSERT_EQ(run.exitStatus, 0) << run.stderrBytes;
    peak[i] = run.maxRssKiB;
  }
  // The output is verified from the file it was written to: the harness holds none of
  // it (a sanitized harness is larger, but by the same amount for both).
  EXPECT_LT(peak[1] - peak[0], 8 << 10) << "KiB: " << peak[0] << " and " << peak[1];
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

// A program that writes for ever is stopped as it passes its expected output, with or
// without a prefix, long before its timeout; and --cpu pins every program, which the
// results file records with the machine's state.
TEST(HarnessExecution, RunawayProgramsAreStoppedAndPinnedRunsRecorded) {
  FakeSuite suite("harness-execution");
  suite.add("flood", {{"ref", entry("flood", "0\n1\n")}});
  const std::vector<int> allowed = allowedCpus();
  ASSERT_FALSE(allowed.empty());
  const std::string cpu = std::to_string(allowed.back());
  suite.add("pinned", {{"ref", entry("cpus", "Cpus_allowed_list:\t" + cpu + "\n")}});
  for (const char* prefix : {"", "env"}) {
    auto args = noBuild(suite);
    const std::string out = suite.file("flood.json").string();
    args.insert(args.end(), {"-p", "flood", "-n", "1", "--timeout", "60", "--json", out});
    if (*prefix) args.insert(args.end(), {"--run-under", prefix});
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = harness(suite, args);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << prefix;
    EXPECT_EQ(run.exitStatus, 1) << prefix << ": " << run.stderrBytes;
    // Where the kept bytes first differ, and that there were too many.
    const std::string failure = unitOf(loadResults(out), "flood").failure;
    EXPECT_EQ(failure.rfind("stdout differs at line 3 (byte 5): expected <end of output>", 0), 0)
        << prefix << ": " << failure;
    EXPECT_NE(failure.find("(wrote more than the expected 4 bytes)"), std::string::npos)
        << prefix << ": " << failure;
    EXPECT_NE(run.stderrBytes.find("no run verified; 1 of 1 measurement failed"), std::string::npos)
        << run.stderrBytes;
  }

  auto args = noBuild(suite);
  const std::string out = suite.file("pinned.json").string();
  args.insert(args.end(), {"-p", "pinned", "-n", "2", "--cpu", cpu, "--json", out});
  const RunResult pinned = harness(suite, args);
  EXPECT_EQ(pinned.exitStatus, 0) << pinned.stdoutText() << pinned.stderrBytes;
  const Results results = loadResults(out);
  EXPECT_EQ(results.environment.at("cpu_affinity"), cpu);
  for (const char* key : {"turbo", "aslr", "smt_siblings"})
    EXPECT_FALSE(results.environment.at(key).empty()) << key;
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

// The harness with its standard output sent to a file (a device such as /dev/full).
RunResult harnessPrintingTo(const FakeSuite& suite, const std::string& output,
                            std::vector<std::string> args) {
  RunRequest request;
  request.argv = {"/bin/sh",       "-c",       "exec \"$0\" \"$@\" >\"$BENCH32_OUTPUT\"",
                  BENCH32_HARNESS, "--source", suite.root.string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.argv.insert(request.argv.begin(), {"/usr/bin/env", "BENCH32_OUTPUT=" + output});
  request.timeout = 60s;
  return runProcess(request);
}

bool isCharacterDevice(const char* path) {
  struct stat status {};
  return ::stat(path, &status) == 0 && S_ISCHR(status.st_mode);
}

TEST(HarnessOutput, AWriteThatFailsIsOneLineAndStatusThree) {
  const FakeSuite& suite = mixedSuite();
  const std::string results = suite.file("written.json").string();
  auto good = noBuild(suite);
  good.insert(good.end(), {"-p", "good", "-n", "1", "--warmup", "0"});
  ASSERT_EQ(harness(suite,
                    [&] {
                      auto a = good;
                      a.insert(a.end(), {"--json", results});
                      return a;
                    }())
                .exitStatus,
            0);
  const auto with = [&](std::vector<std::string> extra) {
    auto args = good;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    std::string output; // standard output goes here
    const char* message;
  };
  const std::string full = "/dev/full", file = "/dev/full: cannot write: No space left on device",
                    out = "standard output: cannot write: No space left on device";
  const Case cases[] = {
      {with({"--json", full}), "/dev/null", file.c_str()},
      {with({"--csv", full}), "/dev/null", file.c_str()},
      {with({"--html", full}), "/dev/null", file.c_str()},
      {with({}), full, out.c_str()},
      {{"report", results, "-o", full}, "/dev/null", file.c_str()},
      {{"export", results, "-o", full}, "/dev/null", file.c_str()},
      {{"show", results}, full, out.c_str()},
      {{"show", results, "--format", "csv"}, full, out.c_str()},
      {{"export", results}, full, out.c_str()},
      {{"compare", results, results}, full, out.c_str()},
      {{"list", "--json"}, full, out.c_str()},
      {{"--help"}, full, "standard output: cannot write: "},
  };
  for (const auto& c : cases) {
    const RunResult r = harnessPrintingTo(suite, c.output, c.args);
    EXPECT_EQ(r.exitStatus, 3) << c.args.back() << ": " << r.stderrBytes;
    EXPECT_NE(r.stderrBytes.find(std::string("bench32: ") + c.message), std::string::npos)
        << r.stderrBytes;
    // One line says so (a run's progress lines may come before it).
    std::size_t said = 0;
    for (std::size_t at = r.stderrBytes.find("bench32: "); at != std::string::npos;
         at = r.stderrBytes.find("bench32: ", at + 1))
      ++said;
    EXPECT_EQ(said, 1u) << r.stderrBytes;
    EXPECT_EQ(r.stderrBytes.find("results in"), std::string::npos) << r.stderrBytes;
    ASSERT_TRUE(isCharacterDevice("/dev/full")) << "replaced by " << c.args.back();
  }
  // A pipe or a device is written directly, and a results file there once, at the end.
  const RunResult piped = harnessPrintingTo(suite, "/dev/null", with({"--json", "/dev/stdout"}));
  EXPECT_EQ(piped.exitStatus, 0) << piped.stderrBytes;
}

// The harness under a file-size limit, with SIGXFSZ ignored: a write past the limit
// fails with EFBIG, as one on a full disk fails with ENOSPC.
RunResult harnessWithFileLimit(const FakeSuite& suite, std::size_t bytes,
                               std::vector<std::string> args) {
  RunRequest request;
  request.argv = {"/bin/sh",
                  "-c",
                  "trap '' XFSZ; exec \"$@\"",
                  "sh",
                  "prlimit",
                  fmt::format("--fsize={}:", bytes),
                  BENCH32_HARNESS,
                  "--source",
                  suite.root.string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.timeout = 60s;
  return runProcess(request);
}

TEST(HarnessOutput, AFileWhoseRewriteFailsIsLeftAsItWas) {
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no prlimit";
  const FakeSuite& suite = mixedSuite();
  const std::string results = suite.file("limit.json").string();
  auto good = noBuild(suite);
  good.insert(good.end(), {"-p", "good", "-n", "1", "--warmup", "0", "--json", results});
  ASSERT_EQ(harness(suite, good).exitStatus, 0);
  struct Case {
    std::string file;
    std::vector<std::string> args;
  };
  const std::string html = suite.file("limit.html").string(),
                    json = suite.file("limit-export.json").string();
  const Case cases[] = {
      {results, good},
      {html, {"report", results, "-o", html}},
      {json, {"export", results, "-o", json}},
  };
  for (const auto& c : cases) {
    { std::ofstream(c.file) << "the old file\n"; }
    fs::permissions(c.file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const RunResult r = harnessWithFileLimit(suite, 1024, c.args);
    EXPECT_EQ(r.exitStatus, 3) << c.file << ": " << r.stderrBytes;
    EXPECT_NE(r.stderrBytes.find(c.file + ": cannot write: File too large"), std::string::npos)
        << r.stderrBytes;
    std::ifstream stream(c.file);
    std::string kept((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "the old file\n") << c.file;
    for (const auto& entry : fs::directory_iterator(suite.root))
      EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
    // Without the limit the file is replaced whole, and keeps its permissions.
    const RunResult again = harness(suite, c.args);
    EXPECT_EQ(again.exitStatus, 0) << again.stderrBytes;
    EXPECT_GT(fs::file_size(c.file), 1024u);
    EXPECT_EQ(fs::status(c.file).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  }
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

// A TCP port on 127.0.0.1 that takes connections and never answers: a database server
// that hangs.
struct SilentServer {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  SilentServer() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      ADD_FAILURE() << "no listening socket";
    port = ntohs(address.sin_port);
  }
  ~SilentServer() {
    for (const int client : clients) close(client);
    close(fd);
  }
  // Whether a client connected within the time; it is kept waiting.
  bool connected(std::chrono::milliseconds within) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(within.count())) != 1) return false;
    clients.push_back(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
    return true;
  }
  std::vector<int> clients;
};

// Every stage ends within a second of SIGINT or SIGTERM, with 130 or 143, whether it
// polls for the interrupt (a build, the measuring) or cannot (connecting to a database):
// a signal that arrives when nothing is being measured ends the harness at once.
TEST(HarnessInterrupt, EveryStageEndsWithinASecondWithTheSignalsStatus) {
  const FakeSuite& suite = mixedSuite();
  // A build that hangs: a cmake that says it started, then sleeps.
  const fs::path stub = suite.file("slow-tools"), started = suite.file("build-started");
  fs::create_directories(stub);
  std::ofstream(stub / "cmake") << "#!/bin/sh\ntouch " << started << "\nexec sleep 60\n";
  fs::permissions(stub / "cmake", fs::perms::owner_all);
  const fs::path buildDir = suite.file("slow-build");
  fs::create_directories(buildDir);
  std::ofstream(buildDir / "CMakeCache.txt") << "";
  SilentServer server;
  const std::string results = suite.file("stopped.json").string();

  struct Stage {
    const char* name;
    std::vector<std::string> args;
    std::function<bool()> underway; // polled until the stage has started
    bool keepsResults;
  };
  const std::vector<Stage> stages = {
      {"connecting to a database",
       {"run", "--build", "fake=" + (suite.root / "build").string(), "--no-build", "-p", "good",
        "--db", fmt::format("postgresql://bench@127.0.0.1:{}/bench32", server.port)},
       [&] { return server.connected(10ms); },
       false},
      {"building",
       {"/usr/bin/env", "PATH=" + stub.string() + ":" + std::getenv("PATH"), BENCH32_HARNESS,
        "--source", suite.root.string(), "run", "--build", "slow=" + buildDir.string(), "-p",
        "good", "--json", results},
       [&] { return fs::exists(started); },
       true},
      {"measuring",
       {"run", "--build", "fake=" + (suite.root / "build").string(), "--no-build", "-p",
        "good,hang", "--runs", "2", "--warmup", "0", "--timeout", "60", "--json", results},
       [&] { return fs::exists(suite.file("hang-started")); },
       true},
  };
  for (const auto& stage : stages) {
    for (const int signalNumber : {SIGINT, SIGTERM}) {
      fs::remove(started);
      fs::remove(suite.file("hang-started"));
      fs::remove(results);
      RunResult run;
      std::chrono::steady_clock::time_point ended;
      std::thread harnessThread([&] {
        if (stage.args.front() == "run") {
          run = harness(suite, stage.args);
        } else {
          RunRequest request;
          request.argv = stage.args;
          request.timeout = 60s;
          run = runProcess(request);
        }
        ended = std::chrono::steady_clock::now();
      });
      const auto deadline = std::chrono::steady_clock::now() + 30s;
      while (!stage.underway() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
      const auto signalled = std::chrono::steady_clock::now();
      for (const int group : runningProcessGroups()) kill(group, signalNumber);
      harnessThread.join();
      const auto elapsed = std::chrono::duration<double>(ended - signalled).count();
      EXPECT_EQ(run.exitStatus, 128 + signalNumber) << stage.name << ": " << run.stderrBytes;
      EXPECT_LT(elapsed, 1.0) << stage.name << ", signal " << signalNumber;
      if (stage.keepsResults) {
        const Results kept = loadResults(results);
        EXPECT_EQ(kept.stopReason, "interrupted") << stage.name;
        EXPECT_FALSE(kept.complete) << stage.name;
      }
    }
  }
}

} // namespace
} // namespace bench32
