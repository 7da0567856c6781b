// The measuring loop with a stand-in runner: no process is started and nothing sleeps.
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "analysis/compare.hpp"
#include "fake_runner.hpp"
#include "model/metrics.hpp"
#include "run/rounds.hpp"

namespace bench32 {
namespace {

using fakes::FakeRunner;
using fakes::fixedRuns;
using fakes::joined;
using fakes::measure;
using fakes::Outcome;
using fakes::Units;

TEST(Rounds, RunsInInterleavedRoundsReversedEveryOtherRoundAndRotatesLayouts) {
  struct Case {
    const char* what;
    std::vector<std::string> configs, programs;
    RunSettings settings;
    const char* order;
  };
  const Case cases[] = {
      {"configurations of a program side by side, reversed on odd rounds",
       {"A", "B"},
       {"p", "q"},
       fixedRuns(3),
       "A/p B/p A/q B/q  B/q A/q B/p A/p  A/p B/p A/q B/q"},
      {"warm-up first, in plan order",
       {"A", "B"},
       {"p"},
       fixedRuns(2, 2),
       "A/p B/p A/p B/p  A/p B/p  B/p A/p"},
      {"each round passes once per layout, one layout further on each round",
       {"A"},
       {"p", "q"},
       fixedRuns(3, 0, 3),
       "A/p#0 A/q#0 A/p#1 A/q#1 A/p#2 A/q#2  "
       "A/q#1 A/p#1 A/q#2 A/p#2 A/q#0 A/p#0  "
       "A/p#2 A/q#2 A/p#0 A/q#0 A/p#1 A/q#1"},
      {"the warm-up runs every layout once",
       {"A"},
       {"p"},
       fixedRuns(1, 1, 2),
       "A/p#0 A/p#1  A/p#0 A/p#1"},
  };
  for (const auto& c : cases) {
    Units units(c.configs, c.programs, c.settings.layouts);
    FakeRunner fake;
    EXPECT_TRUE(measure(units, fake, c.settings).finished) << c.what;
    std::string expected = c.order;
    for (std::size_t at; (at = expected.find("  ")) != std::string::npos;) expected.erase(at, 1);
    EXPECT_EQ(joined(fake.calls), expected) << c.what;
  }
}

TEST(Rounds, StopsEachProgramByTheRuleWithAllItsConfigurationsTogether) {
  const auto steady = [](int) { return 0.01; };
  const auto noisy = [](int n) { return n % 2 ? 1.5 : 0.5; };
  RunSettings adaptive;
  adaptive.warmup = 0;
  adaptive.minRuns = 3;
  adaptive.maxRuns = 8;
  adaptive.minTime = 1e9;
  adaptive.precision = 0.01;
  RunSettings byTime = adaptive;
  byTime.minRuns = 2;
  byTime.maxRuns = 100;
  byTime.minTime = 5;
  byTime.precision = 0;
  RunSettings layouts = adaptive;
  layouts.layouts = 2;
  struct Case {
    const char* what;
    RunSettings settings;
    std::function<double(int)> wallOfA, wallOfB;
    std::size_t runs; // of each configuration
  };
  const Case cases[] = {
      {"a fixed count", fixedRuns(4), noisy, noisy, 4},
      {"a fixed count per layout", fixedRuns(2, 0, 3), steady, noisy, 6},
      {"precise at the minimum", adaptive, steady, steady, 3},
      {"never precise: the maximum", adaptive, noisy, noisy, 8},
      {"the minimum time: 0.5 + 1.5 + 0.5 + 1.5 + 0.5 + 1.5 >= 5", byTime, noisy, noisy, 6},
      {"a precise configuration waits for a noisy one", adaptive, steady, noisy, 8},
      {"the bounds are per layout", layouts, steady, steady, 6},
  };
  for (const auto& c : cases) {
    Units units({"A", "B"}, {"p"}, c.settings.layouts);
    FakeRunner fake;
    fake.wall = [&](const std::string& exe, int n) {
      return exe.front() == 'A' ? c.wallOfA(n) : c.wallOfB(n);
    };
    const Outcome outcome = measure(units, fake, c.settings);
    EXPECT_EQ(units["A/p"].samples.size(), c.runs) << c.what;
    EXPECT_EQ(units["B/p"].samples.size(), c.runs) << c.what;
    EXPECT_EQ(units["A/p"].status, Status::ok) << c.what;
    EXPECT_EQ(joined(outcome.notes), fmt::format("done p/ref: {} runs", c.runs)) << c.what;
  }
}

TEST(Rounds, AFailedRunStopsItsUnitOnlyAndWarmUpsAreVerifiedButNotTimed) {
  Units units({"A", "B"}, {"p", "q"});
  FakeRunner fake;
  // Each executable's runs: two warm-ups, then the timed ones.
  fake.wall = [](const std::string&, int n) { return 0.1 * (n + 1); };
  fake.fail = {{"A/p", 3}, {"B/q", 1}};
  const Outcome outcome = measure(units, fake, fixedRuns(4, 2));
  EXPECT_TRUE(outcome.finished);

  // A/p failed on its second timed run: the first is kept, and it was never run again.
  EXPECT_EQ(units["A/p"].status, Status::failed);
  EXPECT_EQ(units["A/p"].failure, "expected exit status 0, got exit status 1");
  EXPECT_EQ(units["A/p"].samples.size(), 1u);
  EXPECT_EQ(fake.count["A/p"], 4);
  // B/q failed in its warm-up: never timed.
  EXPECT_EQ(units["B/q"].status, Status::failed);
  EXPECT_EQ(units["B/q"].warmup.size(), 1u);
  EXPECT_TRUE(units["B/q"].samples.empty());
  EXPECT_EQ(fake.count["B/q"], 2);
  // The others went on, their configuration alongside a failed one included.
  for (const char* name : {"B/p", "A/q"}) {
    const UnitResult& u = units[name];
    EXPECT_EQ(u.status, Status::ok) << name;
    ASSERT_EQ(u.warmup.size(), 2u) << name;
    ASSERT_EQ(u.samples.size(), 4u) << name;
    // The warm-ups' times are kept apart; the samples are the timed runs', as measured.
    EXPECT_DOUBLE_EQ(u.warmup[1].wall, 0.2) << name;
    EXPECT_DOUBLE_EQ(u.samples[0].wall, 0.3) << name;
    EXPECT_DOUBLE_EQ(u.samples[3].wall, 0.6) << name;
    EXPECT_DOUBLE_EQ(u.samples[3].user, 0.3) << name;
    EXPECT_DOUBLE_EQ(u.samples[3].system, 0.15) << name;
    EXPECT_DOUBLE_EQ(u.samples[3].maxRssKiB, 1005) << name;
    EXPECT_EQ(u.samples[3].layout, -1) << name;
  }
  EXPECT_EQ(outcome.notes,
            (std::vector<std::string>{"FAILED B q/ref: expected exit status 0, got exit status 1",
                                      "FAILED A p/ref: expected exit status 0, got exit status 1",
                                      "done p/ref: 4 runs", "done q/ref: 4 runs"}));
  // After each failure, the warm-up and each of the four rounds.
  EXPECT_EQ(outcome.checkpoints, 2 + 1 + 4);
}

TEST(Rounds, NothingToRunWhenEveryUnitFailedBeforehand) {
  Units units({"A"}, {"p"});
  units.results.units[0].status = Status::failed;
  FakeRunner fake;
  EXPECT_TRUE(measure(units, fake, fixedRuns(3, 1)).finished);
  EXPECT_TRUE(fake.calls.empty());
}

TEST(Rounds, StoppingRule) {
  RunSettings adaptive;
  adaptive.minRuns = 3;
  adaptive.maxRuns = 6;
  adaptive.minTime = 1.0;
  adaptive.precision = 0.01;
  RunSettings fixed = adaptive;
  fixed.runs = 4;
  const std::vector<double> noisy{0.1, 0.2, 0.1, 0.3, 0.1};
  const std::vector<double> steady(12, 0.01);
  struct Case {
    const char* what;
    std::vector<std::vector<double>> walls;
    const RunSettings& settings;
    bool enough;
  };
  const Case cases[] = {
      {"fewer than the minimum", {{0.5, 0.5}}, adaptive, false},
      {"minimum time reached", {{0.5, 0.5, 0.5}}, adaptive, true},
      {"noisy and short", {noisy}, adaptive, false},
      {"at the maximum", {{0.1, 0.2, 0.1, 0.3, 0.1, 0.2}}, adaptive, true},
      {"precise enough", {steady}, adaptive, true},
      {"one configuration still short", {steady, noisy}, adaptive, false},
      {"fixed count not reached", {{9, 9, 9}}, fixed, false},
      {"fixed count reached", {{0.1, 0.2, 0.1, 0.3}}, fixed, true},
  };
  for (const auto& c : cases) EXPECT_EQ(enoughRuns(c.walls, c.settings), c.enough) << c.what;
}

TEST(Rounds, CopiesRunSideBySideEachRoundAndCountRounds) {
  Units units({"A", "B"}, {"p"});
  FakeRunner fake;
  fake.together = 2;
  const Outcome outcome = measure(units, fake, fixedRuns(3, 1, 0, 2));
  EXPECT_TRUE(outcome.finished);
  // Both copies of a run were in the runner at once, every time.
  EXPECT_EQ(fake.alone, 0);
  EXPECT_EQ(joined(fake.calls), "A/p A/p B/p B/p A/p A/p B/p B/p B/p B/p A/p A/p A/p A/p B/p B/p");
  for (const char* name : {"A/p", "B/p"}) {
    EXPECT_EQ(units[name].status, Status::ok) << name;
    EXPECT_EQ(units[name].warmup.size(), 2u) << name;
    EXPECT_EQ(units[name].samples.size(), 6u) << name;
  }
  EXPECT_EQ(joined(outcome.notes), "done p/ref: 6 runs");
}

TEST(Rounds, OneFailingCopyFailsItsUnitAndKeepsNothingOfThatRun) {
  Units units({"A", "B"}, {"p"});
  FakeRunner fake;
  fake.fail = {{"A/p", 3}}; // a copy of A/p's second round
  const Outcome outcome = measure(units, fake, fixedRuns(3, 0, 0, 2));
  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(units["A/p"].status, Status::failed);
  const std::string why = ": expected exit status 0, got exit status 1";
  EXPECT_TRUE(units["A/p"].failure == "copy 1 of 2" + why ||
              units["A/p"].failure == "copy 2 of 2" + why)
      << units["A/p"].failure;
  EXPECT_EQ(units["A/p"].samples.size(), 2u);
  EXPECT_EQ(fake.count["A/p"], 4);
  EXPECT_EQ(units["B/p"].status, Status::ok);
  EXPECT_EQ(units["B/p"].samples.size(), 6u);
}

TEST(Rounds, EachCopyRunsOnItsOwnProcessorInTurn) {
  struct Case {
    const char* what;
    int copies;
    std::vector<int> given;
    std::multiset<std::vector<int>> eachRound;
  };
  const Case cases[] = {
      {"one processor each", 2, {5, 6}, {{5}, {6}}},
      {"more processors than copies: the first ones", 2, {1, 3, 4}, {{1}, {3}}},
      {"no processors: the system places them", 2, {}, {{}, {}}},
      {"a single copy keeps every processor", 1, {5, 6}, {{5, 6}}},
  };
  for (const auto& c : cases) {
    Units units({"A"}, {"p"});
    FakeRunner fake;
    RunSettings settings = fixedRuns(2, 0, 0, c.copies);
    settings.cpus = c.given;
    EXPECT_TRUE(measure(units, fake, settings).finished) << c.what;
    ASSERT_EQ(fake.cpus.size(), 2 * c.eachRound.size()) << c.what;
    for (std::size_t round = 0; round < 2; ++round) {
      const auto first = fake.cpus.begin() + std::ptrdiff_t(round * c.eachRound.size());
      EXPECT_EQ(std::multiset<std::vector<int>>(first, first + std::ptrdiff_t(c.eachRound.size())),
                c.eachRound)
          << c.what;
    }
  }
}

TEST(Rounds, EachRoundOfCopiesRecordsItsIntervalsAndItsRate) {
  Units units({"A"}, {"p"});
  FakeRunner fake;
  // Round r's copies (runs 2r and 2r + 1) start 0.25 s apart, 10 s after the round
  // before, and take 1 s and 1 + r s: the round spans 1.25 + r s.
  fake.start = [](const std::string&, int n) { return 10.0 * (n / 2) + 0.25 * (n % 2); };
  fake.wall = [](const std::string&, int n) { return 1.0 + (n % 2) * (n / 2); };
  EXPECT_TRUE(measure(units, fake, fixedRuns(3, 1, 0, 2)).finished);
  const UnitResult& u = units["A/p"];
  EXPECT_EQ(u.copies, 2);
  ASSERT_EQ(u.samples.size(), 6u);
  // One rate per timed round, the warm-up's none: 2 copies / (1.25 + r) s.
  ASSERT_EQ(u.rate.size(), 3u);
  for (std::size_t r = 0; r < 3; ++r) EXPECT_NEAR(u.rate[r], 2 / (1.25 + double(r + 1)), 1e-9) << r;
  EXPECT_EQ(metricValues(u, Metric::rate), u.rate);
  // Each run's start and end, the copies of a round overlapping.
  for (std::size_t i = 0; i < u.samples.size(); i += 2) {
    const Sample &a = u.samples[i], &b = u.samples[i + 1];
    EXPECT_EQ(a.copy + b.copy, 1) << i;
    EXPECT_NEAR(a.end - a.start, a.wall, 1e-6) << i;
    EXPECT_NEAR(std::fabs(b.start - a.start), 0.25, 1e-6) << i;
    EXPECT_LT(std::max(a.start, b.start), std::min(a.end, b.end)) << i;
  }
  // A single copy records none of it.
  Units single({"A"}, {"p"});
  FakeRunner plain;
  EXPECT_TRUE(measure(single, plain, fixedRuns(2)).finished);
  EXPECT_TRUE(single["A/p"].rate.empty());
  EXPECT_EQ(single["A/p"].samples[1].copy, -1);
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

// A run's time: `scale` times 10 ms, off by a normal error of `sd` drawn from the run's
// executable and index, so every session sees the same times.
std::function<double(const std::string&, int)> noisyTimes(std::map<std::string, double> scale,
                                                          double sd) {
  return [scale, sd](const std::string& exe, int n) {
    std::mt19937_64 rng(std::hash<std::string>{}(exe) ^ std::uint64_t(n) * 0x9e3779b97f4a7c15u);
    std::normal_distribution<double> error(0, sd);
    const auto it = scale.find(exe.substr(0, exe.find('/')));
    return 0.01 * (it == scale.end() ? 1.0 : it->second) * std::exp(error(rng));
  };
}

RunSettings deciding(double budgetSeconds, bool duet = false) {
  RunSettings s;
  s.warmup = 0;
  s.decide = DecidePlan{"A", "cpu", 0.01, 0.01, budgetSeconds};
  s.duet = duet;
  return s;
}

TEST(Rounds, DecideRunsEachProgramUntilItsVerdictOrTheBudget) {
  struct Case {
    const char* what;
    std::map<std::string, double> scale;
    double sd;
    double budget;
    Decision expected;
  };
  const Case cases[] = {
      {"5% slower, quiet runs", {{"B", 1.05}}, 0.005, 5, Decision::slower},
      {"2% faster", {{"B", 0.98}}, 0.005, 5, Decision::faster},
      {"no change", {}, 0.002, 5, Decision::equal},
      {"no change in runs too noisy for the budget", {}, 0.5, 0.2, Decision::undecided},
  };
  for (const auto& c : cases) {
    Units units({"A", "B"}, {"p"});
    FakeRunner fake;
    fake.wall = noisyTimes(c.scale, c.sd);
    const Outcome outcome = measure(units, fake, deciding(c.budget));
    ASSERT_TRUE(outcome.finished) << c.what;
    const auto& a = units["A/p"].samples;
    const auto& b = units["B/p"].samples;
    EXPECT_EQ(a.size(), b.size()) << c.what << ": every round runs both";
    DecidePlan plan = *deciding(c.budget).decide;
    CompareSettings settings;
    settings.decide = &plan;
    const Series base{"A", "", &units.results, "A"}, other{"B", "", &units.results, "B"};
    const auto row = compare(base, other, settings).programs.at(0);
    ASSERT_TRUE(row.decision) << c.what;
    EXPECT_EQ(decisionName(row.decision->state), decisionName(c.expected)) << c.what;
    // A decided program stops at once: its last round is the one that decided it.
    if (c.expected != Decision::undecided) {
      EXPECT_EQ(row.decision->decidedAt, a.size()) << c.what;
    }
    EXPECT_NE(joined(outcome.notes).find("decided p/ref"), std::string::npos) << c.what;
  }
}

TEST(Rounds, DecideSpendsTheBudgetOnProgramsStillOpen) {
  // q is decided within a few rounds; p, in noisy runs, keeps the rest of the budget.
  Units units({"A", "B"}, {"p", "q"});
  FakeRunner fake;
  const auto quiet = noisyTimes({{"B", 1.05}}, 0.002), noisy = noisyTimes({}, 0.3);
  fake.wall = [&](const std::string& exe, int n) {
    return exe.ends_with("/q") ? quiet(exe, n) : noisy(exe, n);
  };
  ASSERT_TRUE(measure(units, fake, deciding(1.0)).finished);
  EXPECT_LT(units["A/q"].samples.size(), 20u);
  EXPECT_GT(units["A/p"].samples.size(), 3 * units["A/q"].samples.size());
}

TEST(Rounds, TheAnchorRunsOnEveryRoundButIsNotDecided) {
  // B is 5% slower in quiet runs; the anchor C is noisy, and judged it would stay open.
  Units units({"A", "B", "C"}, {"p"});
  FakeRunner fake;
  const auto quiet = noisyTimes({{"B", 1.05}}, 0.002), noisy = noisyTimes({}, 0.3);
  fake.wall = [&](const std::string& exe, int n) {
    return exe.starts_with("C/") ? noisy(exe, n) : quiet(exe, n);
  };
  RunSettings s = deciding(2.0);
  s.anchor = "C";
  const Outcome outcome = measure(units, fake, s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_LT(units["A/p"].samples.size(), 20u);
  EXPECT_EQ(units["C/p"].samples.size(), units["A/p"].samples.size());
  EXPECT_NE(joined(outcome.notes).find("B slower"), std::string::npos) << joined(outcome.notes);
  EXPECT_EQ(joined(outcome.notes).find("C "), std::string::npos) << joined(outcome.notes);
}

TEST(Rounds, DuetRunsAProgramsConfigurationsAtOnceSwappingProcessors) {
  Units units({"A", "B"}, {"p"});
  FakeRunner fake;
  fake.together = 2;
  fake.wall = noisyTimes({{"B", 1.05}}, 0.005);
  RunSettings s = deciding(5, true);
  s.cpus = {0, 1};
  ASSERT_TRUE(measure(units, fake, s).finished);
  EXPECT_EQ(fake.alone, 0) << "every run met its partner";
  ASSERT_GE(fake.calls.size(), 4u);
  // Round r runs the first configuration of its order on processor r % 2: each build
  // gets each processor in turn.
  std::map<std::string, std::set<int>> processors;
  for (std::size_t i = 0; i < fake.calls.size(); ++i)
    processors[fake.calls[i]].insert(fake.cpus[i].at(0));
  EXPECT_EQ(processors["A/p"], (std::set<int>{0, 1}));
  EXPECT_EQ(processors["B/p"], (std::set<int>{0, 1}));
}

} // namespace
} // namespace bench32
