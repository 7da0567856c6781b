// bench32-spawner: the factory of the processes that start programs for the harness
// (exec/spawner.hpp). The harness forks it first thing and hands it one end of a Unix
// socket; it forks a spawner for each request on that socket, and ends when the harness
// closes it. It is linked statically and uses the standard library and POSIX only, so
// that it and the spawners it forks stay far smaller than the programs they start:
// a program's peak RSS counts the size of the process it was forked from.
//
//   bench32-spawner --socket FD
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exec/spawn_service.hpp"

int main(int argc, char** argv) {
  long fd = -1;
  if (argc == 3 && std::strcmp(argv[1], "--socket") == 0) {
    char* end = nullptr;
    errno = 0;
    fd = std::strtol(argv[2], &end, 10);
    if (errno != 0 || end == argv[2] || *end != '\0' || fd < 0 || fd > 1 << 20) fd = -1;
  }
  struct stat info;
  if (fd < 0 || fstat(int(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) {
    std::fprintf(stderr, "bench32-spawner: started by the harness only, as bench32-spawner "
                         "--socket FD (FD an open Unix socket)\n");
    return 2;
  }
  // Neither the spawners' programs nor anything else this starts keeps the socket.
  fcntl(int(fd), F_SETFD, FD_CLOEXEC);
  bench32::serveFactory(int(fd));
}
