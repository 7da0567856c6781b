#include "analysis/stats.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include <boost/math/distributions/students_t.hpp>

namespace bench32::stats {

double median(std::vector<double> values) { return quantile(std::move(values), 0.5); }

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const double position = q * double(values.size() - 1);
  const auto below = std::size_t(std::floor(position));
  const auto above = std::min(below + 1, values.size() - 1);
  const double fraction = position - double(below);
  // Exact positions and equal neighbours need no interpolation, which would turn an
  // infinite end into NaN.
  if (fraction == 0 || values[above] == values[below]) return values[below];
  return values[below] + (values[above] - values[below]) * fraction;
}

double mean(const std::vector<double>& values) {
  if (values.empty()) return std::nan("");
  return std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
}

double mad(const std::vector<double>& values) {
  const double m = median(values);
  std::vector<double> deviations;
  deviations.reserve(values.size());
  for (double v : values) deviations.push_back(std::fabs(v - m));
  return median(std::move(deviations));
}

double robustSd(const std::vector<double>& values) { return madToSd * mad(values); }

std::vector<std::size_t> outliers(const std::vector<double>& values, double threshold) {
  std::vector<std::size_t> found;
  if (values.size() < 5) return found;
  const double m = median(values);
  double scale = robustSd(values);
  if (scale == 0) {
    // More than half the values are equal: fall back on the mean absolute deviation.
    double sum = 0;
    for (double v : values) sum += std::fabs(v - m);
    scale = 1.253314 * sum / double(values.size());
  }
  if (scale == 0) return found;
  for (std::size_t i = 0; i < values.size(); ++i)
    if (std::fabs(values[i] - m) / scale > threshold) found.push_back(i);
  return found;
}

Interval medianInterval(std::vector<double> values, double confidence) {
  if (values.empty()) return {std::nan(""), std::nan("")};
  std::sort(values.begin(), values.end());
  // The number of values below the median is binomial(n, 1/2): the interval runs from
  // the j-th to the (n-j+1)-th order statistic, j the largest with P(X < j) <= alpha/2.
  const std::size_t n = values.size();
  const double tail = (1 - confidence) / 2;
  double cumulative = 0;
  std::size_t j = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const double nd = double(n), kd = double(k);
    const double pmf = std::exp(std::lgamma(nd + 1) - std::lgamma(kd + 1) -
                                std::lgamma(nd - kd + 1) - nd * std::log(2.0));
    if (cumulative + pmf > tail) break;
    cumulative += pmf;
    j = k + 1;
  }
  j = std::max<std::size_t>(j, 1);
  return {values[j - 1], values[n - j]};
}

double relativePrecision(const std::vector<double>& values, double confidence) {
  if (values.size() < 2) return INFINITY;
  const Interval ci = medianInterval(values, confidence);
  const double m = median(values);
  if (m <= 0) return ci.high > ci.low ? INFINITY : 0;
  return (ci.high - ci.low) / 2 / m;
}

Interval ratioInterval(const std::vector<double>& a, const std::vector<double>& b,
                       double confidence, int resamples) {
  if (a.empty() || b.empty()) return {std::nan(""), std::nan("")};
  // Seed from the data so that a comparison is repeatable.
  std::uint64_t seed = a.size() * 1000003u + b.size();
  for (double v : a) seed = seed * 31 + std::uint64_t(std::llround(v * 1e9));
  for (double v : b) seed = seed * 37 + std::uint64_t(std::llround(v * 1e9));
  std::mt19937_64 generator(seed);
  std::vector<double> ratios, sa(a.size()), sb(b.size());
  ratios.reserve(std::size_t(resamples));
  for (int r = 0; r < resamples; ++r) {
    for (auto& v : sa) v = a[generator() % a.size()];
    for (auto& v : sb) v = b[generator() % b.size()];
    // A resample whose baseline median is 0 has an unbounded ratio: it is kept, so that
    // the interval shows the unbounded end instead of hiding it.
    const double ma = median(sa), mb = median(sb);
    if (ma > 0)
      ratios.push_back(mb / ma);
    else if (mb > 0)
      ratios.push_back(INFINITY);
  }
  if (ratios.empty()) return {std::nan(""), std::nan("")};
  const double tail = (1 - confidence) / 2;
  return {quantile(ratios, tail), quantile(ratios, 1 - tail)};
}

double layoutMedian(const Layouts& layouts) {
  std::vector<double> medians;
  for (const auto& runs : layouts)
    if (!runs.empty()) medians.push_back(median(runs));
  return medians.empty() ? std::nan("") : median(medians);
}

namespace {

// The median of values, reordering them: quantile(values, 0.5) without the copy and
// the full sort, for the bootstrap's inner loop (the same arithmetic, so the same bits).
double medianInPlace(std::vector<double>& values) {
  if (values.empty()) return std::nan("");
  const std::size_t below = (values.size() - 1) / 2;
  std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(below), values.end());
  const double low = values[below];
  if (values.size() % 2 == 1) return low;
  const double high = *std::min_element(values.begin() + std::ptrdiff_t(below) + 1, values.end());
  return high == low ? low : low + (high - low) * 0.5;
}

// The two-level (or three-level) bootstrap behind layoutRatio and sessionRatio.
LayoutTest nestedRatio(const Sessions& a, const Sessions& b, std::uint64_t seed, double confidence,
                       int resamples) {
  const double observed = sessionMedian(b) / sessionMedian(a);
  if (!std::isfinite(observed)) return {{std::nan(""), std::nan("")}, 1};
  std::mt19937_64 generator(seed);
  // Buffers kept across resamples: the inner loop allocates nothing.
  std::vector<double> drawn, layoutMedians, sessionValues;
  auto resampleLayouts = [&](const Layouts& side) {
    layoutMedians.clear();
    for (std::size_t i = 0; i < side.size(); ++i) {
      const auto& runs = side[generator() % side.size()];
      if (runs.empty()) continue;
      drawn.resize(runs.size());
      for (auto& v : drawn) v = runs[generator() % runs.size()];
      layoutMedians.push_back(medianInPlace(drawn));
    }
    return medianInPlace(layoutMedians);
  };
  auto resample = [&](const Sessions& side) {
    if (side.size() == 1) return resampleLayouts(side.front());
    sessionValues.clear();
    for (std::size_t i = 0; i < side.size(); ++i)
      if (const double v = resampleLayouts(side[generator() % side.size()]); !std::isnan(v))
        sessionValues.push_back(v);
    return medianInPlace(sessionValues);
  };
  std::vector<double> ratios;
  ratios.reserve(std::size_t(resamples));
  std::size_t atOrBelow = 0, atOrAbove = 0;
  for (int r = 0; r < resamples; ++r) {
    const double ma = resample(a), mb = resample(b);
    const double ratio = ma > 0 ? mb / ma : mb > 0 ? INFINITY : std::nan("");
    if (std::isnan(ratio)) continue;
    ratios.push_back(ratio);
    atOrBelow += ratio <= 1;
    atOrAbove += ratio >= 1;
  }
  if (ratios.empty()) return {{std::nan(""), std::nan("")}, 1};
  const double tail = (1 - confidence) / 2;
  const double far = double(observed > 1 ? atOrBelow : observed < 1 ? atOrAbove : ratios.size());
  const double p = std::min(1.0, 2 * (far + 1) / double(ratios.size() + 1));
  return {{quantile(ratios, tail), quantile(ratios, 1 - tail)}, p};
}

std::uint64_t seedFrom(std::uint64_t seed, const Layouts& layouts) {
  for (const auto& runs : layouts)
    for (double v : runs) seed = seed * 31 + std::uint64_t(std::llround(v * 1e9));
  return seed;
}

} // namespace

LayoutTest layoutRatio(const Layouts& a, const Layouts& b, double confidence, int resamples) {
  const std::uint64_t seed = seedFrom(seedFrom(a.size() * 1000003u + b.size(), a), b);
  return nestedRatio({a}, {b}, seed, confidence, resamples);
}

double sessionMedian(const Sessions& sessions) {
  std::vector<double> values;
  for (const auto& layouts : sessions)
    if (const double v = layoutMedian(layouts); !std::isnan(v)) values.push_back(v);
  return values.empty() ? std::nan("") : median(values);
}

LayoutTest sessionRatio(const Sessions& a, const Sessions& b, double confidence, int resamples) {
  if (a.size() == 1 && b.size() == 1) return layoutRatio(a[0], b[0], confidence, resamples);
  std::uint64_t seed = a.size() * 7919u + b.size();
  for (const auto* side : {&a, &b})
    for (const auto& layouts : *side) seed = seedFrom(seed * 17 + layouts.size(), layouts);
  return nestedRatio(a, b, seed, confidence, resamples);
}

PooledSpread pooledSpread(const std::vector<std::vector<double>>& groups) {
  double squares = 0;
  int df = 0;
  for (const auto& group : groups) {
    if (group.size() < 2) continue;
    const double m = mean(group);
    for (double v : group) squares += (v - m) * (v - m);
    df += int(group.size()) - 1;
  }
  return {df > 0 ? std::sqrt(squares / df) : std::nan(""), df};
}

double studentQuantile(double probability, double df) {
  return boost::math::quantile(boost::math::students_t(df), probability);
}

double noiseThreshold(const PooledSpread& spread, std::size_t na, std::size_t nb, double alpha) {
  if (spread.df < 1 || na == 0 || nb == 0 || !(alpha > 0 && alpha < 1)) return std::nan("");
  return studentQuantile(1 - alpha / 2, spread.df) * spread.sd *
         std::sqrt(1.0 / double(na) + 1.0 / double(nb));
}

LayoutSpread layoutSpread(const Layouts& layouts) {
  std::vector<double> medians, differences;
  for (const auto& runs : layouts) {
    if (runs.empty()) continue;
    const double m = median(runs);
    medians.push_back(m);
    // Differences between two runs of one layout: unlike distances from the layout's
    // own median (one of which is 0 whenever a layout has an odd number of runs), they
    // do not shrink with few runs a layout.
    for (std::size_t i = 0; i < runs.size(); ++i)
      for (std::size_t j = i + 1; j < runs.size(); ++j)
        differences.push_back(m > 0 ? std::fabs(runs[i] - runs[j]) / m : 0);
  }
  if (medians.empty()) return {std::nan(""), std::nan("")};
  const double center = median(medians);
  return {center > 0 ? robustSd(medians) / center : std::nan(""),
          // A difference of two runs spreads sqrt(2) times as far as one run.
          differences.empty() ? std::nan("") : madToSd * median(differences) / std::sqrt(2.0)};
}

bool layoutSensitive(const LayoutSpread& spread) {
  return spread.layout > layoutSensitivity * spread.run && spread.layout >= layoutSensitivityFloor;
}

namespace {

// Exact two-sided p-value of U for samples of sizes m and n without ties: the share of
// the C(m+n, m) equally likely arrangements whose U is at least as extreme.
double exactRankP(std::size_t m, std::size_t n, double u) {
  // ways[i][j][k]: arrangements of i and j values with U = k.
  std::vector<std::vector<std::vector<double>>> ways(m + 1,
                                                     std::vector<std::vector<double>>(n + 1));
  for (std::size_t i = 0; i <= m; ++i) {
    for (std::size_t j = 0; j <= n; ++j) {
      auto& w = ways[i][j];
      w.assign(i * j + 1, 0);
      if (i == 0 || j == 0) {
        w[0] = 1;
        continue;
      }
      // The largest value belongs to the first sample (beating all j) or to the second.
      for (std::size_t k = 0; k < ways[i - 1][j].size(); ++k) w[k + j] += ways[i - 1][j][k];
      for (std::size_t k = 0; k < ways[i][j - 1].size(); ++k) w[k] += ways[i][j - 1][k];
    }
  }
  const auto& all = ways[m][n];
  const double extreme = std::min(u, double(m * n) - u);
  double total = 0, tail = 0;
  for (std::size_t k = 0; k < all.size(); ++k) {
    total += all[k];
    if (double(k) <= extreme) tail += all[k];
  }
  return std::min(1.0, 2 * tail / total);
}

} // namespace

RankTest mannWhitney(const std::vector<double>& a, const std::vector<double>& b) {
  RankTest result;
  const double n1 = double(a.size()), n2 = double(b.size());
  if (a.empty() || b.empty()) return result;
  struct Tagged {
    double value;
    bool first;
  };
  std::vector<Tagged> all;
  for (double v : a) all.push_back({v, true});
  for (double v : b) all.push_back({v, false});
  std::sort(all.begin(), all.end(), [](auto& x, auto& y) { return x.value < y.value; });
  // Average ranks over ties; the tie term corrects the variance.
  double rankSumA = 0, tieTerm = 0;
  for (std::size_t i = 0; i < all.size();) {
    std::size_t j = i;
    while (j < all.size() && all[j].value == all[i].value) ++j;
    const double t = double(j - i);
    const double averageRank = (double(i + 1) + double(j)) / 2;
    for (std::size_t k = i; k < j; ++k)
      if (all[k].first) rankSumA += averageRank;
    tieTerm += t * t * t - t;
    i = j;
  }
  const double n = n1 + n2;
  result.u = rankSumA - n1 * (n1 + 1) / 2;
  const double meanU = n1 * n2 / 2;
  const double variance = n1 * n2 / 12 * ((n + 1) - tieTerm / (n * (n - 1)));
  if (variance <= 0) return result;
  const double difference = result.u - meanU;
  if (tieTerm == 0 && n <= 40) {
    // Few samples: the normal approximation is coarse there, so count exactly.
    result.z = difference / std::sqrt(variance);
    result.p = exactRankP(a.size(), b.size(), result.u);
    return result;
  }
  const double corrected = std::max(0.0, std::fabs(difference) - 0.5);
  result.z = std::copysign(corrected / std::sqrt(variance), difference);
  result.p = std::min(1.0, std::erfc(std::fabs(result.z) / std::sqrt(2.0)));
  return result;
}

Geometric geometric(const std::vector<double>& values) {
  Geometric g;
  if (values.empty()) return g;
  std::vector<double> logs;
  for (double v : values) logs.push_back(std::log(v));
  const double m = mean(logs);
  g.mean = std::exp(m);
  if (logs.size() > 1) {
    double sum = 0;
    for (double l : logs) sum += (l - m) * (l - m);
    g.sd = std::exp(std::sqrt(sum / double(logs.size() - 1)));
  }
  return g;
}

Interval geometricRatioInterval(const Pairs& programs, double confidence, int resamples) {
  const Interval none{std::nan(""), std::nan("")};
  std::uint64_t seed = programs.size() * 1000003u;
  for (const auto& [a, b] : programs) {
    if (a.empty() || b.empty()) return none;
    for (double v : a) seed = seed * 31 + std::uint64_t(std::llround(v * 1e9));
    for (double v : b) seed = seed * 37 + std::uint64_t(std::llround(v * 1e9));
  }
  if (programs.empty()) return none;
  std::mt19937_64 generator(seed);
  std::vector<double> means, sa, sb;
  means.reserve(std::size_t(resamples));
  for (int r = 0; r < resamples; ++r) {
    double logs = 0;
    for (const auto& [a, b] : programs) {
      sa.resize(a.size());
      sb.resize(b.size());
      for (auto& v : sa) v = a[generator() % a.size()];
      for (auto& v : sb) v = b[generator() % b.size()];
      const double ma = medianInPlace(sa), mb = medianInPlace(sb);
      if (!(ma > 0 && mb > 0)) return none;
      logs += std::log(ma / mb);
    }
    means.push_back(std::exp(logs / double(programs.size())));
  }
  const double tail = (1 - confidence) / 2;
  return {quantile(means, tail), quantile(means, 1 - tail)};
}

} // namespace bench32::stats
