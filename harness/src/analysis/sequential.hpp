// Deciding while measuring: after every round, whether one build is slower than,
// faster than or equal to another within a resolution, with error rates that hold
// however often the rule looks. The runs come in pairs (the two builds' runs of one
// round), so a drift slower than a round cancels out of each pair's log ratio.
//
// The design is a confidence sequence: an interval for the mean log ratio after each
// pair that holds at every look at once with probability 1 - alpha (Lai's scale-free
// mixture of normal likelihoods, so the pairs' spread need not be known in advance).
// A verdict is reached when that interval settles the question, so the
// chance of any false verdict, looking after every round without end, is at most alpha.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "analysis/stats.hpp"

namespace bench32 {

enum class Decision {
  open,     // still measuring
  slower,   // the interval lies above 1: the other is slower
  faster,   // the interval lies below 1
  equal,    // the interval lies within 1 ± resolution
  undecided // the budget ran out while open
};

std::string decisionName(Decision decision);

struct DecideSettings {
  double resolution = 0.01; // relative: equal means within ±resolution
  double alpha = 0.01;      // the chance of any false verdict, at most
  std::size_t minPairs = 5; // no verdict from fewer pairs
  // The number of pairs at which the sequence's interval is narrowest relative to a
  // fixed-sample one: it widens slowly (as the root of log n) on either side.
  double plannedPairs = 30;
};

struct PairedDecision {
  Decision state = Decision::open;
  std::size_t pairs = 0;                                                // pairs looked at
  double ratio = std::numeric_limits<double>::quiet_NaN();              // exp(mean log ratio)
  stats::Interval interval{0, std::numeric_limits<double>::infinity()}; // of the ratio
  double logSd = std::numeric_limits<double>::quiet_NaN();              // of one pair's log ratio
  std::size_t decidedAt = 0; // the pairs at the look that decided; 0 while open
};

// The half-width of the sequence's interval for a mean of n values of standard
// deviation sd: valid at every n at once.
double sequenceRadius(std::size_t n, double sd, const DecideSettings& settings);

// The verdict on other against base, where base[i] and other[i] were measured in the
// same round (the shorter list sets the pairs; values must be positive). The rule
// looks after every pair from minPairs on and keeps the intersection of the intervals
// seen, so a verdict, once reached, stands.
PairedDecision decidePaired(const std::vector<double>& base, const std::vector<double>& other,
                            const DecideSettings& settings);

// About how many more pairs an open comparison needs for a verdict, from its spread and
// ratio so far (infinity when it cannot say yet).
double pairsToDecide(const PairedDecision& decision, const DecideSettings& settings);

} // namespace bench32
