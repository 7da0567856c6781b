#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace bench32 {
namespace {

std::atomic<int> currentGroup{0};

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

double seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

} // namespace

int runningProcessGroup() { return currentGroup.load(); }

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
  pid_t pid = fork();
  if (pid < 0) {
    result.startError = std::string("fork: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    setpgid(0, 0);
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    int err = 0;
    if (!request.workingDirectory.empty() && chdir(request.workingDirectory.c_str()) != 0) {
      err = errno;
    } else {
      execvp(argv[0], argv.data());
      err = errno;
    }
    ssize_t ignored = write(execPipe[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  setpgid(pid, pid); // also here, so that the group exists before any kill
  currentGroup = pid;
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ::close(execPipe[1]);
  int inFd = inPipe[1], outFd = outPipe[0], errFd = errPipe[0], execFd = execPipe[0];
  fcntl(inFd, F_SETFL, O_NONBLOCK);

  int execErr = 0;
  if (read(execFd, &execErr, sizeof execErr) == sizeof execErr)
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
  int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    const bool killed = result.timedOut || result.cancelled;
    pid_t done = wait4(pid, &status, killed ? 0 : WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      break;
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
    if (pidFd >= 0) {
      pollfd ended{pidFd, POLLIN, 0};
      poll(&ended, 1, waitMs);
    } else {
      usleep(1000);
    }
  }
  closeFd(pidFd);
  // Anything the program left running in its group goes with it.
  kill(-pid, SIGKILL);
  currentGroup = 0;
  result.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.userSeconds = seconds(usage.ru_utime);
  result.systemSeconds = seconds(usage.ru_stime);
  result.maxRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

} // namespace bench32
