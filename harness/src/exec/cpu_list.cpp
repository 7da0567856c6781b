#include "exec/cpu_list.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <set>
#include <string_view>

#include <fmt/format.h>

#include "exec/decimal.hpp"
#include "exec/errors.hpp"

namespace bench32 {

std::vector<int> parseCpuList(const std::string& text) {
  const auto bad = [&](const std::string& why) {
    return BadInput(
        fmt::format("--cpu {}: {} (a list such as 0, 0,2 or 1-3)", shownText(text), why));
  };
  // Digits only, so that "-1", "+2" and "0x1" are refused rather than read loosely.
  const auto number = [&](std::string_view digits) {
    if (digits.empty()) throw bad("a processor number is missing");
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      throw bad(fmt::format("\"{}\" is not a processor number", shownText(digits)));
    if (value >= CPU_SETSIZE) throw bad(fmt::format("processor {} is out of range", value));
    return value;
  };
  std::set<int> cpus;
  std::string_view rest = text;
  if (rest.empty()) throw bad("no processor given");
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const std::size_t dash = item.find('-');
    const int first = number(item.substr(0, dash));
    const int last = dash == std::string_view::npos ? first : number(item.substr(dash + 1));
    if (last < first) throw bad(fmt::format("the range {} goes down", shownText(item)));
    for (int cpu = first; cpu <= last; ++cpu) cpus.insert(cpu);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return {cpus.begin(), cpus.end()};
}

std::string cpuListText(const std::vector<int>& cpus) {
  std::string text;
  for (std::size_t i = 0; i < cpus.size();) {
    std::size_t j = i;
    while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
    text += (text.empty() ? "" : ",") + std::to_string(cpus[i]);
    if (j > i) text += "-" + std::to_string(cpus[j]);
    i = j + 1;
  }
  return text;
}

std::vector<int> allowedCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  return cpus;
}

std::vector<int> usableCpus(const std::string& text) {
  const std::vector<int> wanted = parseCpuList(text), allowed = allowedCpus();
  for (const int cpu : wanted)
    if (!std::binary_search(allowed.begin(), allowed.end(), cpu))
      throw BadInput(fmt::format("--cpu {}: processor {} is not available here (available: {})",
                                 shownText(text), cpu, cpuListText(allowed)));
  return wanted;
}

} // namespace bench32
