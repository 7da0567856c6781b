// Where a command's progress and notes go: standard error, a status line rewritten in
// place on a terminal, kept lines everywhere.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include <fmt/format.h>

namespace bench32 {

struct Console {
  bool tty = isatty(STDERR_FILENO);
  // A status line, replaced as it changes (on a terminal only).
  void progress(const std::string& line) const {
    if (tty) fmt::print(stderr, "\r\033[K{}", line), std::fflush(stderr);
  }
  void note(const std::string& line) const {
    fmt::print(stderr, "{}{}\n", tty ? "\r\033[K" : "", line);
    std::fflush(stderr);
  }
};

} // namespace bench32
