// Starting a program: in a child of a small helper process (a spawner) when there is
// one, so that the program's peak RSS from wait4 is its own. Linux keeps the largest
// resident size across an exec, so a child forked from a large process (the harness,
// linked with libstdc++, fmt, SQLite, libpq, libelf: about 3 MiB) would begin with that
// size as its peak, above that of most programs (about 1.1 MiB). So the factory that
// forks the spawners is bench32-spawner, a static executable beside the harness's own,
// started first and serving the protocol of exec/spawn_service.hpp; when it is missing,
// the factory is a copy of this process, as small as it is then, and a warning says so.
// A spawner serves one program at a time; programs started at once from several threads
// each get a spawner of their own, forked on demand by the factory.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

#include "exec/spawn_service.hpp"

namespace bench32 {

// Starts the spawners' factory: bench32-spawner from this executable's folder, else a
// fork of this process (with one line on standard error). Call it first thing in main,
// while the process is small and has one thread.
void startSpawner();

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
