// Instruction counts through the measuring loop's runner, with stand-in counters that
// write their reports as perf and callgrind do: no process is started.
#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_runner.hpp"
#include "run/counters.hpp"

namespace bench32 {
namespace {

using fakes::FakeRunner;
using fakes::Units;

// perf writes its count to the file after -o, callgrind to its --log-file=; each writes
// a count only when it "works". The program's own run is the fake runner's.
Runner counting(FakeRunner& fake, bool perfWorks, bool callgrindWorks,
                std::vector<double>& timeouts) {
  return [&fake, perfWorks, callgrindWorks, &timeouts](const RunRequest& request) {
    const std::map<std::string, int> counts{{"true", 1}, {"A/p", 1234}, {"B/p", 5678}};
    const auto& argv = request.argv;
    const int count = counts.at(argv.back());
    if (argv.front() == "perf" && perfWorks) {
      const auto o = std::find(argv.begin(), argv.end(), "-o");
      std::ofstream(*(o + 1)) << "# started\n" << count << ",,instructions:u,1000,100.00,,\n";
    }
    if (argv.front() == "valgrind" && callgrindWorks) {
      for (const auto& word : argv)
        if (word.rfind("--log-file=", 0) == 0)
          std::ofstream(word.substr(11))
              << "==1== Events    : Ir\n==1== Collected : " << count << "\n";
    }
    if (argv.front() == "perf" || argv.front() == "valgrind")
      timeouts.push_back(request.timeout.count());
    return fake(request);
  };
}

TEST(Counters, CountsEveryVerifiedUnitAfterTheTimedRoundsWithTheCounterThatWorks) {
  struct Case {
    const char* what;
    bool perf, callgrind;
    std::set<std::pair<std::string, int>> fail;
    const char* calls;
    std::optional<std::uint64_t> a, b; // A/p's count, B/p's
    const char* source;
    std::vector<std::string> notes;
    double timeout; // of a counted run
  };
  const std::string failed = "expected exit status 0, got exit status 1";
  const Case cases[] = {
      {"perf first", true, true, {}, "A/p B/p B/p A/p true A/p B/p", 1234, 5678, "perf", {}, 10},
      {"callgrind when perf does not count, with a longer timeout",
       false,
       true,
       {},
       "A/p B/p B/p A/p true true A/p B/p",
       1234,
       5678,
       "callgrind",
       {},
       1000},
      {"neither",
       false,
       false,
       {},
       "A/p B/p B/p A/p true true",
       {},
       {},
       "",
       {"instruction counts skipped: neither perf nor valgrind works here"},
       0},
      {"a failed unit is not counted",
       true,
       true,
       {{"B/p", 0}},
       "A/p B/p A/p true A/p",
       1234,
       {},
       "perf",
       {"FAILED B p/ref: " + failed},
       10},
      {"a counted run is verified",
       true,
       true,
       {{"A/p", 2}},
       "A/p B/p B/p A/p true A/p B/p",
       {},
       5678,
       "perf",
       {"no instruction count for A p/ref: " + failed},
       10},
  };
  for (const auto& c : cases) {
    Units units({"A", "B"}, {"p"});
    FakeRunner fake;
    fake.fail = c.fail;
    std::vector<double> timeouts;
    RunSettings settings = fakes::fixedRuns(2);
    settings.instructions = true;
    settings.timeout = 10;
    auto outcome = fakes::measure(units, counting(fake, c.perf, c.callgrind, timeouts), settings);
    EXPECT_TRUE(outcome.finished) << c.what;
    EXPECT_EQ(fakes::joined(fake.calls), c.calls) << c.what;
    EXPECT_EQ(units["A/p"].instructions, c.a) << c.what;
    EXPECT_EQ(units["B/p"].instructions, c.b) << c.what;
    for (const char* name : {"A/p", "B/p"}) {
      if (units[name].instructions) {
        EXPECT_EQ(units[name].instructionsSource, c.source) << c.what;
      }
    }
    std::erase_if(outcome.notes, [](const std::string& n) { return n.rfind("done ", 0) == 0; });
    EXPECT_EQ(outcome.notes, c.notes) << c.what;
    if (c.timeout > 0) {
      ASSERT_FALSE(timeouts.empty()) << c.what;
      EXPECT_EQ(timeouts.back(), c.timeout) << c.what;
    }
  }
}

} // namespace
} // namespace bench32
