// run/environment: the machine's state that moves timings.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "exec/cpu_list.hpp"
#include "run/environment.hpp"

namespace bench32 {
namespace {

// The machine's state that moves timings, read from a stand-in for /sys and /proc.
TEST(Environment, ProcessorStateIsReadForTheProcessorsUsed) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    std::map<std::string, std::string> files; // path under the root -> first line
    std::vector<int> cpus;
    std::map<std::string, std::string> expected;
  };
  const std::string siblings = "sys/devices/system/cpu/cpu{}/topology/thread_siblings_list";
  auto sibling = [&](int cpu) { return fmt::format(fmt::runtime(siblings), cpu); };
  const Case cases[] = {
      {"intel, turbo off, two threads of one core",
       {{"sys/devices/system/cpu/intel_pstate/no_turbo", "1"},
        {"sys/devices/system/cpu/cpufreq/boost", "1"},
        {"proc/sys/kernel/randomize_va_space", "2"},
        {sibling(0), "0,4"},
        {sibling(4), "0,4"},
        {sibling(1), "1,5"}},
       {0, 1, 4},
       {{"cpu_affinity", "0-1,4"}, {"turbo", "off"}, {"aslr", "2"}, {"smt_siblings", "0,4; 1,5"}}},
      {"intel, turbo on",
       {{"sys/devices/system/cpu/intel_pstate/no_turbo", "0"}, {sibling(2), "2"}},
       {2},
       {{"cpu_affinity", "2"}, {"turbo", "on"}, {"aslr", "unknown"}, {"smt_siblings", "2"}}},
      {"cpufreq boost off, ASLR off",
       {{"sys/devices/system/cpu/cpufreq/boost", "0"}, {"proc/sys/kernel/randomize_va_space", "0"}},
       {3},
       {{"turbo", "off"}, {"aslr", "0"}, {"smt_siblings", "unknown"}}},
      {"cpufreq boost on", {{"sys/devices/system/cpu/cpufreq/boost", "1"}}, {0}, {{"turbo", "on"}}},
      {"nothing known", {}, {0, 1}, {{"turbo", "unknown"}, {"smt_siblings", "unknown"}}},
      {"one core of two unknown", {{sibling(0), "0"}}, {0, 1}, {{"smt_siblings", "unknown"}}},
  };
  for (const auto& c : cases) {
    const fs::path root = fs::path(testing::TempDir()) / ("machine-" + std::to_string(getpid()));
    fs::remove_all(root);
    for (const auto& [path, line] : c.files) {
      fs::create_directories((root / path).parent_path());
      std::ofstream(root / path) << line << "\n";
    }
    const auto state = captureProcessorState(c.cpus, root);
    for (const auto& [key, value] : c.expected) {
      ASSERT_TRUE(state.count(key)) << c.name << ": " << key;
      EXPECT_EQ(state.at(key), value) << c.name << ": " << key;
    }
    fs::remove_all(root);
  }
  // Not pinned: the processors this process may use.
  EXPECT_EQ(captureProcessorState({}).at("cpu_affinity"), cpuListText(allowedCpus()));
}

} // namespace

} // namespace bench32
