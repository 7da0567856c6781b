// output/gbench: a session as Google Benchmark's JSON.
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "model/results.hpp"
#include "output/gbench.hpp"
#include "store_fixtures.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(Gbench, EveryTimedRunIsOneRepetitionFollowedByTheAggregates) {
  const Results r = richResults();
  const json doc = gbenchJson(r);
  std::map<std::string, int> repetitions;
  std::vector<std::string> aggregates;
  for (const auto& b : doc["benchmarks"]) {
    EXPECT_EQ(b["repetitions"], 2);
    if (b["run_type"] == "aggregate") {
      aggregates.push_back(b["name"]);
      EXPECT_EQ(b["run_name"], "hailstone/ref");
      continue;
    }
    ++repetitions[b["name"].get<std::string>()];
    EXPECT_EQ(b["run_type"], "iteration");
  }
  EXPECT_EQ(repetitions, (std::map<std::string, int>{{"hailstone/ref", 2}}));
  EXPECT_EQ(aggregates, (std::vector<std::string>{"hailstone/ref_mean", "hailstone/ref_median",
                                                  "hailstone/ref_stddev", "hailstone/ref_cv"}));
  // The median row is the median of the runs' wall times, as compare reads them.
  const auto& median = doc["benchmarks"][3];
  EXPECT_DOUBLE_EQ(median["real_time"].get<double>(),
                   (doc["benchmarks"][0]["real_time"].get<double>() +
                    doc["benchmarks"][1]["real_time"].get<double>()) /
                       2);
  const json one = gbenchJson(r, "", true);
  ASSERT_EQ(one["benchmarks"].size(), 1u);
  EXPECT_DOUBLE_EQ(one["benchmarks"][0]["real_time"].get<double>(),
                   median["real_time"].get<double>());
  EXPECT_DOUBLE_EQ(doc["benchmarks"][1]["real_time"].get<double>(), 100);
  EXPECT_DOUBLE_EQ(doc["benchmarks"][0]["cpu_time"].get<double>(), 0.21e9);
  EXPECT_THROW(gbenchJson(r, "clang"), BadInput);
}

} // namespace

} // namespace bench32
