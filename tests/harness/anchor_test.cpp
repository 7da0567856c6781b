#include "analysis/anchor.hpp"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "analysis/noise.hpp"
#include "analysis/stats.hpp"

namespace bench32 {
namespace {

UnitResult unit(const std::string& config, const std::string& binary, double wall, double cpu) {
  UnitResult u;
  u.config = config;
  u.program = "p";
  u.workload = "ref";
  u.status = Status::ok;
  u.binaryXxh3 = binary;
  for (int i = 0; i < 5; ++i) u.samples.push_back({wall, cpu * 0.9, cpu * 0.1, 1000});
  return u;
}

// A session of candidate "new" and anchor "old", everything slowed by `shift`.
Results session(double shift, bool withAnchor = true, const std::string& anchorBinary = "a1") {
  Results r;
  r.environment = {{"cpu", "Test CPU"}, {"cores", "2"}, {"kernel", "Linux 6.1 x86_64"}};
  r.configs = {ConfigInfo{"new", "", "", "", "", ""}, ConfigInfo{"old", "", "", "", "", ""}};
  r.units = {unit("new", "n1", 2.0 * shift, 1.0 * shift),
             unit("old", anchorBinary, 4.0 * shift, 3.0 * shift)};
  if (withAnchor) r.anchor = "old";
  return r;
}

double median(const Results& r, const std::string& config, Metric metric) {
  return std::exp(sessionValue(*r.find(config, "p", "ref"), metric));
}

TEST(Anchor, EachSessionReadRelativeToItsAnchor) {
  struct Case {
    const char* what;
    std::vector<Results> sessions;
    Metric metric;
    std::vector<double> newValues; // the candidate's median per session, after
    std::vector<double> oldValues; // the anchor's, after (left as measured)
    bool noted;
  };
  const std::vector<Case> cases{
      // Typical anchor cpu: median(3.0, 3.6, 3.3) = 3.3.
      {"the session's shift cancels",
       {session(1.0), session(1.2), session(1.1)},
       Metric::cpu,
       {1.1, 1.1, 1.1},
       {3.0, 3.6, 3.3},
       true},
      {"wall time is scaled by the anchor's wall time",
       {session(1.0), session(1.5)},
       Metric::wall,
       {2.5, 2.5},
       {4.0, 6.0},
       true},
      {"a session without an anchor is left as measured",
       {session(1.0), session(2.0, false), session(1.0)},
       Metric::cpu,
       {1.0, 2.0, 1.0},
       {3.0, 6.0, 3.0},
       true},
      {"a new anchor binary has its own usual value",
       {session(1.0), session(1.0, true, "a2"), session(2.0, true, "a2")},
       Metric::cpu,
       {1.0, 1.5, 1.5},
       {3.0, 3.0, 6.0},
       true},
      {"sizes and counts are not relative to anything",
       {session(1.0), session(2.0)},
       Metric::rss,
       {1000, 1000},
       {1000, 1000},
       false},
  };
  for (auto c : cases) {
    const std::string note = anchorSessions(c.sessions, c.metric);
    EXPECT_EQ(!note.empty(), c.noted) << c.what << ": " << note;
    for (std::size_t i = 0; i < c.sessions.size(); ++i) {
      EXPECT_NEAR(median(c.sessions[i], "new", c.metric), c.newValues[i], 1e-9)
          << c.what << " " << i;
      EXPECT_NEAR(median(c.sessions[i], "old", c.metric), c.oldValues[i], 1e-9)
          << c.what << " " << i;
    }
  }
}

TEST(Anchor, AFailedAnchorLeavesItsSessionAsMeasuredAndCpuLeavesWallAlone) {
  std::vector<Results> sessions{session(1.0), session(2.0)};
  sessions[1].units[1].status = Status::failed;
  const std::string note = anchorSessions(sessions, Metric::cpu);
  EXPECT_NE(note.find("1 of 2 sessions"), std::string::npos) << note;
  EXPECT_NEAR(median(sessions[1], "new", Metric::cpu), 2.0, 1e-9);
  // cpu scales user and system alike; wall is another metric's business.
  EXPECT_NEAR(median(sessions[0], "new", Metric::wall), 2.0, 1e-9);
}

// The point of an anchor: sessions that wander by ±10% between them, with runs that agree
// to 0.2% within each, give a learned session noise of about 0.2% once anchored.
TEST(Anchor, TheLearnedSessionNoiseShrinksToTheWithinSessionNoise) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> shift(0.9, 1.1);
  std::normal_distribution<double> within(0, 0.002);
  std::vector<Results> sessions;
  for (int k = 0; k < 12; ++k) {
    Results r = session(shift(random));
    for (auto& u : r.units)
      for (auto& s : u.samples) {
        const double e = 1 + within(random);
        s.user *= e, s.system *= e;
        s.wall = s.user + s.system; // runs that never waited: a quiet session
      }
    sessions.push_back(r);
  }
  const auto spreadOf = [](const std::vector<Results>& all) {
    return NoiseModel::learn(all, Metric::cpu)
        .spread("p", "ref", "new", runConditions(all.front()))
        .sd;
  };
  const double raw = spreadOf(sessions);
  anchorSessions(sessions, Metric::cpu);
  const double anchored = spreadOf(sessions);
  EXPECT_GT(raw, 0.03);
  EXPECT_LT(anchored, 0.004);
}

} // namespace
} // namespace bench32
