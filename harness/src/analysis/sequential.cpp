#include "analysis/sequential.hpp"

#include <algorithm>
#include <cmath>

namespace bench32 {

std::string decisionName(Decision decision) {
  switch (decision) {
  case Decision::open:
    return "open";
  case Decision::slower:
    return "slower";
  case Decision::faster:
    return "faster";
  case Decision::equal:
    return "equal";
  case Decision::undecided:
    return "undecided";
  }
  return "open";
}

double sequenceRadius(std::size_t n, double sd, const DecideSettings& settings) {
  if (n < 2 || !(sd >= 0)) return std::numeric_limits<double>::infinity();
  // Lai's mixture for a normal mean of unknown spread: with the effect in units of the
  // spread drawn from N(0, 1/c), the ratio of the scale-free likelihoods
  //   M = sqrt(c / (n + c)) * ((S2 + D) / (S2 + D c / (n + c)))^(n/2),
  // S2 the sum of squares about the mean and D = n (mean - mu)^2, is a martingale
  // under mu, so it passes 1/alpha with probability at most alpha, ever. Solved for
  // D, the values of mu it keeps are those within the radius below of the mean. c sets
  // where the sequence is tightest; this c puts it near plannedPairs.
  const double l = -2 * std::log(settings.alpha);
  const double c = settings.plannedPairs / (l + std::log(l + 1));
  const double t = double(n);
  const double g = std::exp((2 * std::log(1 / settings.alpha) + std::log((t + c) / c)) / t);
  const double room = 1 - g * c / (t + c);
  if (!(room > 0)) return std::numeric_limits<double>::infinity();
  return std::sqrt((g - 1) * (t - 1) * sd * sd / (t * room));
}

namespace {

// The verdict an interval of the log ratio gives. A real difference comes first: an
// interval above 0 and within the resolution is a change smaller than the resolution.
Decision verdictOf(double low, double high, double resolution) {
  if (low > 0) return Decision::slower;
  if (high < 0) return Decision::faster;
  const double bound = std::log1p(resolution);
  if (low > -bound && high < bound) return Decision::equal;
  return Decision::open;
}

} // namespace

PairedDecision decidePaired(const std::vector<double>& base, const std::vector<double>& other,
                            const DecideSettings& settings) {
  PairedDecision d;
  const std::size_t n = std::min(base.size(), other.size());
  double mean = 0, m2 = 0;
  double low = -std::numeric_limits<double>::infinity();
  double high = std::numeric_limits<double>::infinity();
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(base[i] > 0) || !(other[i] > 0) || !std::isfinite(base[i]) || !std::isfinite(other[i]))
      continue;
    // Welford's running mean and variance of the pairs' log ratios.
    const double x = std::log(other[i] / base[i]);
    ++k;
    const double delta = x - mean;
    mean += delta / double(k);
    m2 += delta * (x - mean);
    if (k < settings.minPairs) continue;
    const double sd = std::sqrt(m2 / double(k - 1));
    const double radius = sequenceRadius(k, sd, settings);
    // Every look's interval holds at once, so their intersection holds too. An empty
    // intersection (the looks disagree: the chance alpha taken) keeps this look's.
    const double lo = std::max(low, mean - radius), hi = std::min(high, mean + radius);
    if (lo <= hi) {
      low = lo;
      high = hi;
    } else {
      low = mean - radius;
      high = mean + radius;
    }
    d.logSd = sd;
    if (d.state == Decision::open) {
      d.state = verdictOf(low, high, settings.resolution);
      if (d.state != Decision::open) d.decidedAt = k;
    }
  }
  d.pairs = k;
  if (k > 0) d.ratio = std::exp(mean);
  if (k >= settings.minPairs) d.interval = {std::exp(low), std::exp(high)};
  return d;
}

double pairsToDecide(const PairedDecision& d, const DecideSettings& settings) {
  if (d.state != Decision::open) return 0;
  if (d.pairs < settings.minPairs || !(d.logSd >= 0))
    return double(settings.minPairs - std::min(d.pairs, settings.minPairs));
  // The interval must shrink to the distance from the estimate to the nearer of the
  // two things it can settle: that the ratio is not 1, or that it is within the
  // resolution. That distance is at least half the resolution.
  const double effect = std::fabs(std::log(d.ratio));
  const double target = std::max(effect, std::log1p(settings.resolution) - effect);
  if (d.logSd == 0) return 1;
  std::size_t n = std::max<std::size_t>(d.pairs, 1);
  while (sequenceRadius(n, d.logSd, settings) > target) {
    if (n > (std::size_t(1) << 30)) return std::numeric_limits<double>::infinity();
    n *= 2;
  }
  // Bisect between n/2 and n for the first n whose radius is small enough.
  std::size_t lo = std::max(d.pairs, n / 2), hi = n;
  while (lo + 1 < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    (sequenceRadius(mid, d.logSd, settings) > target ? lo : hi) = mid;
  }
  return double(hi > d.pairs ? hi - d.pairs : 1);
}

} // namespace bench32
