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
// without the general shortest-digits search: for k = 0, 1, ... the decimal
// m * 10^-k, m an integer, reads back to the value exactly when m / 10^k
// (both exact doubles, so the division is correctly rounded) equals it. The
// first k with such an m gives the fewest digits. Writes the text to out
// and returns its size; returns 0 when the value is not of that kind or the
// nearest decimals at some k are not unique.
}  // namespace

std::size_t write_short_plain(double value, char* out) {
  const double magnitude = std::fabs(value);
  if (!(magnitude < 0x1p53)) return 0;
  // The spacing of doubles at the value: the next double up, minus it.
  const double ulp = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) + 1) - magnitude;
  for (std::size_t k = 0; k < kPowersOfTen.size(); ++k) {
    const double scale = kPowersOfTen[k];
    // Decimals with k places are 1/scale apart. While that is well over the
    // value's spacing, at most one of them reads back to the value: the one
    // nearest to the exact product, which lies within ulp * scale / 2 of it,
    // while the computed product is off by at most ulp * scale; below a
    // quarter, both are under half a unit from the same integer. Past that
    // point the general search takes over.
    if (!(ulp * scale < 0.25)) return 0;
    const double product = magnitude * scale;
    // Rounds to the nearest integer (ties to even) with the current
    // rounding: adding 2^52 leaves no bits below the units. Products from
    // 2^52 up are integers already.
    const double found = product < 0x1p52 ? (product + 0x1p52) - 0x1p52 : product;
    // A decimal that reads back lies within 1.5 * ulp * scale of the
    // computed product; most others are far off, and the division is spared.
    if (std::fabs(product - found) > 2.0 * ulp * scale) continue;
    if (k == 0 ? found != magnitude : found / scale != magnitude) continue;

    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(found));
    (void)ec;
    const auto count = static_cast<std::size_t>(end - digits);
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
  return 0;
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
