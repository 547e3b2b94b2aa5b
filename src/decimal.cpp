#include "decimal.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace korvex {

DecimalDigits shortest_digits(double value) noexcept {
  // to_chars without a precision yields the shortest round-trip digits; the
  // scientific form keeps them apart from the exponent: "-1.25e-07".
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  (void)ec;  // 32 bytes always suffice for a double

  DecimalDigits out;
  const char* p = buffer;
  if (*p == '-') {
    out.negative = true;
    ++p;
  }
  for (; *p != 'e'; ++p)
    if (*p != '.') out.digits[static_cast<std::size_t>(out.count++)] = *p;
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // the exponent's sign is always written
  int exponent = 0;
  std::from_chars(p, end, exponent);
  out.exponent = negative_exponent ? -exponent : exponent;
  return out;
}

bool append_positional(std::string& out, const DecimalDigits& d) {
  const std::string_view digits = d.text();
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent) - 1, '0');
    out += digits;
    return true;
  }
  if (d.exponent >= d.count - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(d.exponent) + 1 - static_cast<std::size_t>(d.count), '0');
    return false;
  }
  const std::size_t integral = static_cast<std::size_t>(d.exponent) + 1;
  out += digits.substr(0, integral);
  out += '.';
  out += digits.substr(integral);
  return true;
}

namespace {

constexpr std::array<double, 9> kPowersOfTen{1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};

// The plain form of a value with at most eight decimals below 2^53, found
// without the general shortest-digits search. A decimal m * 10^-k (m an
// integer) reads back to the value exactly when m / 10^k, both exact
// doubles and so correctly rounded, equals it; the fewest digits come from
// the smallest such k.
//
// All scales are settled with one product, at the largest usable scale
// 10^K: decimals with K places are 1/10^K apart, and while that is well over
// the value's spacing u (u * 10^K < 1/4), at most one of them reads back to
// the value, the integer I nearest to the exact product, which lies within
// u * 10^K / 2 of it; the computed product is off by at most u * 10^K more,
// so I is also the integer nearest to the computed product. A decimal M
// with k <= K places that reads back is the same number as I / 10^K with
// M = I / 10^(K - k), and conversely each such exact quotient reads back as
// I / 10^K does. So when I / 10^K reads back, the smallest k is the one
// that strips every trailing zero of I (up to K of them); when it does not,
// no k <= K works.
}  // namespace

std::size_t write_short_plain(double value, char* out) {
  const double magnitude = std::fabs(value);
  if (!(magnitude < 0x1p53)) return 0;
  // The spacing of doubles at the value: the next double up, minus it.
  const double ulp = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) + 1) - magnitude;
  std::size_t places = kPowersOfTen.size() - 1;
  while (!(ulp * kPowersOfTen[places] < 0.25))
    if (places-- == 0) return 0;
  const double scale = kPowersOfTen[places];
  const double product = magnitude * scale;
  // Rounds to the nearest integer (ties to even) with the current rounding:
  // adding 2^52 leaves no bits below the units. The product is below 2^52,
  // as its own spacing is at most 2 * ulp * scale < 1/2.
  const double found = (product + 0x1p52) - 0x1p52;
  // A decimal that reads back lies within 1.5 * ulp * scale of the computed
  // product; most values are far off, and the division is spared.
  if (std::fabs(product - found) > 2.0 * ulp * scale) return 0;
  if (found / scale != magnitude) return 0;

  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(found));
  (void)ec;
  auto count = static_cast<std::size_t>(end - digits);
  // Zero has no decimals at all; any other I loses its trailing zeros with
  // the places they stand for.
  std::size_t k = found == 0.0 ? 0 : places;
  while (k > 0 && digits[count - 1] == '0') {
    --k;
    --count;
  }
  char* p = out;
  if (std::signbit(value)) *p++ = '-';
  if (k == 0) {
    std::memcpy(p, digits, count);
    return static_cast<std::size_t>(p + count - out);
  }
  // m has its k decimals as its last k digits; pad with zeros below 1.
  if (count <= k) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', k - count);
    p += k - count;
    std::memcpy(p, digits, count);
    p += count;
  } else {
    std::memcpy(p, digits, count - k);
    p += count - k;
    *p++ = '.';
    std::memcpy(p, digits + count - k, k);
    p += k;
  }
  return static_cast<std::size_t>(p - out);
}

std::size_t write_plain_decimal(double value, char* out) {
  if (const std::size_t size = write_short_plain(value, out); size != 0) return size;
  std::string text;
  const DecimalDigits d = shortest_digits(value);
  if (d.negative) text += '-';
  append_positional(text, d);
  return text.copy(out, text.size());
}

std::string plain_decimal(double value) {
  char buffer[kPlainDecimalMax];
  return std::string(buffer, write_plain_decimal(value, buffer));
}

}  // namespace korvex
