// Starting programs away from the harness: forking and executing one program as asked,
// and the two kinds of process that do it for the harness over Unix sockets, a factory
// and the spawners it forks. The standard library and POSIX only, so that
// bench32-spawner (cli/spawner_main.cpp) links statically and stays small: the peak RSS
// that wait4 reports for a program counts the size of the process it was forked from.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench32 {

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
  // A start gate shared by programs that must start together (pipe ends, or -1): the
  // child, set up and ready to exec, writes one byte to gateReady and waits for a byte
  // on gateOpen, which the harness writes, one per program, once every program of the
  // gate is ready. They are attached to a spawner's request beside the standard descriptors.
  int gateReady = -1, gateOpen = -1;
};

// A spawner's two replies to a request: the start, then (when a program runs) its end.
struct SpawnReply {
  int pid = -1;      // -1: fork failed (execErrno holds its errno)
  int execErrno = 0; // set when the program could not be started
  int status = 0;    // in the second reply, once the program has ended
  rusage usage{};
  std::chrono::steady_clock::duration::rep started = 0; // Launch::started
};

// Forks and execs argv[0] in a process group of its own, set up as asked, with fds as
// its standard input, output and error; returns once the exec has succeeded or failed.
Launch forkAndExec(const std::vector<std::string>& args, const ChildSetup& setup,
                   const int (&fds)[3]);

// The most descriptors a request carries: standard input, output and error, and a start
// gate's two ends.
inline constexpr std::size_t maxAttachedFds = 5;

// Sends the payload with up to maxAttachedFds descriptors attached (none when count is 0).
bool sendWithFds(int socket, const std::string& payload, const int* fds, std::size_t count);

// A spawner's request for one program (the three descriptors go attached to it).
std::string encodeRequest(const std::vector<std::string>& argv, const ChildSetup& setup);

// The factory's loop on its socket: each byte received is answered with the socket of a
// new spawner. Returns never; ends the process when the other end is closed.
[[noreturn]] void serveFactory(int socket);

} // namespace bench32
