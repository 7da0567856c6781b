// Scoring a machine against a reference: the arithmetic of the score, and the refusals
// that keep two scores comparable.
#include "analysis/score.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include "compare_fixtures.hpp"
#include "exec/errors.hpp"

namespace bench32::test {
namespace {

Results oneConfig(const std::string& config, std::vector<UnitResult> units) {
  Results r;
  r.configs = {{config, "", "", "", "", ""}};
  for (auto& u : units) u.config = config;
  r.units = std::move(units);
  return r;
}

Score scoreOf(const Results& reference, const Results& measured, Metric metric = Metric::wall) {
  return score({"ref", "ref", &reference, reference.configs[0].name},
               {"new", "new", &measured, measured.configs[0].name}, metric);
}

TEST(Score, IsTheGeometricMeanOfReferenceOverMeasured) {
  // Ratios 2 and 0.5 (and 1): the geometric mean is 1, where an arithmetic one is 1.17.
  const Results reference =
      oneConfig("r", {unit("", "a", around(2.0, 9)), unit("", "b", around(1.0, 9)),
                      unit("", "c", around(3.0, 9))});
  const Results measured =
      oneConfig("m", {unit("", "a", around(1.0, 9)), unit("", "b", around(2.0, 9)),
                      unit("", "c", around(3.0, 9))});
  const Score s = scoreOf(reference, measured);
  ASSERT_EQ(s.programs.size(), 3u);
  EXPECT_DOUBLE_EQ(s.programs[0].ratio, 2.0);
  EXPECT_DOUBLE_EQ(s.programs[1].ratio, 0.5);
  EXPECT_NEAR(s.score, 1.0, 1e-12);
  EXPECT_LE(s.interval.low, s.score);
  EXPECT_GE(s.interval.high, s.score);
  EXPECT_LT(s.interval.high - s.interval.low, 0.05); // runs spread by about ±1%
  for (const auto& p : s.programs) {
    EXPECT_LE(p.interval.low, p.ratio);
    EXPECT_GE(p.interval.high, p.ratio);
  }
}

TEST(Score, OfRunsThatNeverVaryHasAPointInterval) {
  const Results reference = oneConfig("r", {unit("", "a", {4, 4, 4}), unit("", "b", {1, 1, 1})});
  const Results measured = oneConfig("m", {unit("", "a", {1, 1, 1}), unit("", "b", {1, 1, 1})});
  const Score s = scoreOf(reference, measured);
  EXPECT_DOUBLE_EQ(s.score, 2.0);
  EXPECT_DOUBLE_EQ(s.interval.low, 2.0);
  EXPECT_DOUBLE_EQ(s.interval.high, 2.0);
}

TEST(Score, OfARateIsMeasuredOverReference) {
  // Twice the rate is twice as fast: the same score as half the time.
  auto rated = [](const std::string& program, std::vector<double> rate) {
    UnitResult u = unit("", program, {1, 1, 1});
    u.copies = 2;
    u.rate = std::move(rate);
    return u;
  };
  const Results reference = oneConfig("r", {rated("a", {10, 10, 10}), rated("b", {5, 5, 5})});
  const Results measured = oneConfig("m", {rated("a", {20, 20, 20}), rated("b", {10, 10, 10})});
  const Score s = scoreOf(reference, measured, Metric::rate);
  EXPECT_DOUBLE_EQ(s.programs[0].ratio, 2.0);
  EXPECT_DOUBLE_EQ(s.score, 2.0);
  EXPECT_DOUBLE_EQ(s.interval.low, 2.0);
}

TEST(Score, RefusesWhatWouldNotBeTheSameNumber) {
  auto withInput = [](UnitResult u, const std::string& digest) {
    u.inputXxh3 = digest;
    return u;
  };
  struct Case {
    const char* name;
    std::vector<UnitResult> measured;
    Metric metric;
    const char* message;
  };
  const std::vector<Case> cases{
      {"a program missing",
       {unit("", "a", {1})},
       Metric::wall,
       "lacks what the reference "
       "measured: b/ref"},
      {"a program more",
       {unit("", "a", {1}), unit("", "b", {1}), unit("", "c", {1})},
       Metric::wall,
       "measured what the reference did not: c/ref"},
      {"another input",
       {unit("", "a", {1}), withInput(unit("", "b", {1}), "ffff")},
       Metric::wall,
       "ran other inputs than the reference: b/ref"},
      {"a failed unit",
       {unit("", "a", {1}), unit("", "b", {}, Status::failed)},
       Metric::wall,
       "has no verified runs of b/ref"},
      {"other copies",
       {unit("", "a", {1}),
        [&] {
          UnitResult u = withInput(unit("", "b", {1}), "eeee");
          u.copies = 2;
          return u;
        }()},
       Metric::wall,
       "another number of copies at once than the reference: b/ref"},
      {"a metric not per run", {unit("", "a", {1}), unit("", "b", {1})}, Metric::text, "not one"},
  };
  const Results reference =
      oneConfig("r", {unit("", "a", {1}), withInput(unit("", "b", {1}), "eeee")});
  for (const auto& c : cases) {
    const Results measured = oneConfig("m", c.measured);
    try {
      scoreOf(reference, measured, c.metric);
      ADD_FAILURE() << c.name << ": scored";
    } catch (const BadInput& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.name << ": " << e.what();
    }
  }
}

} // namespace
} // namespace bench32::test

namespace bench32::test {
namespace {

// Sessions of one machine and build whose whole suite ran a few per cent faster or
// slower each time: the spread of their scores is what covers the next session's.
TEST(Score, CoversTheSpreadBetweenSessionsOfTheSameBinaries) {
  const Results reference = oneConfig("r", {unit("", "a", {1, 1, 1}), unit("", "b", {2, 2, 2})});
  const double shifts[] = {1.00, 1.04, 0.97, 1.02, 0.95, 1.03};
  std::vector<Results> stored;
  for (double shift : shifts) {
    Results session = oneConfig("m", {unit("", "a", {shift, shift, shift}),
                                      unit("", "b", {2 * shift, 2 * shift, 2 * shift})});
    for (auto& u : session.units) u.binaryXxh3 = "same-" + u.program;
    stored.push_back(session);
  }
  // A busy session (its runs waited half their time) is left out, and so is another
  // build, whose one session is no replicate.
  Results busy = stored.front();
  for (auto& u : busy.units)
    for (auto& s : u.samples) s.wall *= 2;
  Results other = stored.front();
  for (auto& u : other.units) u.binaryXxh3 = "other-" + u.program;
  stored.push_back(busy);
  stored.push_back(other);

  const Series base{"ref", "ref", &reference, "r"};
  const auto spread = sessionScoreSpread(base, stored, Metric::wall);
  std::vector<double> logs;
  for (double shift : shifts) logs.push_back(-std::log(shift));
  EXPECT_EQ(spread.df, 5);
  EXPECT_NEAR(spread.sd, stats::pooledSpread({logs}).sd, 1e-12);

  // A new session's point interval widens to cover the sessions' spread.
  Score s = scoreOf(reference, stored[1]);
  ASSERT_DOUBLE_EQ(s.interval.low, s.interval.high);
  coverSessions(s, spread);
  const double half = stats::studentQuantile(0.975, 5) * spread.sd;
  EXPECT_NEAR(std::log(s.interval.high / s.score), half, 1e-9);
  for (double shift : shifts) {
    EXPECT_LE(s.interval.low, 1 / shift);
    EXPECT_GE(s.interval.high, 1 / shift);
  }
}

} // namespace
} // namespace bench32::test
