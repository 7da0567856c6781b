// radixsum's functions called one at a time.
#include <gtest/gtest.h>

#include <cstdint>

#include "radixsum.cpp"

namespace {

TEST(Radixsum, Power) {
  struct Case {
    std::int32_t base, exponent, result;
  };
  const Case cases[] = {{2, 0, 1},  {3, 4, 81}, {2, 31, -2147483647 - 1},
                        {2, 32, 0}, {5, -1, 1}, {-2, 3, -8}};
  for (const Case& c : cases)
    EXPECT_EQ(power(c.base, c.exponent), c.result) << c.base << "^" << c.exponent;
}

TEST(Radixsum, Conversion) {
  EXPECT_EQ(recursiveDecimalSum(11, 100, 2), 112);
  EXPECT_EQ(recursiveDecimalSum(0, 7, 3), 7);
  EXPECT_EQ(recursiveDecimalSum(-11, 7, 0), 7);
  // Ten digits 1 reach position 9; with a starting position of 22 the highest adds
  // 2^31 and the total wraps.
  EXPECT_EQ(recursiveDecimalSum(1111111111, 0, 22), -4194304);
  EXPECT_EQ(convertToDecimal(0), 0);
  EXPECT_EQ(convertToDecimal(1111111111), 1023);
}

TEST(Radixsum, WaitReturnsZero) {
  for (std::int32_t ticks : {-2147483647 - 1, -5, 0, 1, 1000}) EXPECT_EQ(wait(ticks), 0) << ticks;
}

} // namespace
