// How a program ends when it cannot go on: by SIGFPE for a division by zero, or with
// one line on standard error for a fatal runtime condition.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string_view>

#include "bench32/entry.hpp"
#include "bench32/int.hpp"
#include "bench32/io.hpp"

namespace b32 {

void divideByZero() {
  std::raise(SIGFPE); // ends the process unless a handler is installed
}

void fail(const char* message) {
  flushOutput();
  constexpr std::string_view prefix = "bench32: ";
  char line[256];
  std::size_t n = 0;
  for (std::string_view part : {prefix, std::string_view(message), std::string_view("\n")})
    for (char ch : part)
      if (n < sizeof line) line[n++] = ch;
  ssize_t ignored = ::write(2, line, n);
  (void)ignored;
  std::_Exit(2);
}

} // namespace b32

// Under AddressSanitizer, a division by zero must still end the process by SIGFPE
// (the sanitizer would otherwise report it and exit with status 1).
extern "C" const char* __asan_default_options() { return "handle_sigfpe=0"; }
