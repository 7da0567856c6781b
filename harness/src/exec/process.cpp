#include "exec/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <set>
#include <system_error>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/spawner.hpp"

namespace bench32 {
namespace {

// The process groups of the programs running now, one slot each (0: free), so that
// an interrupt handler can kill them all without a lock. Runs beyond the slots are
// still stopped by their request's cancel flag, within a tenth of a second.
constexpr std::size_t groupSlots = 256;
std::atomic<int> runningGroups[groupSlots];
static_assert(std::atomic<int>::is_always_lock_free);

// Takes a free slot for the group; the slot's index, or groupSlots when all are taken.
std::size_t holdGroup(int group) {
  for (std::size_t i = 0; i < groupSlots; ++i) {
    int free = 0;
    if (runningGroups[i].compare_exchange_strong(free, group)) return i;
  }
  return groupSlots;
}

void releaseGroup(std::size_t slot) {
  if (slot < groupSlots) runningGroups[slot] = 0;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

double seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

constexpr std::size_t chunkSize = 1 << 20;

} // namespace

MemoryFile::MemoryFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
}

MemoryFile::~MemoryFile() { closeFd(fd_); }

std::uint64_t MemoryFile::size() const {
  struct stat info {};
  return fstat(fd_, &info) == 0 ? std::uint64_t(info.st_size) : 0;
}

int MemoryFile::openForReading() const {
  // Opening the file anew, rather than dup, gives a descriptor with its own offset.
  const std::string path = "/proc/self/fd/" + std::to_string(fd_);
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

void MemoryFile::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "writing an input file");
    bytes.remove_prefix(std::size_t(n));
  }
}

void MemoryFile::forEachChunk(const std::function<bool(std::string_view)>& take) const {
  std::string buffer(chunkSize, '\0');
  for (std::uint64_t offset = 0;;) {
    const ssize_t n = pread(fd_, buffer.data(), buffer.size(), off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    offset += std::uint64_t(n);
    if (!take(std::string_view(buffer.data(), std::size_t(n)))) return;
  }
}

std::string MemoryFile::read(std::uint64_t offset, std::size_t length) const {
  std::string text(length, '\0');
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = pread(fd_, text.data() + got, length - got, off_t(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += std::size_t(n);
  }
  text.resize(got);
  return text;
}

std::string MemoryFile::readAll() const { return read(0, std::size_t(size())); }

std::vector<int> runningProcessGroups() {
  std::vector<int> groups;
  for (const auto& group : runningGroups)
    if (const int g = group.load(); g > 0) groups.push_back(g);
  return groups;
}

void killRunningProcessGroups() {
  for (auto& group : runningGroups)
    if (const int g = group.load(); g > 0) kill(-g, SIGKILL);
}

namespace {

// The files and pipe of one run: the program's input, its standard output, and the
// two ends of its standard error's pipe. Closed when done with.
struct Plumbing {
  std::shared_ptr<const MemoryFile> input;
  std::shared_ptr<MemoryFile> output;
  int inFd = -1, errRead = -1, errWrite = -1;
  Plumbing() = default;
  Plumbing(const Plumbing&) = delete;
  Plumbing& operator=(const Plumbing&) = delete;
  ~Plumbing() {
    closeFd(inFd);
    closeFd(errRead);
    closeFd(errWrite);
  }
};

// Sets up the run's files (the output is in result as soon as it exists); false, with
// result.startError saying why, when they cannot be made.
bool setUpPlumbing(const RunRequest& request, Plumbing& io, RunResult& result) {
  try {
    io.input = request.inputFile;
    if (!io.input) {
      auto file = std::make_shared<MemoryFile>("bench32-input");
      file->append(request.input);
      io.input = file;
    }
    io.output = std::make_shared<MemoryFile>("bench32-output");
  } catch (const std::system_error& e) {
    result.startError = e.what();
    return false;
  }
  result.stdoutFile = io.output;
  io.inFd = io.input->openForReading();
  int errPipe[2] = {-1, -1};
  if (io.inFd < 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    result.startError = std::string("cannot set up the program's input: ") + std::strerror(errno);
    return false;
  }
  io.errRead = errPipe[0];
  io.errWrite = errPipe[1];
  return true;
}

} // namespace

StartGate openGate() {
  int ready[2], open[2];
  if (pipe2(ready, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "start gate");
  if (pipe2(open, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(ready[0]);
    ::close(ready[1]);
    throw std::system_error(error, std::generic_category(), "start gate");
  }
  return {ready[0], ready[1], open[0], open[1]};
}

std::size_t releaseGate(const StartGate& gate, std::size_t programs,
                        std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t ready = 0;
  while (ready < programs) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{gate.readyRead, POLLIN, 0};
    const int n = poll(&p, 1, int(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char bytes[64];
    const ssize_t got = read(gate.readyRead, bytes, std::min(sizeof bytes, programs - ready));
    if (got > 0) ready += std::size_t(got);
  }
  // One byte each lets them through; the ones that never came find theirs later.
  const std::string through(programs, '\1');
  for (std::size_t sent = 0; sent < through.size();) {
    const ssize_t n = write(gate.openWrite, through.data() + sent, through.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += std::size_t(n);
  }
  return ready;
}

void closeGate(StartGate& gate) {
  for (int* fd : {&gate.readyRead, &gate.readyWrite, &gate.openRead, &gate.openWrite}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

namespace {

ChildSetup childSetup(const RunRequest& request) {
  ChildSetup setup;
  setup.workingDirectory = request.workingDirectory;
  setup.padding = request.environmentPadding;
  // Far above anything a program writes, so the sum cannot wrap round.
  if (request.stdoutLimit && *request.stdoutLimit < (std::uint64_t{1} << 62) &&
      request.fileRoom < (std::uint64_t{1} << 62))
    setup.fileSizeLimit = *request.stdoutLimit + 1 + request.fileRoom;
  setup.cpus = request.cpus;
  setup.gateReady = request.gateReady;
  setup.gateOpen = request.gateOpen;
  return setup;
}

// Reads from standard error's pipe once, without waiting, keeping what fits under the
// limit; closes the pipe at its end or on an error. True when something was read.
bool readStderr(int& errFd, RunResult& result, std::size_t limit) {
  char buffer[65536];
  const ssize_t n = ::read(errFd, buffer, sizeof buffer);
  if (n > 0 && result.stderrBytes.size() < limit)
    result.stderrBytes.append(buffer, std::min(std::size_t(n), limit - result.stderrBytes.size()));
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) closeFd(errFd);
  return n > 0;
}

// Kills the program's group once its deadline has passed or its request is cancelled.
void killWhenDue(const RunRequest& request, pid_t pid,
                 std::chrono::steady_clock::time_point deadline, RunResult& result) {
  if (result.timedOut || result.cancelled) return;
  if (request.cancel && request.cancel->load()) {
    result.cancelled = true;
    kill(-pid, SIGKILL);
  } else if (std::chrono::steady_clock::now() >= deadline) {
    result.timedOut = true;
    kill(-pid, SIGKILL);
  }
}

struct Ending {
  int status = 0;
  rusage usage{};
  std::chrono::steady_clock::time_point at;
};

// Waits for the program to end. One loop for the whole run: standard error is drained
// (a full pipe would stop the program), the deadline and a cancellation are watched, and
// the end is collected.
Ending waitForEnd(const RunRequest& request, const Launch& launched, int& errFd,
                  RunResult& result) {
  // Readable the moment the program ends: its end is timed then, without waiting for
  // the spawner's report (one more process to wake).
  int pidFd = int(syscall(SYS_pidfd_open, launched.pid, 0));
  const int endWatch = endFd(launched, pidFd);
  fcntl(errFd, F_SETFL, O_NONBLOCK);
  // Bounded, so that converting it to clock ticks cannot overflow: a year is "never".
  const auto timeout = std::min(request.timeout, std::chrono::duration<double>(3.2e7));
  const auto deadline =
      launched.started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
  Ending ending;
  std::optional<std::chrono::steady_clock::time_point> endedAt;
  for (;;) {
    killWhenDue(request, launched.pid, deadline, result);
    if (collectEnd(launched, ending.status, ending.usage)) {
      if (!endedAt) endedAt = std::chrono::steady_clock::now();
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    int waitMs =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    // A cancellation is noticed within a tenth of a second even without a signal.
    if (request.cancel || result.timedOut || result.cancelled) waitMs = std::min(waitMs, 100);
    if (endWatch < 0) waitMs = std::min(waitMs, 1); // nothing to wake us: look again soon
    pollfd watch[3];
    nfds_t count = 0;
    if (errFd >= 0) watch[count++] = {errFd, POLLIN, 0};
    if (endWatch >= 0) watch[count++] = {endWatch, POLLIN, 0};
    if (pidFd >= 0 && pidFd != endWatch && !endedAt) watch[count++] = {pidFd, POLLIN, 0};
    if (poll(watch, count, std::max(waitMs, 0)) <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (watch[i].revents && watch[i].fd == pidFd && !endedAt)
        endedAt = std::chrono::steady_clock::now();
      if (watch[i].revents && watch[i].fd == errFd) readStderr(errFd, result, request.stderrLimit);
    }
  }
  closeFd(pidFd);
  ending.at = *endedAt;
  return ending;
}

} // namespace

RunResult runProcess(const RunRequest& request) {
  RunResult result;
  if (request.argv.empty()) {
    result.startError = "nothing to run";
    return result;
  }
  Plumbing io;
  if (!setUpPlumbing(request, io, result)) return result;
  const ChildSetup setup = childSetup(request);
  const Launch launched = launch(request.argv, setup, {io.inFd, io.output->fd(), io.errWrite});
  closeFd(io.inFd);
  closeFd(io.errWrite);
  if (launched.pid < 0) {
    result.startError = std::string("cannot start a process: ") + std::strerror(launched.error);
    return result;
  }
  if (launched.error != 0)
    result.startError =
        std::string("cannot run ") + request.argv[0] + ": " + std::strerror(launched.error);
  const std::size_t slot = holdGroup(launched.pid);
  const Ending ending = waitForEnd(request, launched, io.errRead, result);
  // What is still in the pipe, without waiting for a child the program left behind.
  while (io.errRead >= 0 && readStderr(io.errRead, result, request.stderrLimit)) {
  }
  // Anything the program left running in its group goes with it.
  kill(-launched.pid, SIGKILL);
  releaseGroup(slot);
  result.started = launched.started;
  result.wallSeconds = std::chrono::duration<double>(ending.at - launched.started).count();
  result.userSeconds = seconds(ending.usage.ru_utime);
  result.systemSeconds = seconds(ending.usage.ru_stime);
  result.maxRssKiB = ending.usage.ru_maxrss;
  if (WIFEXITED(ending.status)) result.exitStatus = WEXITSTATUS(ending.status);
  if (WIFSIGNALED(ending.status)) result.signal = WTERMSIG(ending.status);
  result.stdoutLimit = request.stdoutLimit;
  result.fileSizeLimit = setup.fileSizeLimit;
  result.stdoutOverflow = request.stdoutLimit && io.output->size() > *request.stdoutLimit;
  return result;
}

} // namespace bench32
