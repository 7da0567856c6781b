#include "exec/spawner.hpp"

#include "exec/files.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace bench32 {
namespace {

// The factory's socket (-1: none, programs are forked from this process), and the
// spawners that serve no program now; both guarded by poolMutex.
int factorySocket = -1;
std::mutex poolMutex;
std::vector<int> idleSpawners;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A spawner for one program: an idle one, else a new one from the factory; -1 when
// there is none to be had.
int takeSpawner() {
  const std::lock_guard lock(poolMutex);
  if (!idleSpawners.empty()) {
    const int spawner = idleSpawners.back();
    idleSpawners.pop_back();
    return spawner;
  }
  if (factorySocket < 0) return -1;
  char byte = 0;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got = -1;
  if (send(factorySocket, &byte, 1, MSG_NOSIGNAL) == 1)
    while ((got = recvmsg(factorySocket, &message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
  if (got <= 0) {
    closeFd(factorySocket); // the factory has gone: programs are forked from here
    return -1;
  }
  int spawner = -1;
  if (cmsghdr* header = CMSG_FIRSTHDR(&message);
      header && header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof spawner))
    std::memcpy(&spawner, CMSG_DATA(header), sizeof spawner);
  return spawner;
}

void returnSpawner(int spawner) {
  const std::lock_guard lock(poolMutex);
  idleSpawners.push_back(spawner);
}

// In the child forked to be the factory: becomes bench32-spawner, which serves the
// socket left open across the exec. Returns only when the exec failed, having said so,
// with the socket closed on exec again.
void execFactory(const std::string& program, int socket, const std::string& socketText,
                 pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // kept across the exec: it goes with its parent
  if (getppid() != parent) _exit(0); // which has gone already
  fcntl(socket, F_SETFD, 0);
  execl(program.c_str(), program.c_str(), "--socket", socketText.c_str(), nullptr);
  fcntl(socket, F_SETFD, FD_CLOEXEC);
  const char warning[] = "bench32: warning: bench32-spawner could not be started: programs "
                         "are forked from a copy of this process\n";
  ssize_t ignored = write(STDERR_FILENO, warning, sizeof warning - 1);
  (void)ignored;
}

} // namespace

void startSpawner() {
  const std::lock_guard lock(poolMutex);
  if (factorySocket >= 0) return;
  const std::string program = besideSelf("bench32-spawner").string();
  const bool found = !program.empty() && access(program.c_str(), X_OK) == 0;
  if (!found)
    std::fprintf(stderr,
                 "bench32: warning: no bench32-spawner beside this executable: programs are "
                 "forked from a copy of it, whose resident size counts in their peak RSS\n");
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
  const std::string socketText = std::to_string(ends[1]);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(ends[0]);
    if (found) execFactory(program, ends[1], socketText, parent);
    serveFactory(ends[1]);
  }
  ::close(ends[1]);
  if (pid < 0)
    ::close(ends[0]);
  else
    factorySocket = ends[0];
}

Launch launch(const std::vector<std::string>& argv, const ChildSetup& setup, const int (&fds)[3]) {
  const int spawner = takeSpawner();
  if (spawner < 0) return forkAndExec(argv, setup, fds);
  SpawnReply reply;
  const bool gated = setup.gateReady >= 0 && setup.gateOpen >= 0;
  const int attached[maxAttachedFds] = {fds[0], fds[1], fds[2], setup.gateReady, setup.gateOpen};
  const bool sent =
      sendWithFds(spawner, encodeRequest(argv, setup), attached, gated ? maxAttachedFds : 3);
  ssize_t got = -1;
  while (sent && (got = recv(spawner, &reply, sizeof reply, 0)) < 0 && errno == EINTR) {
  }
  if (got != sizeof reply) {
    ::close(spawner); // it has gone; the next program gets a new one
    return {-1, EPIPE, {}, -1};
  }
  const Launch launched{
      reply.pid, reply.execErrno,
      std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(reply.started)),
      reply.pid > 0 ? spawner : -1};
  // Without a program to wait for, the spawner sends no second reply.
  if (reply.pid <= 0) returnSpawner(spawner);
  return launched;
}

int endFd(const Launch& launched, int pidFd) {
  return launched.channel >= 0 ? launched.channel : pidFd;
}

bool collectEnd(const Launch& launched, int& status, rusage& usage) {
  if (launched.channel >= 0) {
    pollfd watch{launched.channel, POLLIN, 0};
    if (poll(&watch, 1, 0) <= 0) return false;
    SpawnReply reply;
    const ssize_t n = recv(launched.channel, &reply, sizeof reply, 0);
    if (n < 0 && errno == EINTR) return false;
    if (n != sizeof reply) {
      // The spawner has gone: the program's end can no longer be known.
      ::close(launched.channel);
      status = W_EXITCODE(127, 0);
      return true;
    }
    returnSpawner(launched.channel);
    status = reply.status;
    usage = reply.usage;
    return true;
  }
  const pid_t done = wait4(launched.pid, &status, WNOHANG, &usage);
  return done == launched.pid || (done < 0 && errno != EINTR);
}

} // namespace bench32
