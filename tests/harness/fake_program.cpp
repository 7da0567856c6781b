// Reads a command word, then does what it says:
//   echo N...      prints the numbers, blank-separated, and a newline
//   lines N        prints 1 to N, one a line (a large output)
//   status S       exits with status S
//   crash          dies of SIGSEGV
//   hang [FILE]    never ends, once it has made FILE (empty) when given: a sign that
//                  it is running
//   orphan         leaves a child that never ends, then hangs itself
//   flood          prints lines for ever
//   cpus           prints its own "Cpus_allowed_list:" line from /proc/self/status
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

int main() {
  std::string command;
  std::cin >> command;
  if (command == "echo") {
    for (long n; std::cin >> n;) std::cout << n << ' ';
    std::cout << '\n';
    return 0;
  }
  if (command == "lines") {
    long n = 0;
    std::cin >> n;
    for (long i = 1; i <= n; ++i) std::cout << i << '\n';
    return 0;
  }
  if (command == "status") {
    int status = 0;
    std::cin >> status;
    return status;
  }
  if (command == "flood")
    for (unsigned long i = 0;; ++i) std::cout << i << '\n';
  if (command == "cpus") {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("Cpus_allowed_list:", 0) == 0) std::cout << line << '\n';
    return 0;
  }
  if (command == "crash") raise(SIGSEGV);
  if (std::string marker; command == "hang" && std::cin >> marker) std::ofstream{marker};
  if (command == "orphan" && fork() == 0)
    for (;;) pause();
  if (command == "hang" || command == "orphan")
    for (;;) pause();
  std::cerr << "fake program: unknown command " << command << '\n';
  return 99;
}
