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
#include <string>
#include <string_view>
#include <vector>

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
};

struct RunResult {
  std::shared_ptr<const MemoryFile> stdoutFile; // what the program wrote, whole
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

  // The whole standard output, for tools whose output is small.
  std::string stdoutText() const { return stdoutFile ? stdoutFile->readAll() : std::string(); }
  std::uint64_t stdoutSize() const { return stdoutFile ? stdoutFile->size() : 0; }
};

RunResult runProcess(const RunRequest& request);

// Splits a command prefix such as "qemu-arm -L /usr/arm-linux-gnueabihf" on blanks.
std::vector<std::string> splitWords(const std::string& text);

// The process group of the program being run, or 0; for an interrupt handler that
// must take the running program down with the harness.
int runningProcessGroup();

} // namespace bench32
