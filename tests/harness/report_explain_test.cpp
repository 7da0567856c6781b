// The report's explain sections (report --explain): only the programs a comparison flags
// get one, and one whose measured binaries are gone says so in a line instead of failing
// the report. The tables themselves are explain's, tested with it.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "compare_fixtures.hpp"
#include "pipeline/explain_session.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(ReportExplain, OnlyFlaggedProgramsAndAMissingBinaryIsALine) {
  const Results r = twoConfigs();
  const std::vector<Results> files{r};
  const auto series = collectSeries(files, {""});
  const std::vector<Comparison> comparisons{compare(series[0], series[1], {})};
  const auto explained = explainedChanges(comparisons, BENCH32_SOURCE_TREE);
  std::vector<std::string> keys;
  for (const auto& [key, html] : explained) {
    keys.push_back(key);
    EXPECT_NE(html.find("No explain tables: "), std::string::npos) << html;
    EXPECT_NE(html.find("Where new and base differ"), std::string::npos) << html;
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"faster/ref", "slower/ref"}));
}

} // namespace
} // namespace bench32
