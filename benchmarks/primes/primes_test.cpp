// primes' functions called one at a time, including arguments from 46340² up, where
// the running square of isqrt no longer fits in 32 bits.
#include <gtest/gtest.h>

#include <cstdint>

#include "primes.cpp"

namespace {

TEST(Primes, Isqrt) {
  struct Case {
    std::int32_t n, root;
  };
  const Case cases[] = {
      {0, 0},
      {1, 1},
      {3, 1},
      {4, 2},
      {24, 4},
      {25, 5},
      {-7, 0},
      {-2147483647 - 1, 0},
      {2147395599, 46339},
      {2147395600, 46340},
      {2147395601, 46340},
      {2147483647, 46340},
  };
  for (const Case& c : cases) EXPECT_EQ(isqrt(c.n), c.root) << c.n;
}

TEST(Primes, Prime) {
  struct Case {
    std::int32_t n;
    bool prime;
  };
  const Case cases[] = {
      {-3, false},
      {0, false},
      {1, false},
      {2, true},
      {3, true},
      {4, false},
      {9, false},
      {25, false},
      {97, true},
      {2147117569, false}, // 46337², the square of the largest prime below 46340
      {2147395600, false},
      {2147483629, true},
      {2147483646, false},
      {2147483647, true},
      {-2147483647 - 1, false},
  };
  for (const Case& c : cases) EXPECT_EQ(prime(c.n), c.prime) << c.n;
}

} // namespace
