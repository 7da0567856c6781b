// The --cpu list parser on any text: it gives processors in ascending order without
// repeats, all below CPU_SETSIZE, that print and parse again as the same list; or it
// refuses the text with one line.
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "exec/cpu_list.hpp"
#include "exec/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<int> cpus;
  try {
    cpus = bench32::parseCpuList(text);
  } catch (const bench32::BadInput& e) {
    if (std::string_view(e.what()).find('\n') != std::string_view::npos) std::abort();
    return 0;
  }
  if (cpus.empty() || !std::is_sorted(cpus.begin(), cpus.end()) ||
      std::adjacent_find(cpus.begin(), cpus.end()) != cpus.end() || cpus.front() < 0 ||
      cpus.back() >= CPU_SETSIZE)
    std::abort();
  if (text.find_first_not_of("0123456789,-") != std::string::npos) std::abort();
  if (bench32::parseCpuList(bench32::cpuListText(cpus)) != cpus) std::abort();
  return 0;
}
