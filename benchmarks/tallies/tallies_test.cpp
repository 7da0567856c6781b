// fact called directly, at both ends of the 32-bit range included.
#include <gtest/gtest.h>

#include <cstdint>

#include "tallies.cpp"

namespace {

TEST(Tallies, Fact) {
  struct Case {
    std::int32_t n, factorial;
  };
  const Case cases[] = {
      {0, 1},
      {1, 1},
      {-1, 1},
      {2, 2},
      {12, 479001600},
      {13, 1932053504},
      {-13, 1932053504},
      {17, -288522240},
      {32, -2147483647 - 1},
      {33, -2147483647 - 1},
      {34, 0},
      {-34, 0},
      {1000000, 0},
      {-2147483647, 0},
      {-2147483647 - 1, 0}, // 2^31! holds 2^32 as a factor
  };
  for (const Case& c : cases) EXPECT_EQ(fact(c.n), c.factorial) << c.n;
}

TEST(Tallies, SumWraps) {
  EXPECT_EQ(sum(2147483647, 1), -2147483647 - 1);
  EXPECT_EQ(sum(-3, 5), 2);
}

} // namespace
