#include "decimal.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
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
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += digits;
    return true;
  }
  if (d.exponent >= d.count - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(d.exponent - d.count + 1), '0');
    return false;
  }
  const auto integral = static_cast<std::size_t>(d.exponent + 1);
  out += digits.substr(0, integral);
  out += '.';
  out += digits.substr(integral);
  return true;
}

std::string plain_decimal(double value) {
  // An integral value below 2^53 is written by its integer's digits: every
  // integer there is a double, so no shorter digit string reads back to it.
  if (std::fabs(value) < 0x1p53 && std::trunc(value) == value && !(value == 0.0 && std::signbit(value))) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value));
    (void)ec;
    return std::string(buffer, end);
  }
  const DecimalDigits d = shortest_digits(value);
  std::string out;
  if (d.negative) out += '-';
  append_positional(out, d);
  return out;
}

}  // namespace korvex
