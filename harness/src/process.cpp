#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>

namespace bench32 {
namespace {

std::atomic<int> currentGroup{0};

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

double seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

// The spawner: a small process forked before the harness grows, which starts every
// program. A child forked from a large process begins with that process's resident
// size as its peak, and wait4 would report the harness's memory instead of the
// program's; a child of the spawner begins small.
int spawnerSocket = -1;

struct SpawnReply {
  int pid = -1;      // -1: fork failed (execErrno holds its errno)
  int execErrno = 0; // set when the program could not be started
  int status = 0;    // in the second reply, once the program has ended
  rusage usage{};
};

// In the child: plumbing, a process group of its own, default signals, then exec.
[[noreturn]] void execChild(int in, int out, int err, int execFd, const std::string& cwd,
                            char* const* argv) {
  setpgid(0, 0);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  signal(SIGPIPE, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  int error = 0;
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
    error = errno;
  } else {
    execvp(argv[0], argv);
    error = errno;
  }
  ssize_t ignored = write(execFd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

bool sendWithFds(int socket, const std::string& payload, const int (&fds)[3]) {
  iovec io{const_cast<char*>(payload.data()), payload.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof fds);
  std::memcpy(CMSG_DATA(header), fds, sizeof fds);
  ssize_t sent;
  while ((sent = sendmsg(socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return sent == ssize_t(payload.size());
}

// The request: the working directory, then each argument, each ended by a NUL.
[[noreturn]] void serveSpawns(int socket) {
  signal(SIGINT, SIG_IGN); // the harness decides what an interrupt stops
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  static char buffer[65536];
  for (;;) {
    iovec io{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (n <= 0) _exit(0); // the harness has gone
    int fds[3] = {-1, -1, -1};
    if (cmsghdr* header = CMSG_FIRSTHDR(&message);
        header && header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof fds))
      std::memcpy(fds, CMSG_DATA(header), sizeof fds);
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < std::size_t(n);) {
      const std::size_t end = std::find(buffer + at, buffer + n, '\0') - buffer;
      parts.emplace_back(buffer + at, end - at);
      at = end + 1;
    }
    SpawnReply reply;
    int execPipe[2] = {-1, -1};
    if (parts.size() < 2 || fds[0] < 0 || pipe2(execPipe, O_CLOEXEC) != 0) {
      reply.execErrno = EINVAL;
    } else {
      std::vector<char*> argv;
      for (std::size_t i = 1; i < parts.size(); ++i) argv.push_back(parts[i].data());
      argv.push_back(nullptr);
      const pid_t pid = fork();
      if (pid == 0) execChild(fds[0], fds[1], fds[2], execPipe[1], parts[0], argv.data());
      reply.pid = pid;
      if (pid < 0) reply.execErrno = errno;
      if (pid > 0) setpgid(pid, pid);
    }
    for (int& fd : fds) closeFd(fd);
    closeFd(execPipe[1]);
    if (reply.pid > 0 && read(execPipe[0], &reply.execErrno, sizeof reply.execErrno) <= 0)
      reply.execErrno = 0;
    closeFd(execPipe[0]);
    send(socket, &reply, sizeof reply, MSG_NOSIGNAL);
    if (reply.pid <= 0) continue;
    while (wait4(reply.pid, &reply.status, 0, &reply.usage) < 0 && errno == EINTR) {
    }
    send(socket, &reply, sizeof reply, MSG_NOSIGNAL);
  }
}

} // namespace

int runningProcessGroup() { return currentGroup.load(); }

void startSpawner() {
  if (spawnerSocket >= 0) return;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(ends[0]);
    serveSpawns(ends[1]);
  }
  ::close(ends[1]);
  if (pid < 0)
    ::close(ends[0]);
  else
    spawnerSocket = ends[0];
}

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream stream(text);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

RunResult runProcess(const RunRequest& request) {
  // A program may exit without reading all its input: the write then fails with EPIPE,
  // which is handled, instead of killing this process.
  signal(SIGPIPE, SIG_IGN);
  RunResult result;
  if (request.argv.empty()) {
    result.startError = "nothing to run";
    return result;
  }
  int inPipe[2], outPipe[2], errPipe[2], execPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(execPipe, O_CLOEXEC) != 0) {
    result.startError = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  std::vector<char*> argv;
  for (const auto& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  const bool viaSpawner = spawnerSocket >= 0;
  pid_t pid = -1;
  int execErr = 0;
  if (viaSpawner) {
    std::string payload = request.workingDirectory + '\0';
    for (const auto& a : request.argv) payload += a + '\0';
    SpawnReply reply;
    bool sent = sendWithFds(spawnerSocket, payload, {inPipe[0], outPipe[1], errPipe[1]});
    ssize_t got = -1;
    while (sent && (got = recv(spawnerSocket, &reply, sizeof reply, 0)) < 0 && errno == EINTR) {
    }
    if (got != sizeof reply) {
      reply.pid = -1;
      reply.execErrno = EPIPE;
    }
    pid = reply.pid;
    execErr = reply.execErrno;
  } else {
    pid = fork();
    if (pid == 0)
      execChild(inPipe[0], outPipe[1], errPipe[1], execPipe[1], request.workingDirectory,
                argv.data());
    if (pid < 0) execErr = errno;
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ::close(execPipe[1]);
  int inFd = inPipe[1], outFd = outPipe[0], errFd = errPipe[0], execFd = execPipe[0];
  if (pid < 0) {
    closeFd(inFd);
    closeFd(outFd);
    closeFd(errFd);
    closeFd(execFd);
    result.startError = std::string("cannot start a process: ") + std::strerror(execErr);
    return result;
  }
  if (!viaSpawner) setpgid(pid, pid); // also here, so that the group exists before any kill
  currentGroup = pid;
  // Readable once the program has ended: its end is timed here, without waiting for the
  // spawner's report (one more process to wake).
  int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
  fcntl(inFd, F_SETFL, O_NONBLOCK);

  if (!viaSpawner && read(execFd, &execErr, sizeof execErr) != sizeof execErr) execErr = 0;
  if (execErr != 0)
    result.startError =
        std::string("cannot run ") + request.argv[0] + ": " + std::strerror(execErr);
  closeFd(execFd);

  std::size_t written = 0;
  if (request.input.empty()) closeFd(inFd);
  char buffer[65536];
  const auto deadline =
      start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(request.timeout);
  auto cancelled = [&] { return request.cancel && request.cancel->load(); };
  while (outFd >= 0 || errFd >= 0) {
    if (cancelled()) {
      result.cancelled = true;
      kill(-pid, SIGKILL);
      break;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      break;
    }
    int waitMs =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    // A cancellation is noticed within a tenth of a second even without a signal.
    if (request.cancel) waitMs = std::min(waitMs, 100);
    pollfd fds[3];
    int n = 0;
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    int ready = poll(fds, nfds_t(n), waitMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        ssize_t w = write(inFd, request.input.data() + written, request.input.size() - written);
        if (w > 0) written += std::size_t(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == request.input.size())
          closeFd(inFd); // done, or the program stopped reading (EPIPE)
      } else {
        int& fd = fds[i].fd == outFd ? outFd : errFd;
        ssize_t r = read(fd, buffer, sizeof buffer);
        if (r > 0) {
          if (fd == outFd) {
            result.stdoutBytes.append(buffer, std::size_t(r));
          } else if (result.stderrBytes.size() < request.stderrLimit) {
            result.stderrBytes.append(buffer, std::size_t(r));
          }
        } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
          closeFd(fd);
        }
      }
    }
  }
  closeFd(inFd);
  closeFd(outFd);
  closeFd(errFd);

  // The program may close its output and go on running: the deadline still holds.
  // Waiting on a pidfd wakes us the moment it ends, so the wall time is not rounded
  // up to a polling interval.
  int status = 0;
  rusage usage{};
  std::optional<std::chrono::steady_clock::time_point> endedAt;
  auto noteEnd = [&] {
    if (!endedAt) endedAt = std::chrono::steady_clock::now();
  };
  for (;;) {
    const bool killed = result.timedOut || result.cancelled;
    if (viaSpawner) {
      // The spawner reports the end, with the program's own resource usage.
      pollfd watch[2] = {{spawnerSocket, POLLIN, 0}, {pidFd, POLLIN, 0}};
      poll(watch, pidFd >= 0 && !endedAt ? 2 : 1, 0);
      if (watch[1].revents) noteEnd();
      if (killed || watch[0].revents) {
        SpawnReply reply;
        const ssize_t n = recv(spawnerSocket, &reply, sizeof reply, 0);
        if (n < 0 && errno == EINTR) continue;
        noteEnd();
        if (n == sizeof reply) {
          status = reply.status;
          usage = reply.usage;
        } else {
          result.startError = "the process spawner has gone";
          closeFd(spawnerSocket);
        }
        break;
      }
    } else {
      pid_t done = wait4(pid, &status, killed ? 0 : WNOHANG, &usage);
      if (done == pid) {
        noteEnd();
        break;
      }
      if (done < 0) {
        if (errno == EINTR) continue;
        break;
      }
    }
    if (cancelled()) {
      result.cancelled = true;
      kill(-pid, SIGKILL);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      continue;
    }
    int waitMs =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    // A cancellation is noticed within a tenth of a second even without a signal.
    if (request.cancel) waitMs = std::min(waitMs, 100);
    pollfd watch[2] = {{viaSpawner ? spawnerSocket : pidFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
    const nfds_t count = viaSpawner && pidFd >= 0 && !endedAt ? 2 : 1;
    if (watch[0].fd >= 0)
      poll(watch, count, waitMs);
    else
      usleep(1000);
  }
  closeFd(pidFd);
  // Anything the program left running in its group goes with it.
  kill(-pid, SIGKILL);
  currentGroup = 0;
  result.wallSeconds =
      std::chrono::duration<double>(endedAt.value_or(std::chrono::steady_clock::now()) - start)
          .count();
  result.userSeconds = seconds(usage.ru_utime);
  result.systemSeconds = seconds(usage.ru_stime);
  result.maxRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

} // namespace bench32
