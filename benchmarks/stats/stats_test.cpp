// approxSqrt called directly, up to the largest integer: above 46340² the root is
// 46341 and the search ends.
#include <gtest/gtest.h>

#include <cstdint>

#include "stats.cpp"

namespace {

TEST(Stats, ApproxSqrtIsTheCeilingRoot) {
  struct Case {
    std::int32_t num, root;
  };
  const Case cases[] = {
      {-2147483647 - 1, 1},
      {-5, 1},
      {0, 1},
      {1, 1},
      {2, 2},
      {4, 2},
      {5, 3},
      {2147302921, 46339},
      {2147302922, 46340},
      {2147395600, 46340},
      {2147395601, 46341},
      {2147434244, 46341},
      {2147483647, 46341},
  };
  for (const Case& c : cases) EXPECT_EQ(approxSqrt(c.num), c.root) << c.num;
}

} // namespace
