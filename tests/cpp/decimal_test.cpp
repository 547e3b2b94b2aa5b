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

struct PlainCase {
  double value;
  const char* text;
};

TEST(PlainDecimal, WritesShortestDigitsWithoutExponentOrTrailingPoint) {
  const PlainCase cases[] = {
      {246220.0, "246220"}, {70.0, "70"},        {-1.0, "-1"},
      {1776.86, "1776.86"}, {0.0, "0"},          {0.5, "0.5"},
      {0.001, "0.001"},     {1e-7, "0.0000001"}, {1e21, "1000000000000000000000"},
      {123.456, "123.456"}, {-0.25, "-0.25"},    {0.1 + 0.2, "0.30000000000000004"},
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

namespace korvex {
namespace {

// plain_decimal takes a shortcut for values with few decimals; it must
// agree with the general shortest-digits layout everywhere.
std::string general_plain(double value) {
  const DecimalDigits d = shortest_digits(value);
  std::string out = d.negative ? "-" : "";
  append_positional(out, d);
  return out;
}

TEST(PlainDecimal, ShortcutAgreesWithTheGeneralLayout) {
  std::mt19937_64 random(0x5eed0001);
  std::uniform_int_distribution<int> decimals(0, 10);
  std::uniform_int_distribution<std::int64_t> mantissa(0, (std::int64_t{1} << 53) - 1);
  const double powers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
  for (int i = 0; i < 2'000'000; ++i) {
    // A decimal with few digits after the point, as a double.
    const int k = decimals(random);
    const std::int64_t m = mantissa(random) >> (random() % 53);
    double value = static_cast<double>(m) / powers[k];
    if (i % 2 == 1) value = -value;
    ASSERT_EQ(plain_decimal(value), general_plain(value)) << m << "e-" << k;

    // Any finite double.
    const double any = std::bit_cast<double>(random());
    if (std::isfinite(any)) {
      ASSERT_EQ(plain_decimal(any), general_plain(any)) << any;
    }
  }
}

}  // namespace
}  // namespace korvex
