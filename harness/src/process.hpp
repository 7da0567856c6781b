// Runs one program: fork/exec with no shell in between, the input fed on a pipe,
// standard output and standard error captured, a wall-clock timeout that kills the
// whole process group, and the resource usage taken from wait4.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace bench32 {

struct RunRequest {
  std::vector<std::string> argv; // argv[0] is the executable (a path, or a name on PATH)
  std::string input;
  std::string workingDirectory; // empty: the harness's own
  std::chrono::duration<double> timeout{60.0};
  std::size_t stderrLimit = 64 * 1024; // keep this much of standard error
  // When set and it becomes true, the program's process group is killed (an interrupt).
  const std::atomic<bool>* cancel = nullptr;
};

struct RunResult {
  std::string stdoutBytes;
  std::string stderrBytes;
  int exitStatus = -1;    // set when the process exited
  int signal = 0;         // set when a signal ended it
  bool timedOut = false;  // killed by us after the timeout
  bool cancelled = false; // killed by us because the request was cancelled
  std::string startError; // non-empty when the program could not be started
  double wallSeconds = 0;
  double userSeconds = 0;
  double systemSeconds = 0;
  long maxRssKiB = 0;
};

RunResult runProcess(const RunRequest& request);

// Starts a small helper process through which every later runProcess starts its
// program, so that the program's peak RSS from wait4 is its own rather than inherited
// from a large parent. Call it first thing in main, while the process is small.
void startSpawner();

// Splits a command prefix such as "qemu-arm -L /usr/arm-linux-gnueabihf" on blanks.
std::vector<std::string> splitWords(const std::string& text);

// The process group of the program being run, or 0; for an interrupt handler that
// must take the running program down with the harness.
int runningProcessGroup();

} // namespace bench32
