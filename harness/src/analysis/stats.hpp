// Robust statistics for timing samples: medians, spreads, outliers, confidence
// intervals, a rank test for two samples, and geometric summaries of ratios.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace bench32::stats {

double median(std::vector<double> values);
// Quantile q in [0, 1] with linear interpolation between order statistics.
double quantile(std::vector<double> values, double q);
double mean(const std::vector<double>& values);
// Median absolute deviation from the median (unscaled).
double mad(const std::vector<double>& values);
// The MAD scaled to estimate a normal distribution's standard deviation.
inline constexpr double madToSd = 1.4826;
double robustSd(const std::vector<double>& values);

// Indices of the values whose modified z-score (distance from the median in units of
// 1.4826 MAD) exceeds the threshold. Nothing is an outlier among fewer than 5 values.
std::vector<std::size_t> outliers(const std::vector<double>& values, double threshold = 3.5);

struct Interval {
  double low = 0;
  double high = 0;
};

// Distribution-free confidence interval of the median, from order statistics (exact
// binomial ranks). With too few values for the confidence asked, it spans the sample.
Interval medianInterval(std::vector<double> values, double confidence = 0.95);

// Half the width of the median's confidence interval, relative to the median: the
// precision a repetition loop aims for.
double relativePrecision(const std::vector<double>& values, double confidence = 0.95);

// Confidence interval of median(b) / median(a) by percentile bootstrap. The generator
// is seeded from the data, so the same samples always give the same interval. Its high
// end is infinite when enough resamples have a baseline median of 0.
Interval ratioInterval(const std::vector<double>& a, const std::vector<double>& b,
                       double confidence = 0.95, int resamples = 2000);

struct RankTest {
  double u = 0; // Mann-Whitney U of the first sample
  double z = 0; // standardised U (continuity-corrected when approximated)
  double p = 1; // two-sided
};

// Mann-Whitney U test, two-sided. Up to 40 values in all and without ties the p-value is
// exact; otherwise it comes from the normal approximation with tie and continuity
// corrections. p = 1 when either sample is empty or all values are tied.
RankTest mannWhitney(const std::vector<double>& a, const std::vector<double>& b);

// Samples measured in several code layouts: one list of runs per layout. The layouts,
// not the runs, are the unit of replication: a layout's accident (where its hot loop
// fell) is shared by all its runs.
using Layouts = std::vector<std::vector<double>>;

// The median of the per-layout medians, every layout weighing the same.
double layoutMedian(const Layouts& layouts);

struct LayoutTest {
  Interval interval; // of layoutMedian(b) / layoutMedian(a)
  double p = 1;      // two-sided
};

// Two-level bootstrap of layoutMedian(b) / layoutMedian(a). A resample of a side draws
// as many layouts as it has, with replacement, then for each drawn layout as many of
// its runs as it has, with replacement, and takes the median of the drawn layouts'
// medians. The interval is the resampled ratios' percentile interval; p is twice the
// share of resampled ratios on the far side of 1 from the observed ratio (ties at 1
// count on both sides), with the usual +1 correction, at most 1. Seeded from the data.
LayoutTest layoutRatio(const Layouts& a, const Layouts& b, double confidence = 0.95,
                       int resamples = 4000);

// Samples measured in several sessions: each session's runs, by code layout (a session
// without layouts is one layout holding all its runs). The session is the unit of
// replication as the layout is within one: a session's conditions (the processor's
// clock, its neighbours, where its pages fell) are shared by all its runs.
using Sessions = std::vector<Layouts>;

// The median of the sessions' values, each session's value its layoutMedian.
double sessionMedian(const Sessions& sessions);

// The bootstrap of layoutRatio one level up: a resample draws as many sessions as a side
// has, with replacement, then within each drawn session its layouts and their runs as
// layoutRatio does; its value is the median of the drawn sessions' values. A side of
// one session is never drawn from; two one-session sides are layoutRatio.
LayoutTest sessionRatio(const Sessions& a, const Sessions& b, double confidence = 0.95,
                        int resamples = 4000);

// The spread between sessions, learned from groups of sessions that measured the same
// thing (one group per byte-identical binary): the pooled standard deviation of the
// values about their group's mean, sqrt(sum (x - mean)^2 / sum (n - 1)), with its degrees
// of freedom sum (n - 1). Groups of one value add nothing. sd is NaN when df is 0.
struct PooledSpread {
  double sd = 0;
  int df = 0;
};
PooledSpread pooledSpread(const std::vector<std::vector<double>>& groups);

// The quantile of Student's t distribution with df degrees of freedom.
double studentQuantile(double probability, double df);

// The largest difference between the means of na and nb session values that the learned
// spread explains at the two-sided level alpha: t(1 - alpha/2, df) sd sqrt(1/na + 1/nb).
double noiseThreshold(const PooledSpread& spread, std::size_t na, std::size_t nb, double alpha);

// How much the layouts move a program, against how much its runs move: both robust
// standard deviations relative to the layout median. layout: 1.4826 MAD of the
// per-layout medians; run: 1.4826 × the median absolute difference between two runs of
// one layout, over sqrt(2). run is NaN when no layout has two runs.
struct LayoutSpread {
  double layout = 0;
  double run = 0;
};
LayoutSpread layoutSpread(const Layouts& layouts);

// A layout spread that dwarfs the run spread: more than layoutSensitivity times it, and
// at least layoutSensitivityFloor (relative), so that two quiet spreads of a few tenths
// of a per cent are not called sensitive.
inline constexpr double layoutSensitivity = 2;
inline constexpr double layoutSensitivityFloor = 0.005;
bool layoutSensitive(const LayoutSpread& spread);

// Geometric mean and geometric standard deviation of positive values (gsd = 1 for a
// single value).
struct Geometric {
  double mean = 1;
  double sd = 1;
};
Geometric geometric(const std::vector<double>& values);

// Several programs measured on two sides: for each, its values on side a and on side b.
using Pairs = std::vector<std::pair<std::vector<double>, std::vector<double>>>;

// Confidence interval of the geometric mean over the programs of median(a) / median(b),
// by percentile bootstrap: a resample draws every program's runs on each side with
// replacement. The programs are fixed (they are the suite, not a sample of programs),
// so the interval is the runs' measurement uncertainty. Seeded from the data; NaN when a
// program has no values on a side or a resampled median is 0.
Interval geometricRatioInterval(const Pairs& programs, double confidence = 0.95,
                                int resamples = 2000);

} // namespace bench32::stats
