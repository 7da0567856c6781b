#include <csignal>

#include <gtest/gtest.h>

#include "bench32/int.hpp"

namespace {
using b32::Int;

struct Binary {
  std::int32_t a, b, expected;
};

TEST(Int, WrappingArithmetic) {
  const Binary sums[] = {{2147483647, 1, INT32_MIN},
                         {INT32_MIN, -1, 2147483647},
                         {-5, 3, -2},
                         {INT32_MIN, INT32_MIN, 0}};
  for (auto [a, b, want] : sums) EXPECT_EQ((Int(a) + Int(b)).v, want) << a << " + " << b;
  const Binary differences[] = {
      {INT32_MIN, 1, 2147483647}, {2147483647, -1, INT32_MIN}, {0, INT32_MIN, INT32_MIN}};
  for (auto [a, b, want] : differences) EXPECT_EQ((Int(a) - Int(b)).v, want) << a << " - " << b;
  const Binary products[] = {{65536, 65536, 0},          {2147483647, 2, -2},
                             {INT32_MIN, -1, INT32_MIN}, {715827883, 3, -2147483647},
                             {1431655765, 3, -1},        {-7, 6, -42}};
  for (auto [a, b, want] : products) EXPECT_EQ((Int(a) * Int(b)).v, want) << a << " * " << b;
  EXPECT_EQ((-Int(INT32_MIN)).v, INT32_MIN);
  EXPECT_EQ((-Int(5)).v, -5);
  Int n = 2147483647;
  EXPECT_EQ((++n).v, INT32_MIN);
  EXPECT_EQ((n--).v, INT32_MIN);
  EXPECT_EQ(n.v, 2147483647);
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
  for (auto [a, b, want] : quotients) EXPECT_EQ((Int(a) / Int(b)).v, want) << a << " / " << b;
}

TEST(Int, ComparisonsAreSigned) {
  EXPECT_TRUE(Int(-1) < Int(0));
  EXPECT_TRUE(Int(INT32_MIN) < Int(2147483647));
  EXPECT_TRUE(1 <= Int(1));
  EXPECT_TRUE(Int(3) != 4);
}

TEST(IntDeathTest, ZeroDivisorRaisesSigfpe) {
  EXPECT_EXIT((void)(Int(1) / Int(0)), testing::KilledBySignal(SIGFPE), "");
  EXPECT_EXIT((void)(Int(INT32_MIN) / Int(0)), testing::KilledBySignal(SIGFPE), "");
}

TEST(Int, ZeroDivisorYieldsZeroWhenAHandlerReturns) {
  static int raised = 0;
  auto previous = std::signal(SIGFPE, [](int) { ++raised; });
  EXPECT_EQ((Int(42) / Int(0)).v, 0);
  EXPECT_EQ(raised, 1);
  std::signal(SIGFPE, previous);
}

} // namespace
