#include "decimal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace korvex {
namespace {

struct PlainCase {
  double value;
  const char* text;
};

TEST(PlainDecimal, WritesShortestDigitsWithoutExponentOrTrailingPoint) {
  const PlainCase cases[] = {
      {246220.0, "246220"}, {70.0, "70"},   {-1.0, "-1"},     {1776.86, "1776.86"}, {0.0, "0"},
      {0.5, "0.5"},         {0.001, "0.001"}, {1e-7, "0.0000001"}, {1e21, "1000000000000000000000"},
      {123.456, "123.456"}, {-0.25, "-0.25"}, {0.1 + 0.2, "0.30000000000000004"},
  };
  for (const PlainCase& c : cases) EXPECT_EQ(plain_decimal(c.value), c.text) << c.text;
}

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
