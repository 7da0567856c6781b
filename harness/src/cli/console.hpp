// Where a command's progress and notes go: standard error. On a terminal, a status line
// or a progress bar rewritten in place; elsewhere only the kept lines, each stamped with
// the time, so that a log shows when each unit finished.
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include <fmt/format.h>

#include "run/collector.hpp"

namespace bench32 {

// "12s", "4:05", "1:02:03": a duration as a progress line shows it.
inline std::string clockText(double seconds) {
  if (!(seconds >= 0) || seconds > 1e7) return "?";
  const long s = std::lround(seconds);
  if (s < 60) return fmt::format("{}s", s);
  if (s < 3600) return fmt::format("{}:{:02}", s / 60, s % 60);
  return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

// The progress bar's line for a terminal `width` columns wide: bar, runs done of the
// total, percentage, time spent and left, and the unit last run as far as it fits.
inline std::string progressBar(const Advance& a, std::size_t width, bool color) {
  const double fraction =
      a.total > 0 ? std::min(1.0, double(a.done) / double(a.total)) : (a.done > 0 ? 1.0 : 0.0);
  constexpr std::size_t barWidth = 24;
  const auto filled = std::size_t(std::floor(fraction * double(barWidth)));
  std::string bar = std::string(filled, '#') + std::string(barWidth - filled, '.');
  if (color) bar = "\033[32m" + bar.substr(0, filled) + "\033[2m" + bar.substr(filled) + "\033[0m";
  std::string text =
      fmt::format("[{}] {}/{} runs {:3.0f}%  {} spent, {}", bar, a.done, a.total, fraction * 100,
                  clockText(a.elapsed),
                  a.left < 0 ? std::string("estimating") : "about " + clockText(a.left) + " left");
  const std::size_t shown = text.size() - (color ? 13 : 0); // the colour codes take no room
  if (!a.unit.empty() && shown + 2 + a.unit.size() < width) text += "  " + a.unit;
  return text;
}

struct Console {
  bool tty = isatty(STDERR_FILENO);
  bool quiet = false;   // no progress and no notes: only the command's results and errors
  bool color = false;   // the bar in colour (a terminal only)
  bool stamped = false; // off a terminal, notes start with the time of day

  // A status line, replaced as it changes (on a terminal only).
  void progress(const std::string& line) const {
    if (tty && !quiet) fmt::print(stderr, "\r\033[K{}", line), std::fflush(stderr);
  }
  void bar(const Advance& a) const {
    if (!tty || quiet) return;
    winsize size{};
    const std::size_t width =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    progress(progressBar(a, width, color));
  }
  void note(const std::string& line) const {
    if (quiet) return;
    if (tty || !stamped) {
      fmt::print(stderr, "{}{}\n", tty ? "\r\033[K" : "", line);
    } else {
      const std::time_t now = std::time(nullptr);
      std::tm local{};
      char stamp[16] = "";
      if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
      fmt::print(stderr, "{} {}\n", stamp, line);
    }
    std::fflush(stderr);
  }
};

} // namespace bench32
