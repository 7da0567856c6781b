#include <cmath>

#include <gtest/gtest.h>

#include "analysis/stats.hpp"

namespace bench32::stats {
namespace {

TEST(Stats, MedianQuantileAndMad) {
  struct Case {
    std::vector<double> values;
    double median, q25, mad;
  };
  const Case cases[] = {
      {{5}, 5, 5, 0},
      {{3, 1, 2}, 2, 1.5, 1},
      {{4, 1, 3, 2}, 2.5, 1.75, 1},
      {{1, 2, 3, 4, 100}, 3, 2, 1},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(median(c.values), c.median);
    EXPECT_DOUBLE_EQ(quantile(c.values, 0.25), c.q25);
    EXPECT_DOUBLE_EQ(mad(c.values), c.mad);
  }
  EXPECT_TRUE(std::isnan(median({})));
}

TEST(Stats, Outliers) {
  EXPECT_EQ(outliers({1, 1.01, 0.99, 1.02, 0.98, 5}), (std::vector<std::size_t>{5}));
  EXPECT_TRUE(outliers({1, 1.01, 0.99, 1.02, 0.98, 1.03}).empty());
  EXPECT_TRUE(outliers({1, 1, 100}).empty()) << "too few values to call one an outlier";
  // More than half the values equal: the MAD is zero, the far value still stands out.
  EXPECT_EQ(outliers({2, 2, 2, 2, 2, 2, 2.001, 9}), (std::vector<std::size_t>{7}));
  EXPECT_TRUE(outliers({2, 2, 2, 2, 2}).empty());
}

TEST(Stats, MedianIntervalUsesExactBinomialRanks) {
  std::vector<double> ten;
  for (int i = 10; i >= 1; --i) ten.push_back(i);
  // For n = 10 the 95% interval runs from the 2nd to the 9th order statistic.
  EXPECT_EQ(medianInterval(ten).low, 2);
  EXPECT_EQ(medianInterval(ten).high, 9);
  // Five values cannot give 95%: the interval is the whole sample.
  EXPECT_EQ(medianInterval({3, 1, 2, 5, 4}).low, 1);
  EXPECT_EQ(medianInterval({3, 1, 2, 5, 4}).high, 5);
  EXPECT_TRUE(std::isinf(relativePrecision({1})));
  EXPECT_DOUBLE_EQ(relativePrecision(ten), (9.0 - 2.0) / 2 / 5.5);
}

TEST(Stats, MannWhitneyAgainstKnownValues) {
  std::vector<double> low21, high21;
  for (int i = 1; i <= 21; ++i) low21.push_back(i), high21.push_back(i + 21);
  struct Case {
    const char* what;
    std::vector<double> a, b;
    double u, p;
  };
  const Case cases[] = {
      // Exact: 2 of the C(10, 5) = 252 arrangements are this extreme.
      {"exact, separated", {1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, 0, 2.0 / 252},
      {"exact, interleaved", {1, 2, 4, 6, 7}, {3, 5, 8, 9, 10}, 5, 38.0 / 252},
      // Ties: normal approximation with continuity and tie corrections (as R's
      // wilcox.test with exact = FALSE).
      {"ties", {1, 2, 2, 3, 3, 4}, {3, 4, 4, 5, 5, 6}, 3, 0.01810094873944971},
      {"many values", low21, high21, 0, 3.125399998400882e-08},
      {"identical", {1, 2, 3}, {1, 2, 3}, 4.5, 1.0},
  };
  for (const auto& c : cases) {
    const RankTest t = mannWhitney(c.a, c.b);
    EXPECT_DOUBLE_EQ(t.u, c.u) << c.what;
    EXPECT_NEAR(t.p, c.p, 1e-12 + c.p * 1e-6) << c.what;
  }
  EXPECT_EQ(mannWhitney({1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}).z,
            -mannWhitney({6, 7, 8, 9, 10}, {1, 2, 3, 4, 5}).z);
  EXPECT_EQ(mannWhitney({}, {1, 2}).p, 1);
  EXPECT_EQ(mannWhitney({4, 4, 4}, {4, 4}).p, 1) << "all tied: no evidence either way";
}

TEST(Stats, GeometricMeanAndSd) {
  const Geometric g = geometric({2, 8});
  EXPECT_DOUBLE_EQ(g.mean, 4);
  EXPECT_NEAR(g.sd, std::exp(std::log(4.0) / std::sqrt(2.0)), 1e-12);
  EXPECT_DOUBLE_EQ(geometric({1.5}).sd, 1);
  EXPECT_DOUBLE_EQ(geometric({}).mean, 1);
}

TEST(Stats, RatioIntervalIsRepeatableAndBracketsTheRatio) {
  const std::vector<double> a{1.00, 1.02, 0.98, 1.01, 0.99, 1.03, 0.97};
  std::vector<double> b;
  for (double v : a) b.push_back(v * 1.5);
  const Interval first = ratioInterval(a, b), second = ratioInterval(a, b);
  EXPECT_EQ(first.low, second.low);
  EXPECT_EQ(first.high, second.high);
  EXPECT_LE(first.low, 1.5);
  EXPECT_GE(first.high, 1.5);
  EXPECT_GT(first.low, 1.3);
  const Interval exact = ratioInterval({2, 2, 2}, {3, 3, 3});
  EXPECT_DOUBLE_EQ(exact.low, 1.5);
  EXPECT_DOUBLE_EQ(exact.high, 1.5);
}

} // namespace
} // namespace bench32::stats

namespace bench32::stats {
namespace {

TEST(Stats, LayoutMediansAndSpreadsByHand) {
  struct Case {
    const char* what;
    Layouts layouts;
    double median, layoutSpread, runSpread;
    bool sensitive;
  };
  const double k = 1.4826;
  const Case cases[] = {
      // Layout medians 2, 10, 4.5: their median 4.5, every layout weighing the same
      // whatever its number of runs. Differences between two runs of a layout,
      // relative to its median: 1/2, 1, 1/2 and 1/4.5; their median 1/2.
      {"uneven layouts",
       {{1, 2, 3}, {10}, {4, 5}},
       4.5,
       k * 2.5 / 4.5,
       k * 0.5 / std::sqrt(2.0),
       false},
      // Medians 1, 2, 1.5 (MAD 0.5); runs 10% either side of their layout's median:
      // relative differences 0.1, 0.2, 0.1 in each layout, whose median is 0.1.
      {"layouts far apart",
       {{0.9, 1.0, 1.1}, {1.8, 2.0, 2.2}, {1.35, 1.5, 1.65}},
       1.5,
       k * 0.5 / 1.5,
       k * 0.1 / std::sqrt(2.0),
       true},
      // Medians 1.0, 1.01, 0.99: a 1% layout spread under a 10% run spread.
      {"runs noisier than layouts",
       {{0.9, 1.0, 1.1}, {0.909, 1.01, 1.111}, {0.891, 0.99, 1.089}},
       1.0,
       k * 0.01,
       k * 0.1 / std::sqrt(2.0),
       false},
      // One run a layout: no run spread to weigh the layouts against.
      {"single runs", {{1}, {2}, {3}}, 2, k * 1 / 2.0, NAN, false},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(layoutMedian(c.layouts), c.median) << c.what;
    const LayoutSpread spread = layoutSpread(c.layouts);
    EXPECT_NEAR(spread.layout, c.layoutSpread, 1e-9) << c.what;
    if (std::isnan(c.runSpread))
      EXPECT_TRUE(std::isnan(spread.run)) << c.what;
    else
      EXPECT_NEAR(spread.run, c.runSpread, 1e-9) << c.what;
    EXPECT_EQ(layoutSensitive(spread), c.sensitive) << c.what;
  }
}

TEST(Stats, LayoutTwoLevelBootstrapByHand) {
  struct Case {
    const char* what;
    Layouts a, b;
    double low, high;   // the interval, exactly
    double pLow, pHigh; // p lies in [pLow, pHigh]
  };
  const int resamples = 4000;
  const double smallest = 2.0 / (resamples + 1);
  const Case cases[] = {
      // Every resample gives exactly 2: the interval is a point and p as small as the
      // resamples allow.
      {"every layout twice as slow", {{1}, {1}, {1}}, {{2}, {2}, {2}}, 2, 2, smallest, smallest},
      {"the same", {{1, 1}, {1}, {1}}, {{1}, {1, 1}, {1}}, 1, 1, 1, 1},
      // b's resampled median of (1, 1, 1, 2) drawn four times exceeds 1 when two or more
      // draws are the 2 (probability 0.26) and reaches 2 when three or more are
      // (0.051): the 95% interval is [1, 2]; the ratio is 1, so p = 1.
      {"one slow layout of four", {{1}, {1}, {1}, {1}}, {{1}, {1}, {1}, {2}}, 1, 2, 1, 1},
      // The runs within a layout are resampled too: a layout of runs 1 and 3 gives a
      // median of 1, 2 or 3 (probabilities 1/4, 1/2, 1/4) against a constant 2.
      {"runs within a layout", {{2}}, {{1, 3}}, 0.5, 1.5, 1, 1},
  };
  for (const auto& c : cases) {
    const LayoutTest t = layoutRatio(c.a, c.b, 0.95, resamples);
    EXPECT_DOUBLE_EQ(t.interval.low, c.low) << c.what;
    EXPECT_DOUBLE_EQ(t.interval.high, c.high) << c.what;
    EXPECT_GE(t.p, c.pLow - 1e-12) << c.what;
    EXPECT_LE(t.p, c.pHigh + 1e-12) << c.what;
  }
  // Repeatable: seeded from the data.
  const Layouts a{{1.0, 1.1}, {1.2, 0.9}, {1.05, 1.0}}, b{{1.3, 1.2}, {1.1, 1.25}, {1.2, 1.4}};
  EXPECT_EQ(layoutRatio(a, b).p, layoutRatio(a, b).p);
  EXPECT_EQ(layoutRatio(a, b).interval.low, layoutRatio(a, b).interval.low);
}

} // namespace
} // namespace bench32::stats
