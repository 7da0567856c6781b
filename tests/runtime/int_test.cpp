#include <csignal>

#include <gtest/gtest.h>

#include "bench32/int.hpp"

namespace {
using b32::divide;
using b32::Int;

struct Binary {
  Int a, b, expected;
};

// Tests an optimiser may fold when signed overflow is undefined; with the suite's
// integer model they see the wrapped value.
[[gnu::noinline]] bool sumIsBelow(Int a, Int b) { return a + b < a; }
[[gnu::noinline]] Int successor(Int a) { return a + 1; }

TEST(Int, WrappingArithmetic) {
  const Binary sums[] = {{2147483647, 1, INT32_MIN},
                         {INT32_MIN, -1, 2147483647},
                         {-5, 3, -2},
                         {INT32_MIN, INT32_MIN, 0}};
  for (auto [a, b, want] : sums) EXPECT_EQ(a + b, want) << a << " + " << b;
  const Binary differences[] = {
      {INT32_MIN, 1, 2147483647}, {2147483647, -1, INT32_MIN}, {0, INT32_MIN, INT32_MIN}};
  for (auto [a, b, want] : differences) EXPECT_EQ(a - b, want) << a << " - " << b;
  const Binary products[] = {{65536, 65536, 0},          {2147483647, 2, -2},
                             {INT32_MIN, -1, INT32_MIN}, {715827883, 3, -2147483647},
                             {1431655765, 3, -1},        {-7, 6, -42}};
  for (auto [a, b, want] : products) EXPECT_EQ(a * b, want) << a << " * " << b;
  Int least = INT32_MIN;
  EXPECT_EQ(-least, INT32_MIN);
}

TEST(Int, OptimiserSeesWrapping) {
  EXPECT_TRUE(sumIsBelow(INT32_MAX, 1));
  EXPECT_FALSE(sumIsBelow(5, 1));
  EXPECT_EQ(successor(INT32_MAX), INT32_MIN);
  Int n = INT32_MAX;
  int steps = 0;
  for (Int i = n - 2; i > 0; i = i + 1) ++steps; // ends when i wraps
  EXPECT_EQ(steps, 3);
}

TEST(Int, DivisionTruncatesTowardZero) {
  const Binary quotients[] = {{-7, 2, -3},
                              {7, -2, -3},
                              {-7, -2, 3},
                              {7, 2, 3},
                              {INT32_MIN, -1, INT32_MIN},
                              {INT32_MIN, 1, INT32_MIN},
                              {INT32_MIN, 2, -1073741824},
                              {0, -5, 0},
                              {2147483647, -1, -2147483647}};
  for (auto [a, b, want] : quotients) EXPECT_EQ(divide(a, b), want) << a << " / " << b;
}

TEST(IntDeathTest, ZeroDivisorRaisesSigfpe) {
  EXPECT_EXIT((void)divide(1, 0), testing::KilledBySignal(SIGFPE), "");
  EXPECT_EXIT((void)divide(INT32_MIN, 0), testing::KilledBySignal(SIGFPE), "");
}

TEST(Int, ZeroDivisorYieldsZeroWhenAHandlerReturns) {
  static int raised = 0;
  auto previous = std::signal(SIGFPE, [](int) { ++raised; });
  EXPECT_EQ(divide(42, 0), 0);
  EXPECT_EQ(raised, 1);
  std::signal(SIGFPE, previous);
}

} // namespace
