#include "decimal.hpp"

#include <cassert>
#include <charconv>
#include <cmath>

namespace korvex {

DecimalDigits shortest_digits(double value) noexcept {
  assert(std::isfinite(value));
  // to_chars without a precision yields the shortest round-trip digits; the
  // scientific form keeps them apart from the exponent: "-1.25e-07".
  char buffer[32];
  const char* const end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;

  DecimalDigits out;
  const char* p = buffer;
  if (*p == '-') {
    out.negative = true;
    ++p;
  }
  for (; *p != 'e'; ++p)
    if (*p != '.') out.digits[static_cast<std::size_t>(out.count++)] = *p;
  const bool negative_exponent = p[1] == '-';
  for (p += 2; p != end; ++p) out.exponent = out.exponent * 10 + (*p - '0');
  if (negative_exponent) out.exponent = -out.exponent;
  return out;
}

}  // namespace korvex
