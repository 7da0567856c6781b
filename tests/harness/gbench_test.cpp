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

TEST(Gbench, EveryTimedRunIsOneRepetition) {
  const Results r = richResults();
  const json doc = gbenchJson(r);
  std::map<std::string, int> repetitions;
  for (const auto& b : doc["benchmarks"]) {
    ++repetitions[b["name"].get<std::string>()];
    EXPECT_EQ(b["run_type"], "iteration");
    EXPECT_EQ(b["repetitions"], 2);
  }
  EXPECT_EQ(repetitions, (std::map<std::string, int>{{"hailstone/ref", 2}}));
  EXPECT_DOUBLE_EQ(doc["benchmarks"][1]["real_time"].get<double>(), 100);
  EXPECT_DOUBLE_EQ(doc["benchmarks"][0]["cpu_time"].get<double>(), 0.21e9);
  EXPECT_THROW(gbenchJson(r, "clang"), BadInput);
}

} // namespace

} // namespace bench32
