// The sequential rule on simulated sessions: looking after every round, its false
// verdicts stay within alpha, where a fixed-sample interval looked at as often does not.
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "analysis/sequential.hpp"
#include "analysis/stats.hpp"

namespace bench32 {
namespace {

enum class Noise { normal, heavy };

// One simulated session of `pairs` rounds: base and other runs of a program whose true
// ratio is `ratio`, each run off by a relative error of about `sd` (normal, or
// Student's t with 3 degrees of freedom scaled to the same spread), both sides of a
// round also sharing that round's drift.
std::pair<std::vector<double>, std::vector<double>>
session(std::mt19937_64& rng, double ratio, double sd, Noise noise, std::size_t pairs) {
  std::normal_distribution<double> normal(0, sd);
  std::student_t_distribution<double> t3(3);
  std::normal_distribution<double> drift(0, 0.05);
  auto error = [&] { return noise == Noise::normal ? normal(rng) : t3(rng) * sd / std::sqrt(3.0); };
  std::vector<double> a, b;
  for (std::size_t i = 0; i < pairs; ++i) {
    const double round = drift(rng);
    a.push_back(0.1 * std::exp(round + error()));
    b.push_back(0.1 * ratio * std::exp(round + error()));
  }
  return {a, b};
}

struct Rates {
  double different = 0, equal = 0, open = 0;
};

Rates simulate(double ratio, double sd, Noise noise, const DecideSettings& settings,
               std::size_t sessions = 1000, std::size_t pairs = 300) {
  std::mt19937_64 rng(20261210);
  Rates rates;
  for (std::size_t s = 0; s < sessions; ++s) {
    const auto [a, b] = session(rng, ratio, sd, noise, pairs);
    const Decision d = decidePaired(a, b, settings).state;
    if (d == Decision::slower || d == Decision::faster)
      rates.different += 1.0 / double(sessions);
    else if (d == Decision::equal)
      rates.equal += 1.0 / double(sessions);
    else
      rates.open += 1.0 / double(sessions);
  }
  return rates;
}

TEST(Sequential, FalseVerdictsStayWithinAlphaLookingAfterEveryRound) {
  const DecideSettings settings; // resolution 1%, alpha 0.01
  struct Case {
    const char* what;
    double ratio, sd;
    Noise noise;
  };
  const Case cases[] = {
      {"no change, 1% runs", 1.0, 0.01, Noise::normal},
      {"no change, 3% runs", 1.0, 0.03, Noise::normal},
      {"no change, heavy tails", 1.0, 0.02, Noise::heavy},
      {"a change of exactly the resolution", 1.01, 0.01, Noise::normal},
      {"the same, faster", 1 / 1.01, 0.01, Noise::normal},
      {"the same, heavy tails", 1.01, 0.01, Noise::heavy},
  };
  for (const auto& c : cases) {
    const Rates r = simulate(c.ratio, c.sd, c.noise, settings);
    if (c.ratio == 1.0)
      EXPECT_LE(r.different, settings.alpha) << c.what;
    else
      EXPECT_LE(r.equal, settings.alpha) << c.what;
  }
}

TEST(Sequential, FindsOnePercentAndSaysEqualWhenNothingChanged) {
  const DecideSettings settings;
  struct Case {
    double ratio;
    Decision expected;
    double atLeast;
  };
  // Runs spread 1%: a 1% change is found, in either direction, and no change is equal.
  const Case cases[] = {{1.01, Decision::slower, 0.95},
                        {1 / 1.01, Decision::faster, 0.95},
                        {1.0, Decision::equal, 0.95},
                        {1.05, Decision::slower, 1.0}};
  for (const auto& c : cases) {
    std::mt19937_64 rng(7);
    int hits = 0;
    for (int s = 0; s < 200; ++s) {
      const auto [a, b] = session(rng, c.ratio, 0.01, Noise::normal, 300);
      hits += decidePaired(a, b, settings).state == c.expected;
    }
    EXPECT_GE(hits / 200.0, c.atLeast) << decisionName(c.expected) << " at " << c.ratio;
  }
}

// Without the correction: the fixed-sample 99% t interval, looked at after every round
// from the fifth on, stopping at the first that excludes 1. It cries wolf far more often
// than its 1%.
TEST(Sequential, UncorrectedLooksExceedAlpha) {
  std::mt19937_64 rng(20261210);
  int falseAlarms = 0;
  const int sessions = 1000;
  for (int s = 0; s < sessions; ++s) {
    const auto [a, b] = session(rng, 1.0, 0.01, Noise::normal, 300);
    double mean = 0, m2 = 0;
    for (std::size_t k = 1; k <= a.size(); ++k) {
      const double x = std::log(b[k - 1] / a[k - 1]);
      const double delta = x - mean;
      mean += delta / double(k);
      m2 += delta * (x - mean);
      if (k < 5) continue;
      const double half =
          stats::studentQuantile(0.995, double(k - 1)) * std::sqrt(m2 / double(k - 1) / double(k));
      if (std::fabs(mean) > half) {
        ++falseAlarms;
        break;
      }
    }
  }
  EXPECT_GT(falseAlarms / double(sessions), 0.05) << "the uncorrected rule stays within alpha";
}

TEST(Sequential, AVerdictOnceReachedStandsAndOpenNeedsMore) {
  const DecideSettings settings;
  std::mt19937_64 rng(3);
  auto [a, b] = session(rng, 1.03, 0.005, Noise::normal, 40);
  const PairedDecision early = decidePaired(a, b, settings);
  ASSERT_EQ(early.state, Decision::slower);
  EXPECT_GT(early.interval.low, 1.0);
  EXPECT_EQ(pairsToDecide(early, settings), 0);
  // Later rounds that drift back cannot undo it.
  for (int i = 0; i < 40; ++i) a.push_back(b[std::size_t(i)]), b.push_back(a[std::size_t(i)]);
  EXPECT_EQ(decidePaired(a, b, settings).state, Decision::slower);

  // Too few pairs, and a noisy open one: it asks for more, the noisier the more.
  EXPECT_EQ(decidePaired({1, 1}, {1, 1}, settings).state, Decision::open);
  std::mt19937_64 rng2(5);
  const auto [c, d] = session(rng2, 1.0, 0.05, Noise::normal, 10);
  const auto [e, f] = session(rng2, 1.0, 0.10, Noise::normal, 10);
  const PairedDecision noisy = decidePaired(c, d, settings), noisier = decidePaired(e, f, settings);
  ASSERT_EQ(noisy.state, Decision::open);
  EXPECT_GT(pairsToDecide(noisier, settings), pairsToDecide(noisy, settings));
  // Values that are no times are left out of the pairs.
  EXPECT_EQ(decidePaired({1, 0, 1}, {1, 1, -1}, settings).pairs, 1u);
}

} // namespace
} // namespace bench32
