// Shortest round-trip decimal digits of a double, and the plain positional
// layout the registry uses for the literal formulas of derived entries.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace korvex {

// value == (negative ? -1 : 1) * d1.d2...dn * 10^exponent, where d1..dn are
// the fewest significant digits that a correctly rounding reader turns back
// into the same double. Zero is the single digit "0" with exponent 0.
struct DecimalDigits {
  bool negative = false;
  int count = 0;
  int exponent = 0;
  std::array<char, 17> digits{};

  std::string_view text() const noexcept { return {digits.data(), static_cast<std::size_t>(count)}; }
};

// Requires a finite value.
DecimalDigits shortest_digits(double value) noexcept;

// The shortest digits in plain positional notation: never an exponent, a
// "-" for a set sign bit, and no decimal point for an integral value
// (246220.0 -> "246220", -1.0 -> "-1", 1776.86 -> "1776.86").
// Requires a finite value.
std::string plain_decimal(double value);

}  // namespace korvex
