#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "expectation.hpp"
#include "process.hpp"
#include "spawner.hpp"

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

Expectation expecting(const std::string& out, int status = 0, int signal = 0) {
  Expectation e;
  e.stdoutBytes = out;
  e.stdoutDigest = digest(out);
  e.stdoutSize = out.size();
  e.status = status;
  e.signal = signal;
  return e;
}

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

} // namespace
} // namespace bench32
