#include "exec/spawn_service.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench32 {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The fields of a request before the arguments (see encodeRequest).
constexpr std::size_t requestHeaderFields = 4;

// In the child: plumbing, a process group of its own, default signals, the file-size
// limit and the processors, then exec. The clock starts here, just before the exec,
// and goes to the parent on execFd, so that a run's time leaves out the fork and the
// copying of the parent's page tables; an exec failure follows it on execFd.
[[noreturn]] void execChild(const int (&fds)[3], int execFd, const ChildSetup& setup,
                            const rlimit* fileSize, const cpu_set_t* cpus, char* const* argv,
                            char* const* envp) {
  const std::string& cwd = setup.workingDirectory;
  setpgid(0, 0);
  for (int i = 0; i < 3; ++i) dup2(fds[i], i);
  // SIGXFSZ too: ignored or blocked, a write past the limit would fail with EFBIG and
  // leave a program that retries running until its timeout.
  for (const int s : {SIGPIPE, SIGINT, SIGTERM, SIGXFSZ}) signal(s, SIG_DFL);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, SIGXFSZ);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  int error = 0;
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
    error = errno;
  } else if (fileSize && setrlimit(RLIMIT_FSIZE, fileSize) != 0) {
    error = errno;
  } else if (cpus && sched_setaffinity(0, sizeof *cpus, cpus) != 0) {
    error = errno;
  } else {
    // At the gate: ready, then held until the harness lets it through (a byte, or the
    // end of the file when the harness has given up).
    if (setup.gateReady >= 0 && setup.gateOpen >= 0) {
      const char ready = 1;
      ssize_t wrote;
      while ((wrote = write(setup.gateReady, &ready, 1)) < 0 && errno == EINTR) {
      }
      char open = 0;
      while (read(setup.gateOpen, &open, 1) < 0 && errno == EINTR) {
      }
      (void)wrote;
    }
    const auto started = std::chrono::steady_clock::now().time_since_epoch().count();
    if (write(execFd, &started, sizeof started) == sizeof started) execvpe(argv[0], argv, envp);
    error = errno;
  }
  ssize_t ignored = write(execFd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

bool readFully(int fd, void* into, std::size_t size) {
  ssize_t got;
  while ((got = read(fd, into, size)) < 0 && errno == EINTR) {
  }
  return got == ssize_t(size);
}

} // namespace

// Forks and execs; the exec's errno, if any, comes back on a close-on-exec pipe.
Launch forkAndExec(const std::vector<std::string>& args, const ChildSetup& setup,
                   const int (&fds)[3]) {
  Launch launched;
  int execPipe[2];
  if (pipe2(execPipe, O_CLOEXEC) != 0) {
    launched.error = errno;
    return launched;
  }
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The environment, and the padding at its end; built before the fork.
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  std::string pad;
  if (setup.padding > 0) {
    pad = "BENCH32_PADDING=" + std::string(setup.padding, 'x');
    envp.push_back(pad.data());
  }
  envp.push_back(nullptr);
  // The limits too, so that the child only makes system calls.
  rlimit fileSize{};
  const bool limitFiles = setup.fileSizeLimit > 0 && getrlimit(RLIMIT_FSIZE, &fileSize) == 0;
  if (limitFiles) {
    // Never above the hard limit, which an unprivileged process cannot raise.
    fileSize.rlim_cur = std::min<rlim_t>(setup.fileSizeLimit, fileSize.rlim_max);
    fileSize.rlim_max = fileSize.rlim_cur;
  }
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  for (const int cpu : setup.cpus)
    if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_SET(cpu, &cpus);
  launched.started = std::chrono::steady_clock::now(); // in case the child sends no start
  launched.pid = fork();
  if (launched.pid == 0)
    execChild(fds, execPipe[1], setup, limitFiles ? &fileSize : nullptr,
              setup.cpus.empty() ? nullptr : &cpus, argv.data(), envp.data());
  closeFd(execPipe[1]);
  if (launched.pid < 0) {
    launched.error = errno;
  } else {
    setpgid(launched.pid, launched.pid); // also here, so the group exists before any kill
    std::chrono::steady_clock::duration::rep started = 0;
    if (readFully(execPipe[0], &started, sizeof started))
      launched.started =
          std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(started));
    // End of file: the exec succeeded; otherwise its errno.
    if (!readFully(execPipe[0], &launched.error, sizeof launched.error)) launched.error = 0;
  }
  closeFd(execPipe[0]);
  return launched;
}

bool sendWithFds(int socket, const std::string& payload, const int* fds, std::size_t count) {
  iovec io{const_cast<char*>(payload.data()), payload.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(maxAttachedFds * sizeof(int))] = {};
  count = std::min(count, maxAttachedFds);
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  if (count > 0) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(header), fds, count * sizeof(int));
  }
  ssize_t sent;
  while ((sent = sendmsg(socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return sent == ssize_t(payload.size());
}

// A request to the spawner: the working directory, the padding and the file-size
// limit (in decimal), the processors (decimal, comma-separated; empty: ours), then each
// argument, each ended by a NUL; the three descriptors are attached.
std::string encodeRequest(const std::vector<std::string>& argv, const ChildSetup& setup) {
  std::string cpus;
  for (const int cpu : setup.cpus) cpus += (cpus.empty() ? "" : ",") + std::to_string(cpu);
  std::string payload = setup.workingDirectory + '\0' + std::to_string(setup.padding) + '\0' +
                        std::to_string(setup.fileSizeLimit) + '\0' + cpus + '\0';
  for (const auto& a : argv) payload += a + '\0';
  return payload;
}

namespace {

ChildSetup decodeSetup(const std::vector<std::string>& parts) {
  ChildSetup setup;
  setup.workingDirectory = parts[0];
  setup.padding = std::strtoul(parts[1].c_str(), nullptr, 10);
  setup.fileSizeLimit = std::strtoull(parts[2].c_str(), nullptr, 10);
  for (const char* at = parts[3].c_str(); *at;) {
    char* end = nullptr;
    setup.cpus.push_back(int(std::strtol(at, &end, 10)));
    at = *end == ',' ? end + 1 : end + std::strlen(end);
  }
  return setup;
}

// The spawner's loop: a request (above), then two replies: the start, and the end with
// the program's resource usage.
[[noreturn]] void serveSpawns(int socket) {
  signal(SIGINT, SIG_IGN); // the harness decides what an interrupt stops
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGKILL); // its parent: the factory, which goes with the harness
  static char buffer[65536];
  for (;;) {
    iovec io{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(maxAttachedFds * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (n <= 0) _exit(0); // the harness has gone
    // The standard descriptors, and a start gate's two ends when it has one.
    int attached[maxAttachedFds] = {-1, -1, -1, -1, -1};
    if (cmsghdr* header = CMSG_FIRSTHDR(&message);
        header && header->cmsg_type == SCM_RIGHTS &&
        (header->cmsg_len == CMSG_LEN(3 * sizeof(int)) ||
         header->cmsg_len == CMSG_LEN(maxAttachedFds * sizeof(int))))
      std::memcpy(attached, CMSG_DATA(header), header->cmsg_len - CMSG_LEN(0));
    int fds[3] = {attached[0], attached[1], attached[2]};
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < std::size_t(n);) {
      const std::size_t end = std::find(buffer + at, buffer + n, '\0') - buffer;
      parts.emplace_back(buffer + at, end - at);
      at = end + 1;
    }
    SpawnReply reply;
    if (parts.size() <= requestHeaderFields || fds[0] < 0) {
      reply.execErrno = EINVAL;
    } else {
      ChildSetup setup = decodeSetup(parts);
      setup.gateReady = attached[3];
      setup.gateOpen = attached[4];
      const Launch launched = forkAndExec(
          std::vector<std::string>(parts.begin() + requestHeaderFields, parts.end()), setup, fds);
      reply.pid = launched.pid;
      reply.execErrno = launched.error;
      reply.started = launched.started.time_since_epoch().count();
    }
    for (int& fd : fds) closeFd(fd);
    closeFd(attached[3]);
    closeFd(attached[4]);
    send(socket, &reply, sizeof reply, MSG_NOSIGNAL);
    if (reply.pid <= 0) continue;
    while (wait4(reply.pid, &reply.status, 0, &reply.usage) < 0 && errno == EINTR) {
    }
    send(socket, &reply, sizeof reply, MSG_NOSIGNAL);
  }
}

} // namespace

// The factory's loop: each request (one byte) is answered with a new spawner, forked
// from this small process, whose socket comes back attached (nothing attached when
// none could be made). Spawners that end are reaped by the kernel.
[[noreturn]] void serveFactory(int socket) {
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (;;) {
    char byte = 0;
    const ssize_t n = recv(socket, &byte, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(0); // the harness has gone
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0) {
      const pid_t pid = fork();
      if (pid == 0) {
        ::close(socket);
        ::close(ends[0]);
        signal(SIGCHLD, SIG_DFL); // the spawner waits for its programs
        serveSpawns(ends[1]);
      }
      if (pid < 0) closeFd(ends[0]);
      closeFd(ends[1]);
    }
    sendWithFds(socket, std::string(1, '\0'), &ends[0], ends[0] >= 0 ? 1 : 0);
    closeFd(ends[0]);
  }
}

} // namespace bench32
