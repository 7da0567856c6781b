// Runs one program: no shell in between; its input read from, and its standard output
// written to, unlinked files in memory, so that it never waits for the harness;
// standard error captured (bounded); a wall-clock timeout that kills the whole process
// group; the resource usage taken from wait4.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exec/cpu_list.hpp"

namespace bench32 {

// An unlinked file in memory (a memfd). Throws std::system_error when none can be made.
class MemoryFile {
public:
  explicit MemoryFile(const char* name);
  ~MemoryFile();
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  int fd() const { return fd_; }
  std::uint64_t size() const;
  // A new descriptor of the file, at its start, for reading only.
  int openForReading() const;
  void append(std::string_view bytes);
  // Calls take(chunk) for each piece of the file in order, reading a bounded amount
  // at a time; stops early when take returns false.
  void forEachChunk(const std::function<bool(std::string_view)>& take) const;
  std::string read(std::uint64_t offset, std::size_t length) const;
  std::string readAll() const;

private:
  int fd_ = -1;
};

struct RunRequest {
  std::vector<std::string> argv; // argv[0] is the executable (a path, or a name on PATH)
  std::string input;             // used when inputFile is not set
  // The input, written once and read from its start by every run that shares it.
  std::shared_ptr<const MemoryFile> inputFile;
  std::string workingDirectory; // empty: the harness's own
  std::chrono::duration<double> timeout{60.0};
  std::size_t stderrLimit = 64 * 1024; // keep this much of standard error
  // Characters of BENCH32_PADDING added to the environment (0: none), moving the
  // program's initial stack by about as many bytes.
  std::size_t environmentPadding = 0;
  // When set and it becomes true, the program's process group is killed (an interrupt).
  const std::atomic<bool>* cancel = nullptr;
  // The most the program may write to standard output. The file-size limit of the
  // program (and of any prefix it runs under) is set one byte above it, so that the
  // write that passes it shows in the file and the next one ends the program by
  // SIGXFSZ: the output in memory never grows past it. Unset: no limit.
  std::optional<std::uint64_t> stdoutLimit;
  // Bytes more that the file-size limit allows, for files that a prefix writes of its
  // own (valgrind writes its command line to one): the output may then pass its limit
  // by as much before the program is stopped, though the run still fails.
  std::uint64_t fileRoom = 0;
  std::vector<int> cpus; // the processors the program may run on; empty: the harness's
  // A start gate's ends (StartGate below), or -1: the program is held just before its
  // exec until the gate lets every program of it through at once.
  int gateReady = -1, gateOpen = -1;
};

// A start gate: programs run from several threads at once (copies, a duet) each stop
// just before their exec, once forked and set up, until all are ready; then all go at
// the same moment. Two pipes: the programs say they are ready on one and are let
// through on the other. Closed by closeGate.
struct StartGate {
  int readyRead = -1, readyWrite = -1, openRead = -1, openWrite = -1;
};
StartGate openGate(); // throws std::system_error when the pipes cannot be made
// Waits until `programs` are ready at the gate (or the timeout passes: a program that
// could not be forked never gets there), then lets them through. The number that were
// ready.
std::size_t releaseGate(const StartGate& gate, std::size_t programs,
                        std::chrono::milliseconds timeout);
void closeGate(StartGate& gate);

// The room a prefix (--run-under, an instruction counter) is given.
inline constexpr std::uint64_t prefixFileRoom = 1 << 20;

// What a program wrote, known only by its size and XXH3-64: a run on another machine
// whose output was too large to bring back.
struct OutputDigest {
  std::uint64_t size = 0;
  std::uint64_t xxh3 = 0;
};

struct RunResult {
  std::shared_ptr<const MemoryFile> stdoutFile; // what the program wrote, whole
  std::optional<OutputDigest> stdoutDigest;     // instead of stdoutFile, when set
  std::string stderrBytes;
  int exitStatus = -1;                      // set when the process exited
  int signal = 0;                           // set when a signal ended it
  bool timedOut = false;                    // killed by us after the timeout
  bool cancelled = false;                   // killed by us because the request was cancelled
  std::optional<std::uint64_t> stdoutLimit; // the request's
  bool stdoutOverflow = false;              // wrote more than stdoutLimit
  std::uint64_t fileSizeLimit = 0;          // the limit the program ran under; 0: none
  std::string startError;                   // non-empty when the program could not be started
  // When the program started (just before its exec), on the monotonic clock; unset
  // when it never started or the runner cannot tell.
  std::optional<std::chrono::steady_clock::time_point> started;
  double wallSeconds = 0;
  double userSeconds = 0;
  double systemSeconds = 0;
  long maxRssKiB = 0;

  // The whole standard output, for tools whose output is small.
  std::string stdoutText() const { return stdoutFile ? stdoutFile->readAll() : std::string(); }
  std::uint64_t stdoutSize() const {
    return stdoutFile ? stdoutFile->size() : stdoutDigest ? stdoutDigest->size : 0;
  }
};

// Safe to call from several threads at once: each run has its own files, process group
// and spawner.
RunResult runProcess(const RunRequest& request);

// Runs one program and says how it went: runProcess, a remote host's timer, or a
// stand-in in tests.
using Runner = std::function<RunResult(const RunRequest&)>;

// Kills the process group of every program being run; async-signal-safe, for an
// interrupt handler that must take the running programs down with the harness.
void killRunningProcessGroups();
// The process groups of the programs being run now.
std::vector<int> runningProcessGroups();

} // namespace bench32
