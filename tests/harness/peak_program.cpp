// Reads a count M on standard input, touches M MiB, then prints its own peak RSS in KiB
// (VmHWM from /proc/self/status), which counts this process's pages only, whatever the
// process it was forked from. C library only and linked statically, so that it is
// smaller than any process that might start it (a few hundred KiB).
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  long mib = 0;
  if (std::scanf("%ld", &mib) != 1 || mib < 0 || mib > 4096) return 2;
  if (mib > 0) {
    const std::size_t size = std::size_t(mib) << 20;
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return 3;
    std::memset(pages, 1, size);
  }
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 4;
  char line[256];
  long peak = -1;
  while (std::fgets(line, sizeof line, status))
    if (std::strncmp(line, "VmHWM:", 6) == 0) peak = std::strtol(line + 6, nullptr, 10);
  std::fclose(status);
  std::printf("%ld\n", peak);
  return peak < 0 ? 5 : 0;
}
