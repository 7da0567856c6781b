// bench32-timer, run here, and its report read back: every ending a run here can have
// comes back as the same verdict, small outputs whole and large ones by digest.
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "exec/timer_report.hpp"
#include "expectation_fixtures.hpp"

namespace bench32 {
namespace {

using test::expecting;

// The fake program run through the timer with input, as a remote run would be.
RunResult timed(const std::string& input, const RunRequest& base, std::string& why) {
  const std::string inputPath = ::testing::TempDir() + "/timer-input-" + std::to_string(getpid());
  std::ofstream(inputPath) << input;
  RunRequest request = base;
  if (request.argv.empty()) request.argv = {BENCH32_FAKE_PROGRAM};
  RunRequest timer;
  timer.argv = timerCommand(BENCH32_TIMER, request, inputPath);
  timer.timeout = std::chrono::duration<double>(30);
  const RunResult ran = runProcess(timer);
  std::filesystem::remove(inputPath);
  EXPECT_EQ(ran.exitStatus, 0) << ran.stderrBytes;
  auto report = parseTimerReport(ran.stdoutText(), why);
  return report ? *report : RunResult{};
}

std::string lines(int n) {
  std::string text;
  for (int i = 1; i <= n; ++i) text += std::to_string(i) + "\n";
  return text;
}

TEST(Timer, EndingsComeBackAsTheyWouldHere) {
  struct Case {
    const char* input;
    Expectation expected;
    std::optional<std::uint64_t> limit;
    double timeout;
    const char* detail; // empty: verified
  };
  const std::string big = lines(20000); // past what the report carries whole
  const Case cases[] = {
      {"echo 1 2\n3", expecting("1 2 3 \n"), {}, 10, ""},
      {"echo 1 2 3", expecting("1 2 4 \n"), {}, 10, "line 1 (byte 5)"},
      {"status 3", expecting("", 3), {}, 10, ""},
      {"status 3", expecting("", 255), {}, 10, "expected exit status 255, got exit status 3"},
      {"crash", expecting("", 0, SIGSEGV), {}, 10, ""},
      {"hang", expecting(""), {}, 0.3, "timed out"},
      {"flood", expecting("0\n1\n"), 4, 10, "wrote more than the expected 4 bytes"},
      {"lines 20000", expecting(big), big.size(), 10, ""},
      {"lines 19999", expecting(big), big.size(), 10, "stdout differs: expected"},
  };
  for (const auto& c : cases) {
    RunRequest request;
    request.timeout = std::chrono::duration<double>(c.timeout);
    request.stdoutLimit = c.limit;
    std::string why;
    const RunResult run = timed(c.input, request, why);
    EXPECT_EQ(why, "") << c.input;
    const Verdict v = verify(c.expected, run);
    EXPECT_EQ(v.ok, *c.detail == 0) << c.input << ": " << v.detail;
    EXPECT_NE(v.detail.find(c.detail), std::string::npos) << c.input << ": " << v.detail;
    EXPECT_GT(run.wallSeconds, 0) << c.input;
    EXPECT_GT(run.maxRssKiB, 0) << c.input;
  }
}

TEST(Timer, LargeOutputComesBackAsDigestAndSmallWhole) {
  std::string why;
  const RunResult small = timed("lines 10", {}, why);
  ASSERT_TRUE(small.stdoutFile);
  EXPECT_EQ(small.stdoutText(), lines(10));
  const RunResult large = timed("lines 20000", {}, why);
  EXPECT_FALSE(large.stdoutFile);
  ASSERT_TRUE(large.stdoutDigest);
  EXPECT_EQ(large.stdoutDigest->size, lines(20000).size());
  EXPECT_EQ(large.stdoutDigest->xxh3, digest(lines(20000)));
}

TEST(Timer, ProcessorsAndStartFailuresReachTheProgram) {
  RunRequest request;
  request.cpus = {allowedCpus().front()};
  std::string why;
  const RunResult pinned = timed("cpus", request, why);
  EXPECT_EQ(pinned.stdoutText(),
            "Cpus_allowed_list:\t" + std::to_string(request.cpus.front()) + "\n");
  // A processor the machine does not have is refused there, not ignored.
  request.cpus = {1023};
  const RunResult unpinned = timed("echo 1", request, why);
  EXPECT_NE(unpinned.startError.find("cannot run on processors 1023"), std::string::npos)
      << unpinned.startError;
  request.cpus.clear();
  request.argv = {"/nonexistent/program"};
  const RunResult missing = timed("", request, why);
  EXPECT_NE(verify(expecting(""), missing).detail.find("cannot run /nonexistent/program"),
            std::string::npos);
}

TEST(Timer, ReportsThatAreCutOrGarbledAreRefused) {
  const std::string line = "bench32-timer 1 exit=0 signal=0 timed_out=0 overflow=0 "
                           "wall_s=0.001 user_s=0.001 sys_s=0 max_rss_kib=900 stdout_size=3 "
                           "stdout_xxh3=00ff included=1 file_size_limit=0 error=\n";
  const struct {
    std::string report;
    const char* why;
  } cases[] = {
      {"", "no report from the timer"},
      {"ssh: connect to host x port 22: Connection refused\n", "garbled"},
      {line.substr(0, 40), "garbled"},
      {line + "1\n", "holds 2 bytes of output where it names 3"},
      {std::string(line).replace(line.find("exit=0"), 6, "exit=x"), "garbled"},
      // Times and sizes that no run has: not numbers, infinite, negative.
      {std::string(line).replace(line.find("wall_s=0.001"), 12, "wall_s=nan"), "garbled"},
      {std::string(line).replace(line.find("user_s=0.001"), 12, "user_s=inf"), "garbled"},
      {std::string(line).replace(line.find("sys_s=0"), 7, "sys_s=-1"), "garbled"},
      {std::string(line).replace(line.find("max_rss_kib=900"), 15, "max_rss_kib=-5"), "garbled"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(parseTimerReport(c.report, why)) << c.report;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  std::string why;
  const auto ok = parseTimerReport(line + "1 \n", why);
  ASSERT_TRUE(ok) << why;
  EXPECT_EQ(ok->stdoutText(), "1 \n");
  EXPECT_EQ(ok->maxRssKiB, 900);
}

} // namespace
} // namespace bench32
