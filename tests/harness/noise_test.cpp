#include "analysis/noise.hpp"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "analysis/compare.hpp"
#include "analysis/history.hpp"
#include "analysis/stats.hpp"

namespace bench32 {
namespace {

// Reference figures from SciPy (scipy.stats.t.ppf).
TEST(Noise, StudentQuantilesAndThePooledSpread) {
  struct Case {
    double probability, df, t;
  };
  for (const auto& c : {Case{0.995, 6, 3.707428}, Case{0.975, 14, 2.144787},
                        Case{0.9975, 39, 2.975609}, Case{0.5, 3, 0.0}})
    EXPECT_NEAR(stats::studentQuantile(c.probability, c.df), c.t, 1e-5) << c.df;

  // (1-2)^2 + (3-2)^2 + (10-11)^2 + (12-11)^2 over 1 + 2 + 0 degrees of freedom; the group
  // of one adds nothing.
  const auto spread = stats::pooledSpread({{1, 3}, {10, 11, 12}, {50}});
  EXPECT_EQ(spread.df, 3);
  EXPECT_NEAR(spread.sd, std::sqrt(4.0 / 3), 1e-12);
  EXPECT_EQ(stats::pooledSpread({{1}, {2}}).df, 0);
  // t(0.995, 3) sqrt(4/3) sqrt(1/2 + 1/8)
  EXPECT_NEAR(stats::noiseThreshold(spread, 2, 8, 0.01), 5.840909 * std::sqrt(4.0 / 3 * 0.625),
              1e-5);
}

TEST(Noise, OneSessionASideGivesTheLayoutFigures) {
  const stats::Layouts a{{1.0, 1.1, 0.9}, {1.2, 1.0}}, b{{1.3, 1.2}, {1.1, 1.4, 1.2}};
  const auto layouts = stats::layoutRatio(a, b);
  const auto sessions = stats::sessionRatio({a}, {b});
  EXPECT_DOUBLE_EQ(layouts.interval.low, sessions.interval.low);
  EXPECT_DOUBLE_EQ(layouts.interval.high, sessions.interval.high);
  EXPECT_DOUBLE_EQ(layouts.p, sessions.p);
}

// A session whose one unit ran the given binary, one run at each wall time.
Results session(const std::string& binary, const std::vector<double>& walls,
                const std::string& runUnder = "") {
  Results r;
  r.environment = {{"cpu", "Test CPU"}, {"cores", "2"}, {"kernel", "Linux 6.1 x86_64"}};
  r.runUnder = runUnder;
  r.configs = {ConfigInfo{"cc", "", "", "", "", ""}};
  UnitResult u;
  u.config = "cc";
  u.program = "p";
  u.workload = "ref";
  u.status = Status::ok;
  u.binaryXxh3 = binary;
  for (double wall : walls) u.samples.push_back({wall, wall, 0, 1000});
  r.units = {u};
  return r;
}

// The same with five runs at `centre`.
Results session(const std::string& binary, double centre, const std::string& runUnder = "") {
  return session(binary, std::vector<double>(5, centre), runUnder);
}

TEST(Noise, LearnedFromSessionsOfOneBinaryUnderOneSetOfConditions) {
  const std::string here = runConditions(session("a", 1));
  struct Case {
    const char* name;
    std::vector<Results> sessions;
    int df;
    double sd;
  };
  const std::vector<Case> cases{
      {"every binary different: nothing learned",
       {session("a", 1), session("b", 2), session("c", 1), session("d", 2)},
       0,
       0},
      {"two binaries, four sessions each: a step between them is not noise",
       {session("a", 1), session("a", std::exp(0.1)), session("a", 1), session("a", std::exp(0.1)),
        session("b", 2), session("b", 2 * std::exp(0.1)), session("b", 2),
        session("b", 2 * std::exp(0.1))},
       6,
       std::sqrt(8 * 0.05 * 0.05 / 6)},
      {"too few: two sessions of a binary give one degree of freedom",
       {session("a", 1), session("a", 2)},
       0,
       0},
      {"another emulator is another set of conditions",
       {session("a", 1), session("a", 2, "qemu-i386"), session("a", 1),
        session("a", 2, "qemu-i386"), session("a", 1), session("a", 2, "qemu-i386"),
        session("a", 1)},
       3,
       0},
  };
  for (const auto& c : cases) {
    const auto model = NoiseModel::learn(c.sessions, Metric::wall);
    const auto spread = model.spread("p", "ref", "cc", here);
    EXPECT_EQ(spread.df, c.df) << c.name;
    if (c.df > 0) {
      EXPECT_NEAR(spread.sd, c.sd, 1e-12) << c.name;
    }
  }
}

// Simulated histories: every session of a binary has its own offset (the machine's state
// that session) and every run its own noise; a binary may carry a real step.
struct Simulation {
  double sessionSpread = 0.02; // of a session's log time
  double runSpread = 0.005;    // of a run's, about its session
  int runs = 5;
  std::mt19937_64 random{20261209};

  RevisionPoint revision(const std::string& name, const std::string& binary, double step) {
    std::normal_distribution<double> session(0, sessionSpread), run(0, runSpread);
    const double offset = session(random);
    std::vector<double> walls;
    for (int i = 0; i < runs; ++i) walls.push_back(0.1 * std::exp(step + offset + run(random)));
    RevisionPoint p;
    p.revision = name;
    p.created = name;
    p.sessions = {1};
    p.merged = bench32::session(binary, walls);
    p.loaded = {p.merged};
    return p;
  }

  // Eight revisions of one binary, then eight of another whose runs are `step` (in log
  // time) slower, or alternating binaries throughout. Returns the flags at each step.
  std::vector<HistoryRow> history(double step, bool alternate) {
    std::vector<RevisionPoint> points;
    for (int i = 0; i < 16; ++i) {
      const bool second = alternate ? i % 2 == 1 : i >= 8;
      char name[8];
      std::snprintf(name, sizeof name, "r%02d", i);
      points.push_back(revision(name, second ? "b" : "a", second ? step : 0));
    }
    std::vector<Results> sessions;
    for (const auto& p : points) sessions.push_back(p.merged);
    const auto model = NoiseModel::learn(sessions, Metric::wall);
    HistoryFilter filter;
    filter.settings.noise = &model;
    return bench32::history(points, filter);
  }
};

std::size_t flags(const std::vector<HistoryRow>& rows) {
  return std::size_t(std::count_if(rows.begin(), rows.end(), flagged));
}

// The false-alarm rate is a rate: over n histories it is checked with the Monte Carlo
// error allowed (three standard errors of a binomial count at rate alpha), which still
// catches a rule that leaves the session noise out (it flags a quarter of these steps).
std::size_t allowedFalseAlarms(std::size_t trials, double alpha) {
  const double n = double(trials);
  return std::size_t(alpha * n + 3 * std::sqrt(n * alpha * (1 - alpha)));
}

TEST(Noise, SimulatedHistoriesWithoutAChangeAreFlaggedAtMostAtTheStatedRate) {
  Simulation sim;
  std::size_t flaggedHistories = 0, alternatingFlags = 0, alternatingSteps = 0;
  const std::size_t trials = 1000;
  for (std::size_t t = 0; t < trials; ++t) flaggedHistories += flags(sim.history(0, false)) > 0;
  for (std::size_t t = 0; t < 40; ++t) {
    const auto rows = sim.history(0, true);
    alternatingFlags += flags(rows);
    alternatingSteps += rows.size() - 1;
  }
  RecordProperty("flagged_histories", int(flaggedHistories));
  RecordProperty("alternating_flags", int(alternatingFlags));
  RecordProperty("alternating_steps", int(alternatingSteps));
  EXPECT_LE(flaggedHistories, allowedFalseAlarms(trials, 0.01));
  EXPECT_LE(alternatingFlags, allowedFalseAlarms(alternatingSteps, 0.01));
}

TEST(Noise, SimulatedStepOfThreeSessionSpreadsIsFound) {
  Simulation sim;
  std::size_t found = 0;
  const std::size_t trials = 300;
  for (std::size_t t = 0; t < trials; ++t) {
    const auto rows = sim.history(3 * sim.sessionSpread, false);
    // Found where it happened, and nowhere else.
    found += flagged(rows[8]) && rows[8].change.verdict == Change::slower && flags(rows) == 1;
  }
  RecordProperty("found", int(found));
  EXPECT_GE(found, trials * 9 / 10);
}

TEST(Noise, IdenticalBinariesAreNeverAVerdict) {
  // Two sessions of one binary, the second 40% slower (a busy machine): noise by
  // construction, out of the gate; the same binaries on another kind of machine are the
  // machines' difference.
  Results monday = session("a", 1.0), tuesday = session("a", 1.4), other = tuesday;
  other.environment["cpu"] = "Other CPU";
  for (auto* r : {&monday, &tuesday, &other}) r->configs = {ConfigInfo{"cc", "", "", "", "", ""}};
  for (auto& s : tuesday.units[0].samples) s.wall *= 1.0 + 0.001 * s.user;
  const std::vector<Results> files{monday, tuesday, other};
  const auto series = collectSeries(files, {"monday", "tuesday", "other"});
  const Comparison same = compare(series[0], series[1], {});
  EXPECT_EQ(same.programs[0].verdict, Change::sameBinary);
  EXPECT_FALSE(exceeds(same, 0.05));
  const Comparison machines = compare(series[0], series[2], {});
  EXPECT_EQ(machines.programs[0].verdict, Change::slower);
  EXPECT_TRUE(exceeds(machines, 0.05));
}

} // namespace
} // namespace bench32
