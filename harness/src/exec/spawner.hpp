// Starting a program: in a child of a small helper process (a spawner) when there is
// one, so that the program's peak RSS from wait4 is its own; a child forked from a
// large process begins with that process's resident size as its peak. A spawner serves
// one program at a time; programs started at once from several threads each get a
// spawner of their own, forked on demand by a small factory process started first.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench32 {

// Starts the spawners' factory. Call it first thing in main, while the process is small.
void startSpawner();

// A started program, or why it could not be started.
struct Launch {
  pid_t pid = -1;
  int error = 0; // errno of the fork or the exec; 0 when the program runs
  // Just before the exec, on the monotonic clock every process shares: the start of the
  // program's wall time, without the hop to the spawner or the fork.
  std::chrono::steady_clock::time_point started;
  // The spawner's socket the end will come on, or -1 (forked from this process). It goes
  // back to the spawners' pool once collectEnd has seen the end.
  int channel = -1;
};

// What the child is given besides its command and descriptors.
struct ChildSetup {
  std::string workingDirectory; // empty: ours
  // Characters of BENCH32_PADDING=xxx... added to its environment (which moves its
  // initial stack); 0: no variable.
  std::size_t padding = 0;
  // RLIMIT_FSIZE, in bytes, for every file it writes (0: ours): a write past it ends
  // the program by SIGXFSZ, whose default action is made sure of.
  std::uint64_t fileSizeLimit = 0;
  std::vector<int> cpus; // the processors it may run on; empty: ours
};

// Starts argv[0] (a path, or a name on PATH) in a process group of its own, with the
// given descriptors as its standard input, output and error, set up as asked. Through
// an idle spawner when there is one, else forked from this process. Safe to call from
// several threads at once.
Launch launch(const std::vector<std::string>& argv, const ChildSetup& setup, const int (&fds)[3]);

// How a launched program ended, without waiting: true once known (status and usage
// filled in; with a spawner, the usage its wait4 saw). endFd becomes readable when
// the end may be known: the spawner's socket, else the program's pidfd (or -1).
bool collectEnd(const Launch& launched, int& status, rusage& usage);
int endFd(const Launch& launched, int pidFd);

} // namespace bench32
