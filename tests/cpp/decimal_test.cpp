#include "decimal.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace korvex {
namespace {

TEST(ShortestDigits, SplitsDigitsAndExponent) {
  const DecimalDigits phi = shortest_digits(1.618033988749895);
  EXPECT_EQ(phi.text(), "1618033988749895");
  EXPECT_EQ(phi.exponent, 0);
  EXPECT_FALSE(phi.negative);

  const DecimalDigits tiny = shortest_digits(-std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(tiny.text(), "5");
  EXPECT_EQ(tiny.exponent, -324);
  EXPECT_TRUE(tiny.negative);

  const DecimalDigits zero = shortest_digits(-0.0);
  EXPECT_EQ(zero.text(), "0");
  EXPECT_EQ(zero.exponent, 0);
  EXPECT_TRUE(zero.negative);

  const DecimalDigits big = shortest_digits(std::numeric_limits<double>::max());
  EXPECT_EQ(big.text(), "17976931348623157");
  EXPECT_EQ(big.exponent, 308);
}

}  // namespace
}  // namespace korvex
