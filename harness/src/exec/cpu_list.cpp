#include "exec/cpu_list.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <set>
#include <string_view>

#include <fmt/format.h>

#include "exec/cpu_list_syntax.hpp"
#include "exec/decimal.hpp"
#include "exec/errors.hpp"

namespace bench32 {

std::vector<int> parseCpuList(const std::string& text) {
  std::string why;
  std::vector<int> cpus = readCpuList(text, why);
  if (!why.empty())
    throw BadInput(fmt::format("--cpu {}: {} (a list such as 0, 0,2 or 1-3)", shownText(text),
                               shownText(why)));
  return cpus;
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
