// The shortest round-trip decimal digits of a double: the first step of
// writing a JSON number, before any layout.
#pragma once

#include <array>
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

}  // namespace korvex
