// passdrill's functions called one at a time, including arguments that main only
// reaches after an impractically long run.
#include <gtest/gtest.h>

#include <cstdint>

#include "passdrill.cpp"

namespace {

struct Case {
  std::int32_t argument;
  std::int32_t expected;
};

// Each pair gives its value back wherever its product fits.
TEST(Passdrill, TimesThenDividedGivesTheValueBack) {
  const std::int32_t values[] = {0, 1, -1, 536870911, -536870912, 715827882, -715827882};
  for (std::int32_t k : {2, 3, 4})
    for (std::int32_t v : values) {
      if (v <= INT32_MAX / k && v >= INT32_MIN / k) {
        EXPECT_EQ(timesThenDivided(v, k), v) << v << " by " << k;
      }
    }
}

TEST(Passdrill, RandomCalculation) {
  const Case cases[] = {
      {0, 0},
      {-1, 0},
      {-2147483647 - 1, 0},
      {3, 57},
      {113025455, 2147483645},
      {113025456, -2147483632}, // the first negative result
      {536870912, 1610612736},  // the last counter of the described loop is 536870911
      // From a counter of 536870912 on, counter * 4 no longer fits: the loop still
      // runs n times and ends.
      {536870914, 1610612774},
  };
  for (const Case& c : cases) EXPECT_EQ(randomCalculation(c.argument), c.expected) << c.argument;
}

TEST(Passdrill, Sums) {
  const Case sums[] = {{0, 0}, {-3, 0}, {100, 5050}, {10000, 50005000}, {30000, 450015000}};
  for (const Case& c : sums) EXPECT_EQ(sum(c.argument), c.expected) << c.argument;

  const Case tails[] = {{0, 0}, {12, 78}, {2147483, -554746566}}; // the deepest main asks for
  for (const Case& c : tails) EXPECT_EQ(tailRecursion(c.argument), c.expected) << c.argument;
  EXPECT_EQ(tailRecursionHelper(3, 10), 16);
}

TEST(Passdrill, Fibonacci) {
  const Case iterative[] = {
      {-7, 1},           {0, 1},          {1, 0}, {2, 1}, {10, 34}, {47, 1836311903},
      {48, -1323752223}, {200, 305885837}};
  for (const Case& c : iterative)
    EXPECT_EQ(iterativeFibonacci(c.argument), c.expected) << c.argument;

  const Case recursive[] = {{-4, -4}, {0, 0}, {1, 1}, {2, 1}, {10, 55}, {30, 832040}};
  for (const Case& c : recursive)
    EXPECT_EQ(recursiveFibonacci(c.argument), c.expected) << c.argument;
}

TEST(Passdrill, Globals) {
  global1 = 0;
  EXPECT_EQ(deadCodeElimination(), 38);
  EXPECT_EQ(global1, 9);
  global2 = 2;
  global3 = 3;
  EXPECT_EQ(interProceduralOptimization(), 50005000);
  EXPECT_EQ(global1, 1);
  EXPECT_EQ(global2, 0);
  EXPECT_EQ(global3, 0);
  EXPECT_EQ(doesntModifyGlobals(), 3);
}

} // namespace
