// output/gbench: a session as Google Benchmark's JSON.
#include "analysis/fleet.hpp"
#include "analysis/history.hpp"
#include "cli/store_commands.hpp"
#include "exec/errors.hpp"
#include "exec/git.hpp"
#include "model/results_file.hpp"
#include "output/gbench.hpp"
#include "output/history_table.hpp"
#include "store/open.hpp"
#include "store/schema.hpp"
#include "store/sessions.hpp"
#include "store_fixtures.hpp"
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>
#include <thread>
#include <unistd.h>

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
