// analysis/compare: two series program by program, the verdict rule, the gate.
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/compare.hpp"
#include "compare_fixtures.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"
#include "output/comparison_table.hpp"
#include "output/table.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(Compare, VerdictsFollowSignificanceEffectAndSampleCount) {
  const std::vector<Results> files{twoConfigs()};
  const auto series = collectSeries(files, {"r"});
  ASSERT_EQ(series.size(), 2u);
  const Comparison c = compare(series[0], series[1], CompareSettings{});
  struct Expect {
    const char* program;
    Change verdict;
    bool hasProblem;
  };
  const Expect expected[] = {
      {"broken", Change::tooFewRuns, true}, {"faster", Change::faster, false},
      {"few", Change::tooFewRuns, false},   {"only-base", Change::tooFewRuns, true},
      {"same", Change::same, false},        {"slower", Change::slower, false},
      {"tiny", Change::same, false},
  };
  ASSERT_EQ(c.programs.size(), std::size(expected));
  for (std::size_t i = 0; i < c.programs.size(); ++i) {
    EXPECT_EQ(c.programs[i].program, expected[i].program);
    EXPECT_EQ(c.programs[i].verdict, expected[i].verdict) << expected[i].program;
    EXPECT_EQ(!c.programs[i].problem.empty(), expected[i].hasProblem) << expected[i].program;
  }
  EXPECT_EQ(c.flagged, 2u);
  EXPECT_EQ(c.ratios, 5u);
  EXPECT_NEAR(c.programs[5].ratio, 1.5, 1e-12);
  EXPECT_TRUE(exceeds(c, 0.10)) << "slower by 50% is over a 10% gate";
  // The program that failed and the one missing in "new" count against any gate.
  EXPECT_EQ(c.lost, (std::vector<std::string>{"broken/ref", "only-base/ref"}));
  EXPECT_TRUE(exceeds(c, 0.60));
  EXPECT_NE(comparisonSummary(c).find("2 programs failed in new: broken/ref, only-base/ref"),
            std::string::npos)
      << comparisonSummary(c);
}

// Each case: what the baseline and the other side measured, and what must be concluded.
TEST(Compare, NeverReportsWhatTheDataDoNotSay) {
  auto jitter = [](double centre, int n, int seed) {
    std::vector<double> v;
    for (int i = 0; i < n; ++i) v.push_back(centre * (1 + 0.001 * ((i * 7 + seed) % 11)));
    return v;
  };
  auto join = [](std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    const char* name;
    std::vector<double> base, other;
    Metric metric;
    Change verdict;
    bool unboundedHigh;
  };
  const Case cases[] = {
      // Two peaks a side: the medians say faster (0.96) while 74% of pairs are slower.
      {"directions disagree", join(jitter(1.0, 20, 1), jitter(2.0, 21, 2)),
       join(jitter(1.9, 21, 3), jitter(3.0, 20, 4)), Metric::wall, Change::same, false},
      {"directions agree", jitter(1.0, 20, 1), jitter(1.5, 20, 2), Metric::wall, Change::slower,
       false},
      // Half the baseline's resamples have a median of 0: the ratio has no upper bound.
      {"baseline near zero",
       {0, 0, 0, 0.001, 0.001, 0.002, 0.002},
       std::vector<double>(7, 0.001),
       Metric::system,
       Change::same,
       true},
  };
  for (const auto& c : cases) {
    Results r;
    r.configs = {{"base", "", "", "", "", ""}, {"new", "", "", "", "", ""}};
    r.units = {unit("base", "p", {}), unit("new", "p", {})};
    for (double v : c.base) r.units[0].samples.push_back({v, v, v, 1000});
    for (double v : c.other) r.units[1].samples.push_back({v, v, v, 1000});
    const std::vector<Results> files{r};
    const auto series = collectSeries(files, {"r"});
    CompareSettings settings;
    settings.metric = c.metric;
    const Comparison result = compare(series[0], series[1], settings);
    ASSERT_EQ(result.programs.size(), 1u) << c.name;
    const auto& row = result.programs[0];
    EXPECT_EQ(row.verdict, c.verdict) << c.name << ": ratio " << row.ratio << ", p " << row.p;
    EXPECT_EQ(std::isinf(row.interval.high), c.unboundedHigh) << c.name;
    if (c.unboundedHigh) {
      const Table table = comparisonTable(result);
      EXPECT_NE(table.rows[0][9].text.find("∞"), std::string::npos) << table.rows[0][9].text;
      EXPECT_EQ(table.rows[0][11].raw, "inf");
    }
  }
}

// With code layouts the layouts are the replicates: a difference must hold across them.
TEST(Compare, LayoutsAreTheUnitOfReplication) {
  // Each layout's runs: ten within ±0.1% of the layout's median.
  auto layouts = [](const std::vector<double>& medians) {
    std::vector<Sample> samples;
    for (std::size_t k = 0; k < medians.size(); ++k)
      for (int i = 0; i < 10; ++i) {
        const double w = medians[k] * (1 + 0.0002 * (i % 5 - 2));
        samples.push_back({w, w, 0, 1000, int(k), 100 * i});
      }
    return samples;
  };
  const std::vector<double> spread{1.0, 1.1, 0.9, 1.05, 0.95, 1.0, 1.12, 0.88};
  auto scaled = [](std::vector<double> v, double by) {
    for (double& x : v) x *= by;
    return v;
  };
  struct Case {
    const char* name;
    std::vector<double> base, other; // per-layout medians
    Change verdict;
    bool sensitive;
  };
  const Case cases[] = {
      {"same layouts", spread, spread, Change::same, true},
      // 6% slower on average, but the layouts spread ±10%: the pooled runs would call
      // it significant; eight layouts do not.
      {"small shift, wide layouts", spread,
       scaled({1.1, 0.9, 1.0, 1.12, 1.05, 0.95, 0.88, 1.0}, 1.06), Change::same, true},
      {"slower in every layout",
       std::vector<double>(8, 1.0),
       {1.2, 1.2012, 1.1988, 1.2, 1.2006, 1.1994, 1.2, 1.2},
       Change::slower,
       false},
      {"two layouts are too few", {1.0, 1.0}, {2.0, 2.0}, Change::tooFewRuns, false},
  };
  for (const auto& c : cases) {
    Results r;
    r.configs = {{"base", "", "", "", "", ""}, {"new", "", "", "", "", ""}};
    r.units = {unit("base", "p", {}), unit("new", "p", {})};
    r.units[0].samples = layouts(c.base);
    r.units[1].samples = layouts(c.other);
    for (auto& u : r.units) u.layouts.resize(c.base.size());
    const std::vector<Results> files{r};
    const auto series = collectSeries(files, {"r"});
    const Comparison result = compare(series[0], series[1], CompareSettings{});
    const auto& row = result.programs.at(0);
    EXPECT_TRUE(result.layouts) << c.name;
    EXPECT_EQ(row.verdict, c.verdict) << c.name << ": ratio " << row.ratio << ", p " << row.p;
    EXPECT_EQ(row.layoutSensitive, c.sensitive) << c.name;
    EXPECT_EQ(row.baseLayouts, c.base.size()) << c.name;
    if (std::string(c.name) == "small shift, wide layouts") {
      // What the runs pooled would have said.
      EXPECT_LT(stats::mannWhitney(metricValues(r.units[0], Metric::wall),
                                   metricValues(r.units[1], Metric::wall))
                    .p,
                0.01);
    }
    EXPECT_NE(comparisonTable(result).rows[0].back().raw, c.sensitive ? "" : "layout-sensitive");
  }
}

TEST(Compare, SameConfigurationInTwoFiles) {
  Results a, b;
  a.configs = b.configs = {{"release", "", "", "", "", ""}};
  a.units = {unit("release", "p", around(1.0, 8)), unit("release", "q", around(2.0, 8))};
  b.units = a.units;
  a.units[1].inputXxh3 = "1111";
  b.units[1].inputXxh3 = "2222";
  const std::vector<Results> files{a, b};
  const auto series = collectSeries(files, {"monday", "tuesday"});
  ASSERT_EQ(series.size(), 2u);
  EXPECT_EQ(series[0].label, "monday:release");
  EXPECT_EQ(series[1].label, "tuesday:release");
  const Comparison c = compare(series[0], series[1], CompareSettings{});
  EXPECT_EQ(c.programs[0].verdict, Change::same);
  EXPECT_DOUBLE_EQ(c.programs[0].ratio, 1.0);
  EXPECT_EQ(c.programs[1].problem, "different inputs");
  EXPECT_EQ(c.flagged, 0u);
  EXPECT_DOUBLE_EQ(c.geometric.mean, 1.0);
}

// Sizes are exact: any change beyond --min-effect is flagged, from one value a side.
TEST(Compare, SectionSizesNeedNoRuns) {
  Results r = twoConfigs();
  const std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> rodata = {
      {"same", {400, 400}}, {"slower", {400, 800}}, {"faster", {400, 200}}, {"tiny", {400, 401}}};
  for (auto& u : r.units) {
    const auto it = rodata.find(u.program);
    if (it == rodata.end()) continue;
    const auto bytes = u.config == "base" ? it->second.first : it->second.second;
    u.sections = {{{".text", 1000}, {".rodata", bytes}}};
  }
  const std::vector<Results> files{r};
  const auto series = collectSeries(files, {"r"});
  // With no smallest effect, any difference is a change, and no difference is none.
  for (const double minEffect : {0.02, 0.0}) {
    CompareSettings settings;
    settings.metric = Metric::sizeRodata;
    settings.minEffect = minEffect;
    const Comparison c = compare(series[0], series[1], settings);
    std::map<std::string, Change> verdicts;
    for (const auto& p : c.programs)
      if (p.problem.empty()) verdicts[p.program] = p.verdict;
    EXPECT_EQ(verdicts, (std::map<std::string, Change>{
                            {"same", Change::same},
                            {"slower", Change::slower},
                            {"faster", Change::faster},
                            {"tiny", minEffect > 0 ? Change::same : Change::slower}}))
        << "min effect " << minEffect;
  }
}

// A rate is better higher: a program whose copies take 1.5 times as long has two thirds
// of the rate, and is slower by a ratio of 1.5, as its run time says.
TEST(Compare, AHigherRateIsFaster) {
  Results r = twoConfigs();
  for (auto& u : r.units)
    for (const Sample& s : u.samples) u.rate.push_back(2 / s.wall);
  const std::vector<Results> files{r};
  const auto series = collectSeries(files, {"r"});
  CompareSettings byRate, byWall;
  byRate.metric = Metric::rate;
  const Comparison rate = compare(series[0], series[1], byRate);
  const Comparison wall = compare(series[0], series[1], byWall);
  ASSERT_EQ(rate.programs.size(), wall.programs.size());
  for (std::size_t i = 0; i < rate.programs.size(); ++i) {
    EXPECT_EQ(rate.programs[i].verdict, wall.programs[i].verdict) << rate.programs[i].program;
    if (!rate.programs[i].problem.empty()) continue;
    EXPECT_NEAR(rate.programs[i].ratio, wall.programs[i].ratio, 1e-9) << rate.programs[i].program;
    EXPECT_LE(rate.programs[i].interval.low, rate.programs[i].ratio) << rate.programs[i].program;
    EXPECT_GE(rate.programs[i].interval.high, rate.programs[i].ratio) << rate.programs[i].program;
  }
  EXPECT_EQ(exceeds(rate, 0.10), exceeds(wall, 0.10));
}

} // namespace

} // namespace bench32
