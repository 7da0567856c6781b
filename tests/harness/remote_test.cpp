// exec/remote without a server: the "ssh command" is a shell that runs the remote
// command here (or fails as a lost connection would), so copying, checking and running
// through the timer are tested end to end, and every way a connection can go wrong
// fails the run with its reason.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "exec/errors.hpp"
#include "exec/expectation.hpp"
#include "exec/remote.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

// Runs the command ($2 after the host) here, as ssh would run it there.
const std::string localShell = "eval \"$2\"";

struct Scratch {
  fs::path dir = fs::path(::testing::TempDir()) / ("bench32-remote-" + std::to_string(getpid()));
  Scratch() { fs::create_directories(dir); }
  ~Scratch() { fs::remove_all(dir); }
};

RemoteHost target(const fs::path& dir, const std::string& script) {
  return {"box", (dir / "there").string(), {"/bin/sh", "-c", script, "ssh"}};
}

std::shared_ptr<MemoryFile> input(const std::string& text) {
  auto file = std::make_shared<MemoryFile>("input");
  file->append(text);
  return file;
}

// A session with the fake program and one input copied through the script.
RunResult runThrough(const std::string& script, const std::string& text, double timeout = 10) {
  const Scratch scratch;
  RemoteStaging session(target(scratch.dir, script));
  const auto in = input(text);
  session.addTimer(BENCH32_TIMER);
  session.addExecutable("cfg", BENCH32_FAKE_PROGRAM);
  session.addInput(*in);
  RemoteStaging copier(target(scratch.dir, localShell));
  copier.addTimer(BENCH32_TIMER);
  copier.addExecutable("cfg", BENCH32_FAKE_PROGRAM);
  copier.addInput(*in);
  copier.copyAndCheck();
  RunRequest request;
  request.argv = {BENCH32_FAKE_PROGRAM};
  request.inputFile = in;
  request.timeout = std::chrono::duration<double>(timeout);
  return session.run(request);
}

TEST(Remote, RunsThroughTheTimerThereAndFailsWithTheConnectionsReason) {
  const struct {
    std::string script, input;
    const char* error; // "" for a run that ended normally
  } cases[] = {
      {localShell, "echo 4 5", ""},
      {"echo 'Connection reset by peer' >&2; exit 255", "echo 4 5",
       "connection to box lost: Connection reset by peer"},
      {"exit 255", "echo 4 5", "connection to box lost: ssh ended without a word"},
      {"kill -9 $$", "echo 4 5", "connection to box lost"},
      {"echo 'Last login: today'", "echo 4 5", "box: the timer's report is garbled"},
      {"exit 0", "echo 4 5", "box: no report from the timer"},
      // The first line of a good report with its output cut off.
      {localShell + " | head -n 1", "echo 4 5", "holds 0 bytes of output where it names 5"},
  };
  for (const auto& c : cases) {
    const RunResult run = runThrough(c.script, c.input);
    EXPECT_NE(run.startError.find(c.error), std::string::npos)
        << c.script << ": " << run.startError;
    if (*c.error) continue;
    EXPECT_EQ(run.startError, "");
    EXPECT_EQ(run.stdoutText(), "4 5 \n");
    EXPECT_GT(run.wallSeconds, 0);
  }
  const RunResult hung = runThrough(localShell, "hang", 0.3);
  EXPECT_TRUE(hung.timedOut);
  EXPECT_LT(hung.wallSeconds, 5);
}

TEST(Remote, ACopyThatDiffersThereIsRefusedByName) {
  const Scratch scratch;
  const fs::path copy = scratch.dir / "there/bin/cfg" / fs::path(BENCH32_FAKE_PROGRAM).filename();
  // Flips a byte of the program once the files are unpacked.
  const std::string corrupting = localShell +
                                 "; case \"$2\" in *tar*) printf X | dd of=" + copy.string() +
                                 " bs=1 seek=300 conv=notrunc 2>/dev/null;; esac";
  RemoteStaging session(target(scratch.dir, corrupting));
  session.addTimer(BENCH32_TIMER);
  session.addExecutable("cfg", BENCH32_FAKE_PROGRAM);
  try {
    session.copyAndCheck();
    FAIL() << "a corrupted copy was accepted";
  } catch (const std::exception& e) {
    const std::string line = e.what();
    EXPECT_NE(line.find("the copy of bin/cfg/" +
                        fs::path(BENCH32_FAKE_PROGRAM).filename().string() +
                        " on box is not the file here"),
              std::string::npos)
        << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(Remote, TargetsAndQuotingAreReadAsTheShellWill) {
  const struct {
    const char* where;
    const char* host;
    const char* dir; // nullptr: refused
  } targets[] = {
      {"board", "board", defaultRemoteDir},
      {"pi@board:bench", "pi@board", "bench"},
      {"board:/abs/dir", "board", "/abs/dir"},
      {"board:", "board", defaultRemoteDir},
      {"", "", nullptr},
      {":dir", "", nullptr},
      {"pi@", "", nullptr},
  };
  for (const auto& s : targets) {
    if (!s.dir) {
      EXPECT_THROW(parseRemote(s.where, "ssh"), BadInput) << s.where;
      continue;
    }
    const RemoteHost t = parseRemote(s.where, "ssh -p 2222");
    EXPECT_EQ(t.address, s.host);
    EXPECT_EQ(t.dir, s.dir);
    EXPECT_EQ(t.ssh, (std::vector<std::string>{"ssh", "-p", "2222"}));
  }
  EXPECT_THROW(parseRemote("board", " "), BadInput);
  // Each word comes back from the shell as it went in.
  for (const std::string word : {"plain", "two words", "it's", "", "$HOME", "a\"b\\c", "*"}) {
    RunRequest echo;
    echo.argv = {"/bin/sh", "-c", "printf %s " + shellQuote(word)};
    EXPECT_EQ(runProcess(echo).stdoutText(), word);
  }
}

} // namespace
} // namespace bench32
