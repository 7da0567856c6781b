// output/report: the HTML report.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/compare.hpp"
#include "compare_fixtures.hpp"
#include "model/results.hpp"
#include "output/report.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

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
