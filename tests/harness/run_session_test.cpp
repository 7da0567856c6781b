// pipeline/run_session: the line that says how a run went.

#include "pipeline/run_session.hpp"

#include <gtest/gtest.h>

namespace bench32 {
namespace {

TEST(RunSession, SaysHowManyRunsWereVerifiedAndNeverMore) {
  struct Case {
    std::size_t runs, failed, measurements;
    const char* line;
  };
  const Case cases[] = {
      {12, 0, 3, "12 runs, all verified"},
      {1, 0, 1, "1 run, all verified"},
      {8, 3, 5, "8 runs verified; 3 of 5 measurements failed"},
      {0, 1, 1, "no run verified; 1 of 1 measurement failed"},
      {0, 2, 2, "no run verified; 2 of 2 measurements failed"},
      {0, 0, 4, "nothing was run"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(runSummary(c.runs, c.failed, c.measurements), c.line) << c.line;
}

} // namespace
} // namespace bench32
