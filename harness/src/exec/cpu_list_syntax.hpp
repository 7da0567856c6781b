// The kernel's processor-list form ("0", "0,2", "1-3"), read with nothing but the
// standard library: bench32-timer, built for a remote host without the harness's
// libraries, reads a list exactly as the harness does.
#pragma once

#include <sched.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bench32 {

// The processors of the list, in increasing order and each once; or, in `why`, what is
// wrong with it. A number is digits only, so that "-1", "+2" and "0x1" are refused
// rather than read loosely.
inline std::vector<int> readCpuList(std::string_view text, std::string& why) {
  const auto number = [&](std::string_view digits, int& value) {
    if (digits.empty()) return why = "a processor number is missing", false;
    value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9')
        return why = "\"" + std::string(digits) + "\" is not a processor number", false;
      value = value * 10 + (c - '0');
      if (value >= CPU_SETSIZE)
        return why = "processor " + std::string(digits) + " is out of range", false;
    }
    return true;
  };
  why.clear();
  if (text.empty()) return why = "no processor given", std::vector<int>{};
  std::set<int> cpus;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    const std::size_t dash = item.find('-');
    int first = 0, last = 0;
    if (!number(item.substr(0, dash), first)) return {};
    if (dash == std::string_view::npos)
      last = first;
    else if (!number(item.substr(dash + 1), last))
      return {};
    if (last < first)
      return why = "the range " + std::string(item) + " goes down", std::vector<int>{};
    for (int cpu = first; cpu <= last; ++cpu) cpus.insert(cpu);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return {cpus.begin(), cpus.end()};
}

} // namespace bench32
