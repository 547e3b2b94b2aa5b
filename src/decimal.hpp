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

// Appends the digits in positional notation, without sign, exponent or a
// trailing point: "0." and zeros before a negative exponent, a point inside
// the digits, or zeros after them up to the units place. True when the point
// fell inside the digits, false when the number is integral; the callers
// differ only in what an integral number ends with.
bool append_positional(std::string& out, const DecimalDigits& digits);

// plain_decimal's quick path, for values below 2^53 with at most eight
// decimals: writes the plain text into out (at least 32 bytes) and returns
// its size, or returns 0, writing nothing, for any other value.
std::size_t write_short_plain(double value, char* out);

// The longest plain decimal of a finite double: "-" and 309 digits, or "-0."
// and 323 zeros before the last of 17 digits.
inline constexpr std::size_t kPlainDecimalMax = 344;

// Writes plain_decimal(value) into out, which has kPlainDecimalMax bytes,
// and returns its size. Requires a finite value.
std::size_t write_plain_decimal(double value, char* out);

// The shortest digits in plain positional notation: never an exponent, a
// "-" for a set sign bit, and no decimal point for an integral value
// (246220.0 -> "246220", -1.0 -> "-1", 1776.86 -> "1776.86").
// Requires a finite value.
std::string plain_decimal(double value);

}  // namespace korvex
