// Processor lists (--cpu), as the kernel writes them in /proc and sysfs.
#pragma once

#include <string>
#include <vector>

namespace bench32 {

// Processor lists as the kernel writes them: "0", "0,2", "1-3", "0-1,4". Parsing gives
// the processors in ascending order without repeats and throws BadInput for anything
// else; formatting writes ranges.
std::vector<int> parseCpuList(const std::string& text);
std::string cpuListText(const std::vector<int>& cpus);
// The processors this process may run on (its affinity, which only holds online ones).
std::vector<int> allowedCpus();
// The list parsed, each processor checked against allowedCpus(); throws BadInput naming
// the first one that is not there.
std::vector<int> usableCpus(const std::string& text);

} // namespace bench32
