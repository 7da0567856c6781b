#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "exec/errors.hpp"
#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "exec/spawner.hpp"
#include "exec/words.hpp"
#include "expectation_fixtures.hpp"

namespace bench32 {
namespace {

using namespace std::chrono_literals;

RunResult runFake(const std::string& input, double timeout = 10,
                  const std::atomic<bool>* cancel = nullptr) {
  RunRequest request;
  request.argv = {BENCH32_FAKE_PROGRAM};
  request.input = input;
  request.timeout = std::chrono::duration<double>(timeout);
  request.cancel = cancel;
  return runProcess(request);
}

using test::expecting;

TEST(Process, VerdictsNameWhatWentWrong) {
  struct Case {
    const char* input;
    Expectation expected;
    bool ok;
    const char* detail;
  };
  const Case cases[] = {
      {"echo 1 2\n3", expecting("1 2 3 \n"), true, ""},
      {"echo 1 2 3", expecting("1 2 4 \n"), false, "line 1 (byte 5): expected \"1 2 4 \\x0a\""},
      {"status 3", expecting("", 255), false, "expected exit status 255, got exit status 3"},
      {"crash", expecting(""), false, "expected exit status 0, got SIGSEGV"},
      {"crash", expecting("", 0, SIGSEGV), true, ""},
      {"bogus", expecting(""), false, "stderr: \"fake program: unknown command bogus\""},
      // A line longer than the bytes shown is shown cut, not as the end of the output.
      {"echo 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31",
       expecting("8 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 \n"), false,
       "line 1 (byte 1): expected \"8 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 "
       "2...\", got \"9 10 11"},
  };
  for (const auto& c : cases) {
    const Verdict v = verify(c.expected, runFake(c.input));
    EXPECT_EQ(v.ok, c.ok) << c.input << ": " << v.detail;
    EXPECT_NE(v.detail.find(c.detail), std::string::npos) << c.input << ": " << v.detail;
  }
}

std::string linesUpTo(long n) {
  std::string text;
  for (long i = 1; i <= n; ++i) text += std::to_string(i) + '\n';
  return text;
}

TEST(Process, LargeOutputsAreVerifiedAChunkAtATime) {
  // About 6.9 MB: several chunks, so differences fall inside, across and after them.
  const long n = 1000000;
  const std::string right = linesUpTo(n);
  const RunResult run = runFake("lines " + std::to_string(n));
  ASSERT_EQ(run.stdoutSize(), right.size());
  std::string changed = right;
  changed[right.find("\n654321\n") + 3] = '9'; // line 654321 reads 659321
  Expectation digestOnly = expecting(right);
  digestOnly.stdoutBytes.reset();
  Expectation wrongDigest = digestOnly;
  wrongDigest.stdoutDigest ^= 1;
  struct Case {
    const char* name;
    Expectation expected;
    bool ok;
    const char* detail;
  };
  const Case cases[] = {
      {"same bytes", expecting(right), true, ""},
      {"same digest", digestOnly, true, ""},
      {"a line in the middle", expecting(changed), false,
       "line 654321 (byte 4469138): expected \"659321\\x0a\", got \"654321\\x0a\""},
      {"more expected", expecting(right + "1000001\n"), false,
       "line 1000001 (byte 6888897): expected \"1000001\\x0a\", got <end of output>"},
      {"less expected", expecting(right.substr(0, right.size() - 8)), false,
       "line 1000000 (byte 6888889): expected <end of output>, got \"1000000\\x0a\""},
      {"another digest", wrongDigest, false, "stdout differs: expected 6888896 bytes"},
  };
  for (const auto& c : cases) {
    const Verdict v = verify(c.expected, run);
    EXPECT_EQ(v.ok, c.ok) << c.name << ": " << v.detail;
    EXPECT_NE(v.detail.find(c.detail), std::string::npos) << c.name << ": " << v.detail;
  }
}

TEST(Process, TimeoutKillsTheWholeGroupPromptly) {
  const auto start = std::chrono::steady_clock::now();
  // The fake leaves a child holding the output pipe: only a group kill ends the run.
  const RunResult run = runFake("orphan", 0.3);
  EXPECT_TRUE(run.timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(verify(expecting(""), run).ok);
}

TEST(Process, CancellingKillsTheProgram) {
  std::atomic<bool> cancel{false};
  std::thread canceller([&] {
    std::this_thread::sleep_for(200ms);
    cancel = true;
  });
  const auto start = std::chrono::steady_clock::now();
  const RunResult run = runFake("hang", 30, &cancel);
  canceller.join();
  EXPECT_TRUE(run.cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(Process, EnvironmentPaddingReachesTheProgram) {
  for (const std::size_t padding : {std::size_t(0), std::size_t(1), std::size_t(4096)}) {
    RunRequest request;
    request.argv = {"/bin/sh", "-c", "printf '%s' \"${BENCH32_PADDING-unset}\""};
    request.environmentPadding = padding;
    const RunResult run = runProcess(request);
    EXPECT_EQ(run.stdoutText(), padding ? std::string(padding, 'x') : "unset") << padding;
  }
}

TEST(Process, MissingExecutableIsAStartError) {
  RunRequest request;
  request.argv = {"/nonexistent/program"};
  const RunResult run = runProcess(request);
  EXPECT_NE(run.startError.find("cannot run /nonexistent/program"), std::string::npos);
  EXPECT_FALSE(verify(expecting(""), run).ok);
}

// A runaway program is stopped as it passes its expected output: the file in memory
// holds one byte more, whatever it would have written, and the verdict says so even
// when the program was expected to end by a signal. Once forked from this process and
// once through the spawner, whose request carries the limit.
TEST(Process, OutputPastTheExpectedSizeStopsTheProgram) {
  std::vector<std::string> prefixes = {"", "env"};
  // The emulator inherits the limit and is ended by it like a native program.
  if (access("/usr/bin/qemu-x86_64", X_OK) == 0) prefixes.push_back("/usr/bin/qemu-x86_64");
  struct Case {
    const char* input;
    Expectation expected;
    bool overflow;
    const char* detail; // "": verified
  };
  const Case cases[] = {
      {"flood", expecting("0\n1\n"), true, "wrote more than the expected 4 bytes"},
      {"flood", expecting("", 0, SIGSEGV), true, "wrote more than the expected 0 bytes"},
      {"lines 3", expecting("1\n2\n3\n"), false, ""}, // exactly the expected bytes
      {"lines 3", expecting("1\n2\n3"), true, "wrote more than the expected 5 bytes"},
      {"lines 2", expecting("1\n2\n3\n"), false, "expected \"3\\x0a\", got <end of output>"},
      {"crash", expecting("", 0, SIGSEGV), false, ""},
  };
  for (const bool throughSpawner : {false, true}) {
    if (throughSpawner) startSpawner();
    for (const auto& prefix : prefixes) {
      for (const auto& c : cases) {
        RunRequest request;
        request.argv = shellWords(prefix);
        request.argv.push_back(BENCH32_FAKE_PROGRAM);
        request.input = c.input;
        request.timeout = std::chrono::seconds(30);
        request.stdoutLimit = c.expected.stdoutSize;
        if (!prefix.empty()) request.fileRoom = prefixFileRoom;
        const auto start = std::chrono::steady_clock::now();
        const RunResult run = runProcess(request);
        const std::string label = prefix + " " + c.input + (throughSpawner ? " (spawner)" : "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << label;
        EXPECT_EQ(run.stdoutOverflow, c.overflow) << label;
        if (c.overflow) {
          EXPECT_GT(run.stdoutSize(), c.expected.stdoutSize) << label;
          EXPECT_LE(run.stdoutSize(), c.expected.stdoutSize + 1 + request.fileRoom) << label;
        }
        const Verdict v = verify(c.expected, run);
        EXPECT_EQ(v.ok, std::string(c.detail).empty()) << label << ": " << v.detail;
        EXPECT_NE(v.detail.find(c.detail), std::string::npos) << label << ": " << v.detail;
      }
    }
  }
}

TEST(Process, ProgramsRunOnTheProcessorsAsked) {
  const std::vector<int> allowed = allowedCpus();
  ASSERT_FALSE(allowed.empty());
  for (const bool throughSpawner : {false, true}) {
    if (throughSpawner) startSpawner();
    for (const auto& cpus : {std::vector<int>{allowed.front()}, allowed}) {
      RunRequest request;
      request.argv = {BENCH32_FAKE_PROGRAM};
      request.input = "cpus";
      request.cpus = cpus;
      EXPECT_EQ(runProcess(request).stdoutText(), "Cpus_allowed_list:\t" + cpuListText(cpus) + "\n")
          << throughSpawner;
    }
  }
}

TEST(Process, ProcessorListsAreReadStrictly) {
  struct Case {
    const char* text;
    std::vector<int> cpus; // empty: refused
    const char* written;
  };
  const Case cases[] = {
      {"0", {0}, "0"},
      {"0,2", {0, 2}, "0,2"},
      {"1-3", {1, 2, 3}, "1-3"},
      {"5,0-1,1,3", {0, 1, 3, 5}, "0-1,3,5"},
      {"2-2", {2}, "2"},
      {"", {}, ""},
      {"a", {}, ""},
      {"-1", {}, ""},
      {"+1", {}, ""},
      {"1-", {}, ""},
      {"3-1", {}, ""},
      {"0,,1", {}, ""},
      {"0,", {}, ""},
      {"1 2", {}, ""},
      {"0x1", {}, ""},
      {"99999", {}, ""},
      {"99999999999999999999", {}, ""},
  };
  for (const auto& c : cases) {
    if (c.cpus.empty()) {
      EXPECT_THROW(parseCpuList(c.text), BadInput) << c.text;
      continue;
    }
    EXPECT_EQ(parseCpuList(c.text), c.cpus) << c.text;
    EXPECT_EQ(cpuListText(c.cpus), c.written) << c.text;
  }
  try {
    usableCpus("0,1023");
    ADD_FAILURE() << "processor 1023 accepted";
  } catch (const BadInput& e) {
    EXPECT_NE(std::string(e.what()).find("processor 1023 is not available here"), std::string::npos)
        << e.what();
  }
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

TEST(Process, PeakMemoryIsTheProgramsOwnThroughTheSpawner) {
  // Started while this process is small (in the harness: first thing in main), the
  // spawner's children do not inherit what this process grows to afterwards, as a child
  // forked from it directly would.
  const long before = residentKiB();
  startSpawner();
  std::vector<char> ballast(96 << 20, 1);
  for (const char* input : {"echo 1 2", "crash", "status 7"}) {
    const RunResult run = runFake(input);
    EXPECT_LT(run.maxRssKiB, before + (48 << 10)) << input;
    EXPECT_GT(run.maxRssKiB, 0) << input;
  }
  EXPECT_EQ(runFake("status 7").exitStatus, 7);
  EXPECT_EQ(runFake("crash").signal, SIGSEGV);
  EXPECT_EQ(runFake("echo 4 5").stdoutText(), "4 5 \n");
  RunRequest padded;
  padded.argv = {"/bin/sh", "-c", "printf '%s' \"$BENCH32_PADDING\""};
  padded.environmentPadding = 3;
  EXPECT_EQ(runProcess(padded).stdoutText(), "xxx");
  EXPECT_TRUE(runFake("hang", 0.2).timedOut);
  RunRequest missing;
  missing.argv = {"/nonexistent/program"};
  EXPECT_NE(runProcess(missing).startError.find("cannot run"), std::string::npos);
}

// A program's peak RSS is its own: within a few hundred KiB (or a tenth) of what the
// program itself saw (its VmHWM, which counts its own pages only), small or large. A
// child of a factory that is a copy of this process (some MiB already) would start at
// this process's size, where the program's own is a few hundred KiB.
TEST(Process, PeakMemoryIsWhatTheProgramItselfSaw) {
  startSpawner();
  struct Case {
    long touchedMiB;
    long atLeastKiB;
  };
  const Case cases[] = {{0, 1}, {1, 1 << 10}, {64, 64 << 10}};
  for (const auto& c : cases) {
    RunRequest request;
    request.argv = {BENCH32_PEAK_PROGRAM};
    request.input = std::to_string(c.touchedMiB);
    const RunResult run = runProcess(request);
    ASSERT_EQ(run.exitStatus, 0) << c.touchedMiB << " MiB: " << run.stderrBytes;
    const long own = std::stol(run.stdoutText());
    EXPECT_GE(run.maxRssKiB, c.atLeastKiB) << c.touchedMiB << " MiB";
    // wait4 and VmHWM count a few pages differently.
    EXPECT_LE(std::abs(run.maxRssKiB - own), std::max(own / 10, 384L))
        << c.touchedMiB << " MiB: " << run.maxRssKiB << " KiB against " << own;
  }
}

// The harness starts its factory from bench32-spawner beside it; alone, it forks a copy
// of itself instead and says so on one line.
TEST(Process, AHarnessWithoutItsSpawnerSaysSoOnce) {
  namespace fs = std::filesystem;
  const fs::path harness = BENCH32_HARNESS;
  const fs::path dir = fs::path(testing::TempDir()) / ("spawnerless-" + std::to_string(getpid()));
  for (const bool withSpawner : {true, false}) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(harness, dir / "bench32-harness");
    if (withSpawner)
      fs::copy_file(harness.parent_path() / "bench32-spawner", dir / "bench32-spawner");
    RunRequest request;
    request.argv = {(dir / "bench32-harness").string(), "--version"};
    const RunResult run = runProcess(request);
    EXPECT_EQ(run.exitStatus, 0) << withSpawner << ": " << run.stderrBytes;
    const std::string warning = withSpawner ? ""
                                            : "bench32: warning: no bench32-spawner beside "
                                              "this executable: programs are forked from a "
                                              "copy of it, whose resident size counts in "
                                              "their peak RSS\n";
    EXPECT_EQ(run.stderrBytes, warning) << withSpawner;
  }
  fs::remove_all(dir);
}

// Runs each input on a thread of its own, all at once.
std::vector<RunResult> runAtOnce(const std::vector<std::string>& inputs, double timeout) {
  std::vector<RunResult> runs(inputs.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < inputs.size(); ++i)
    threads.emplace_back([&, i] { runs[i] = runFake(inputs[i], timeout); });
  for (auto& t : threads) t.join();
  return runs;
}

TEST(Process, ProgramsRunAtOnceFromThreadsAndEndEachOnItsOwn) {
  const std::string dir = testing::TempDir();
  for (const bool throughSpawner : {false, true}) {
    if (throughSpawner) startSpawner();
    const std::string label = throughSpawner ? "spawner" : "forked here";
    // A timeout ends its own program only.
    const auto mixed = runAtOnce({"hang", "echo 1", "echo 2 3", "status 4"}, 0.3);
    EXPECT_TRUE(mixed[0].timedOut) << label;
    EXPECT_EQ(mixed[1].stdoutText(), "1 \n") << label;
    EXPECT_EQ(mixed[2].stdoutText(), "2 3 \n") << label;
    EXPECT_EQ(mixed[3].exitStatus, 4) << label;
    for (std::size_t i = 1; i < mixed.size(); ++i) EXPECT_FALSE(mixed[i].timedOut) << label;
    // An interrupt kills every running program's group.
    const std::string tag = throughSpawner ? "spawner" : "forked";
    const std::string a = dir + "/hang-a-" + tag, b = dir + "/hang-b-" + tag;
    std::remove(a.c_str());
    std::remove(b.c_str());
    std::thread interrupter([&] {
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      // Both programs running, and both runs holding their group (just after the start).
      while (!(std::ifstream(a) && std::ifstream(b) && runningProcessGroups().size() == 2) &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
      EXPECT_EQ(runningProcessGroups().size(), 2u) << label;
      killRunningProcessGroups();
    });
    const auto start = std::chrono::steady_clock::now();
    const auto hung = runAtOnce({"hang " + a, "hang " + b}, 30);
    interrupter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << label;
    for (const auto& run : hung) EXPECT_EQ(run.signal, SIGKILL) << label;
    EXPECT_TRUE(runningProcessGroups().empty()) << label;
  }
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

// Programs at a start gate are forked and set up, then held until it lets them through:
// none starts before, and all start after the release.
TEST(Process, AStartGateHoldsProgramsUntilAllAreReadyThenLetsThemThrough) {
  StartGate gate = openGate();
  std::vector<RunResult> runs(2);
  std::vector<std::jthread> threads;
  for (std::size_t i = 0; i < runs.size(); ++i)
    threads.emplace_back([&, i] {
      RunRequest request;
      request.argv = {BENCH32_FAKE_PROGRAM};
      request.input = "echo 7";
      request.gateReady = gate.readyWrite;
      request.gateOpen = gate.openRead;
      runs[i] = runProcess(request);
    });
  // Both arrive; after half a second, neither has started, since neither has ended.
  std::this_thread::sleep_for(500ms);
  for (const auto& run : runs) EXPECT_FALSE(run.started);
  const auto released = std::chrono::steady_clock::now();
  EXPECT_EQ(releaseGate(gate, runs.size(), 10s), runs.size());
  threads.clear();
  closeGate(gate);
  for (const auto& run : runs) {
    EXPECT_EQ(run.stdoutText(), "7 \n");
    ASSERT_TRUE(run.started);
    EXPECT_GE(*run.started, released);
  }
  // A gate that gives up on a program that never came still lets the others go.
  StartGate lonely = openGate();
  EXPECT_EQ(releaseGate(lonely, 2, 50ms), 0u);
  closeGate(lonely);
}

} // namespace
} // namespace bench32
