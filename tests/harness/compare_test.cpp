#include <gtest/gtest.h>

#include "compare.hpp"
#include "report.hpp"

namespace bench32 {
namespace {

UnitResult unit(const std::string& config, const std::string& program,
                const std::vector<double>& walls, Status status = Status::ok) {
  UnitResult u;
  u.config = config;
  u.program = program;
  u.workload = "ref";
  u.status = status;
  for (double w : walls) u.samples.push_back({w, w, 0, 1000});
  return u;
}

std::vector<double> around(double centre, int n) {
  // A deterministic spread of about ±1%.
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(centre * (1 + 0.01 * ((i * 7) % 5 - 2) / 2));
  return v;
}

Results twoConfigs() {
  Results r;
  r.configs = {{"base", "", "", "", ""}, {"new", "", "", "", ""}};
  r.units = {
      unit("base", "same", around(1.0, 10)),      unit("new", "same", around(1.0, 10)),
      unit("base", "slower", around(1.0, 10)),    unit("new", "slower", around(1.5, 10)),
      unit("base", "faster", around(1.0, 10)),    unit("new", "faster", around(0.8, 10)),
      unit("base", "tiny", around(1.0, 10)),      unit("new", "tiny", around(1.01, 10)),
      unit("base", "few", around(1.0, 3)),        unit("new", "few", around(2.0, 3)),
      unit("base", "broken", around(1.0, 10)),    unit("new", "broken", {}, Status::failed),
      unit("base", "only-base", around(1.0, 10)),
  };
  return r;
}

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
  EXPECT_FALSE(exceeds(c, 0.60));
}

TEST(Compare, SameConfigurationInTwoFiles) {
  Results a, b;
  a.configs = b.configs = {{"release", "", "", "", ""}};
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

TEST(Report, IsOnePageWithChartsAndEscapedText) {
  Results r = twoConfigs();
  r.configs[1].flags = "-O2 <script>alert(1)</script>";
  const std::vector<Results> files{r};
  const auto series = collectSeries(files, {"r"});
  const std::string html = htmlReport(series, {compare(series[0], series[1], CompareSettings{})});
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html.find("<svg"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;"), std::string::npos);
  // Nothing is fetched when the page is viewed.
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("href="), std::string::npos);
}

} // namespace
} // namespace bench32
