// bench32-timer: runs one program on the machine it is on, as the harness runs one at
// home, and prints what the run took as one line on standard output, followed by the
// program's output when that is small. It is what a remote target runs for every timed
// run, so it uses nothing but the C++ standard library and POSIX (and the header-only
// XXH3), and builds with every cross compiler of the suite.
//
//   bench32-timer [--cpu LIST] [--timeout S] [--stdout-limit N] [--file-room N]
//                 [--input FILE] -- [PREFIX...] PROGRAM
//
// The program's standard input is FILE (else empty), its standard output an unlinked
// file, its standard error the timer's own. It runs in a process group of its own, which
// is killed when the timeout passes. With --stdout-limit, every file it writes is
// limited to N + 1 + the room bytes, so that a program that writes too much ends by
// SIGXFSZ once it has shown it. The time runs from just before the exec (in the child)
// to the moment the process ends; user and system time and peak memory come from wait4.
//
// The line: "bench32-timer 1" and key=value fields separated by blanks, in this order:
// exit signal timed_out overflow wall_s user_s sys_s max_rss_kib stdout_size
// stdout_xxh3 included file_size_limit error; error is last and takes the rest of the
// line (empty when the program ran). When included is 1, exactly stdout_size bytes of
// output follow the line's newline. Exit status 0 when a line was printed, 2 on a usage
// error (with one line on standard error).
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "exec/cpu_list_syntax.hpp"

namespace {

constexpr std::uint64_t includedLimit = 64 * 1024;

struct Options {
  std::vector<int> cpus;
  double timeout = 120;
  std::optional<std::uint64_t> stdoutLimit;
  std::uint64_t fileRoom = 0;
  std::string input;
  std::vector<std::string> command;
};

struct Outcome {
  int exitStatus = -1, signal = 0;
  bool timedOut = false;
  double wall = 0, user = 0, sys = 0;
  long maxRssKiB = 0;
  std::uint64_t fileSizeLimit = 0;
  std::string error;
};

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr, "bench32-timer: %s\n", why.c_str());
  std::exit(2);
}

bool parseNumber(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

// "0", "0,2", "1-3": the kernel's list form, read as the harness reads it.
std::vector<int> parseCpus(const std::string& text) {
  std::string why;
  std::vector<int> cpus = bench32::readCpuList(text, why);
  if (!why.empty()) usage("--cpu " + text + ": " + why + " (a list such as 0, 0,2 or 1-3)");
  return cpus;
}

// The --cpu list as given, for messages.
std::string cpuText(int argc, char** argv) {
  for (int i = 1; i + 1 < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], "--cpu") == 0) return argv[i + 1];
  return "";
}

Options parseOptions(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) usage(name + " needs a value");
    const std::string value = argv[++i];
    std::uint64_t number = 0;
    if (name == "--cpu") {
      options.cpus = parseCpus(value);
    } else if (name == "--timeout") {
      char* end = nullptr;
      options.timeout = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end || !(options.timeout > 0 && options.timeout < 3.2e7))
        usage("--timeout " + value + ": not a number of seconds");
    } else if (name == "--stdout-limit" || name == "--file-room") {
      if (!parseNumber(value, number) || number >= (std::uint64_t{1} << 62))
        usage(name + " " + value + ": not a number of bytes");
      (name == "--file-room" ? options.fileRoom : options.stdoutLimit.emplace()) = number;
    } else if (name == "--input") {
      options.input = value;
    } else {
      usage("unknown option " + name);
    }
  }
  for (++i; i < argc; ++i) options.command.push_back(argv[i]);
  if (options.command.empty()) usage("no program given after --");
  return options;
}

// An unlinked file for the program's output: in memory where the kernel allows.
int outputFile() {
  const int fd = int(syscall(SYS_memfd_create, "bench32-output", 0));
  if (fd >= 0) return fd;
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench32-timer-XXXXXX";
  const int file = mkstemp(path.data());
  if (file >= 0) unlink(path.c_str());
  return file;
}

double seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// In the child: set up and exec; reports the start time, then (only when the exec
// fails) its errno, or minus the errno of a failed sched_setaffinity, on the pipe.
[[noreturn]] void child(const Options& options, int in, int out, int report,
                        std::uint64_t fileLimit) {
  setpgid(0, 0);
  if (!options.cpus.empty()) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int cpu : options.cpus) CPU_SET(cpu, &set);
    // A processor the target does not have: said as a negative errno, not run unpinned.
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
      const int error = -errno;
      const double start = now();
      if (write(report, &start, sizeof start) == sizeof start)
        if (write(report, &error, sizeof error) != sizeof error) _exit(127);
      _exit(127);
    }
  }
  if (fileLimit > 0) {
    const rlimit limit{rlim_t(fileLimit), rlim_t(fileLimit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  signal(SIGXFSZ, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  std::vector<char*> argv;
  for (const auto& word : options.command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const double start = now();
  if (write(report, &start, sizeof start) != sizeof start) _exit(127);
  execvp(argv[0], argv.data());
  const int error = errno;
  if (write(report, &error, sizeof error) != sizeof error) _exit(127);
  _exit(127);
}

// Waits for the child's end, killing its group once the timeout has passed; the end
// is seen through a pidfd where the kernel has them, else looked for every millisecond.
void waitForEnd(pid_t pid, double deadline, Outcome& outcome, int& status, rusage& usage) {
  const int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
  double endedAt = 0;
  for (;;) {
    if (!outcome.timedOut && now() >= deadline) {
      outcome.timedOut = true;
      kill(-pid, SIGKILL);
    }
    const pid_t got = wait4(pid, &status, WNOHANG, &usage);
    if (got == pid) break;
    if (got < 0 && errno != EINTR) {
      outcome.error = std::string("cannot wait for the program: ") + std::strerror(errno);
      break;
    }
    if (pidFd >= 0) {
      pollfd watch{pidFd, POLLIN, 0};
      const int waitMs = outcome.timedOut ? 100 : int((deadline - now()) * 1000) + 1;
      if (poll(&watch, 1, std::max(waitMs, 0)) > 0 && !endedAt) endedAt = now();
    } else {
      const timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
  }
  outcome.wall = (endedAt ? endedAt : now());
  if (pidFd >= 0) close(pidFd);
}

Outcome runProgram(const Options& options, int out, const std::string& cpuText) {
  Outcome outcome;
  const int in = options.input.empty() ? open("/dev/null", O_RDONLY | O_CLOEXEC)
                                       : open(options.input.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    outcome.error = "cannot open the input " + options.input + ": " + std::strerror(errno);
    return outcome;
  }
  if (options.stdoutLimit) outcome.fileSizeLimit = *options.stdoutLimit + 1 + options.fileRoom;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    outcome.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return outcome;
  }
  const pid_t pid = fork();
  if (pid == 0) child(options, in, out, report[1], outcome.fileSizeLimit);
  close(report[1]);
  close(in);
  if (pid < 0) {
    outcome.error = std::string("cannot start a process: ") + std::strerror(errno);
    close(report[0]);
    return outcome;
  }
  setpgid(pid, pid);
  double start = now();
  int execError = 0;
  if (read(report[0], &start, sizeof start) == sizeof start &&
      read(report[0], &execError, sizeof execError) == sizeof execError)
    outcome.error = execError < 0
                        ? "cannot run on processors " + cpuText + ": " + std::strerror(-execError)
                        : "cannot run " + options.command[0] + ": " + std::strerror(execError);
  close(report[0]);
  int status = 0;
  rusage usage{};
  waitForEnd(pid, start + options.timeout, outcome, status, usage);
  kill(-pid, SIGKILL); // anything it left running in its group goes with it
  outcome.wall -= start;
  outcome.user = seconds(usage.ru_utime);
  outcome.sys = seconds(usage.ru_stime);
  outcome.maxRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}

void writeAll(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::exit(3);
    data += n;
    size -= std::size_t(n);
  }
}

// The output's size and XXH3-64, read a chunk at a time; its bytes too when small.
std::uint64_t digestOutput(int out, std::uint64_t& size, std::string& small) {
  XXH3_state_t state;
  XXH3_INITSTATE(&state);
  XXH3_64bits_reset(&state);
  std::vector<char> buffer(1 << 20);
  size = 0;
  for (;;) {
    const ssize_t n = pread(out, buffer.data(), buffer.size(), off_t(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    XXH3_64bits_update(&state, buffer.data(), std::size_t(n));
    if (size + std::uint64_t(n) <= includedLimit) small.append(buffer.data(), std::size_t(n));
    size += std::uint64_t(n);
  }
  return XXH3_64bits_digest(&state);
}

} // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  const int out = outputFile();
  Outcome outcome;
  if (out < 0)
    outcome.error = std::string("cannot make a file for the output: ") + std::strerror(errno);
  else
    outcome = runProgram(options, out, cpuText(argc, argv));
  std::uint64_t size = 0;
  std::string small;
  const std::uint64_t xxh3 = out >= 0 ? digestOutput(out, size, small) : 0;
  const bool included = size <= includedLimit;
  const bool overflow = options.stdoutLimit && size > *options.stdoutLimit;
  char line[512];
  const int length = std::snprintf(
      line, sizeof line,
      "bench32-timer 1 exit=%d signal=%d timed_out=%d overflow=%d wall_s=%.9f user_s=%.6f "
      "sys_s=%.6f max_rss_kib=%ld stdout_size=%" PRIu64 " stdout_xxh3=%016" PRIx64
      " included=%d file_size_limit=%" PRIu64 " error=",
      outcome.exitStatus, outcome.signal, int(outcome.timedOut), int(overflow), outcome.wall,
      outcome.user, outcome.sys, outcome.maxRssKiB, size, xxh3, int(included),
      outcome.fileSizeLimit);
  std::string report(line, std::size_t(std::max(length, 0)));
  for (const char c : outcome.error) report += c == '\n' ? ' ' : c;
  report += '\n';
  if (included) report += small;
  writeAll(report.data(), report.size());
  return 0;
}
