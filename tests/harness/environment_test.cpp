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
#include "run/machine_check.hpp"

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

// Each check's finding from a machine's state, and the one line run warns with.
TEST(MachineCheck, EachConcernFailsOnlyWhereItMovesTimings) {
  struct Case {
    const char* name;
    MachineState state;
    std::map<std::string, Finding> expected; // by check; the others are not looked at
    const char* inAdvice = "";               // in the first failing check's advice
  };
  MachineState quiet;
  quiet.cpus = {0, 1};
  quiet.governors = {"performance", "performance"};
  quiet.turbo = "off";
  quiet.aslr = "0";
  quiet.siblings = {"0", "1"};
  quiet.smtActive = "0";
  quiet.load = 0.05;
  quiet.waited = 0.001;
  auto with = [&](auto change) {
    MachineState s = quiet;
    change(s);
    return s;
  };
  const Case cases[] = {
      {"a quiet machine",
       quiet,
       {{"governor", Finding::ok},
        {"turbo", Finding::ok},
        {"aslr", Finding::ok},
        {"smt", Finding::ok},
        {"load", Finding::ok},
        {"waiting", Finding::ok}}},
      {"powersave on one processor",
       with([](MachineState& s) { s.governors[1] = "powersave"; }),
       {{"governor", Finding::fails}},
       "frequency-set -g performance"},
      {"no cpufreq (a virtual machine)",
       with([](MachineState& s) {
         s.governors = {"", ""};
       }),
       {{"governor", Finding::unknown}}},
      {"turbo on",
       with([](MachineState& s) { s.turbo = "on"; }),
       {{"turbo", Finding::fails}},
       "no_turbo"},
      {"turbo unknown",
       with([](MachineState& s) { s.turbo = "unknown"; }),
       {{"turbo", Finding::unknown}}},
      {"full ASLR",
       with([](MachineState& s) { s.aslr = "2"; }),
       {{"aslr", Finding::fails}},
       "randomize_va_space=0"},
      {"two threads of one core used",
       with([](MachineState& s) {
         s.cpus = {0, 4};
         s.siblings = {"0,4"};
         s.smtActive = "1";
       }),
       {{"smt", Finding::fails}},
       "--cpu 0 "},
      {"one thread of each core used, siblings idle",
       with([](MachineState& s) {
         s.siblings = {"0,2", "1,3"};
         s.smtActive = "1";
       }),
       {{"smt", Finding::fails}},
       "smt/control"},
      {"SMT switched off",
       with([](MachineState& s) {
         s.siblings = {"0,2", "1,3"};
       }),
       {{"smt", Finding::ok}}},
      {"topology unreadable",
       with([](MachineState& s) { s.siblings = {"unknown"}; }),
       {{"smt", Finding::unknown}}},
      {"a busy minute",
       with([](MachineState& s) { s.load = 1.5; }),
       {{"load", Finding::fails}},
       "--cpu"},
      {"load unreadable", with([](MachineState& s) { s.load = -1; }), {{"load", Finding::unknown}}},
      {"a neighbour",
       with([](MachineState& s) { s.waited = 0.2; }),
       {{"waiting", Finding::fails}},
       "--metric cpu"},
      {"not probed",
       with([](MachineState& s) { s.waited.reset(); }),
       {{"waiting", Finding::unknown}}},
  };
  for (const auto& c : cases) {
    const auto checks = judgeMachine(c.state);
    ASSERT_EQ(checks.size(), 6u) << c.name;
    std::string failing;
    for (const auto& check : checks) {
      if (const auto it = c.expected.find(check.name); it != c.expected.end()) {
        EXPECT_EQ(int(check.finding), int(it->second)) << c.name << ": " << check.name;
      }
      if (check.finding == Finding::fails && failing.empty()) failing = check.advice;
      if (check.finding != Finding::ok) {
        EXPECT_FALSE(check.advice.empty()) << c.name;
      }
    }
    EXPECT_NE(failing.find(c.inAdvice), std::string::npos) << c.name << ": " << failing;
    EXPECT_EQ(failingChecks(checks).empty(), failing.empty()) << c.name;
  }
}

// The state read from a stand-in for /sys and /proc, and a probe of this machine.
TEST(MachineCheck, StateIsReadUnderTheRoot) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(testing::TempDir()) / ("check-" + std::to_string(getpid()));
  fs::remove_all(root);
  const std::map<std::string, std::string> files{
      {"sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "schedutil"},
      {"sys/devices/system/cpu/cpu0/topology/thread_siblings_list", "0,1"},
      {"sys/devices/system/cpu/smt/active", "1"},
      {"sys/devices/system/cpu/intel_pstate/no_turbo", "0"},
      {"proc/sys/kernel/randomize_va_space", "2"},
      {"proc/loadavg", "1.25 0.50 0.20 2/100 1234"}};
  for (const auto& [path, line] : files) {
    fs::create_directories((root / path).parent_path());
    std::ofstream(root / path) << line << "\n";
  }
  const MachineState s = readMachineState({0}, false, root);
  EXPECT_EQ(s.governors, std::vector<std::string>{"schedutil"});
  EXPECT_EQ(s.turbo, "on");
  EXPECT_EQ(s.aslr, "2");
  EXPECT_EQ(s.siblings, std::vector<std::string>{"0,1"});
  EXPECT_EQ(s.smtActive, "1");
  EXPECT_DOUBLE_EQ(s.load, 1.25);
  EXPECT_FALSE(s.waited.has_value());
  EXPECT_EQ(failingChecks(judgeMachine(s)),
            "governor schedutil on 0, turbo on, aslr 2 (full), smt siblings: 0,1, load 1.25 over "
            "the last minute");
  fs::remove_all(root);
  // The probe on this machine gives a share, whatever the machine's load.
  const auto probed = readMachineState({allowedCpus().front()}, true).waited;
  ASSERT_TRUE(probed.has_value());
  EXPECT_GE(*probed, 0.0);
  EXPECT_LE(*probed, 1.0);
}

} // namespace

} // namespace bench32
