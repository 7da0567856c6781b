// Starting a program: in a child of a small helper process (the spawner) when there is
// one, so that the program's peak RSS from wait4 is its own; a child forked from a
// large process begins with that process's resident size as its peak.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench32 {

// Starts the spawner. Call it first thing in main, while the process is small.
void startSpawner();

// A started program, or why it could not be started.
struct Launch {
  pid_t pid = -1;
  int error = 0; // errno of the fork or the exec; 0 when the program runs
  // Just before the exec, on the monotonic clock every process shares: the start of the
  // program's wall time, without the hop to the spawner or the fork.
  std::chrono::steady_clock::time_point started;
};

// Starts argv[0] (a path, or a name on PATH) in a process group of its own, with the
// given descriptors as its standard input, output and error, in cwd (empty: ours), and
// with BENCH32_PADDING=<padding characters> added to its environment when padding > 0
// (which moves its initial stack). Through the spawner when there is one, else forked
// from this process.
Launch launch(const std::vector<std::string>& argv, const std::string& cwd, const int (&fds)[3],
              std::size_t padding = 0);

// How a launched program ended, without waiting: true once known (status and usage
// filled in; with the spawner, the usage its wait4 saw). endFd becomes readable when
// the end may be known: the spawner's socket, else the program's pidfd (or -1).
bool collectEnd(const Launch& launched, int& status, rusage& usage);
int endFd(const Launch& launched, int pidFd);

} // namespace bench32
