#include "json_writer.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "byte_loads.hpp"
#include "decimal.hpp"

namespace korvex {

namespace {

// Decimal exponents written positionally; outside them the positional form
// would grow long runs of zeros, so the number switches to scientific form.
constexpr int kPositionalMinExponent = -5;
constexpr int kPositionalMaxExponent = 15;

using json_detail::append_exactly;
using json_detail::kEscapes;

// Whether any of the 8 bytes in `word` needs an escape: a control byte, a
// quote or a backslash. Texts are mostly plain, so they are checked eight
// bytes at a time and only words with something to escape byte by byte.
constexpr bool needs_escape(std::uint64_t word) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  auto has_zero_byte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word & kHighs;
  return (below_space | has_zero_byte(word ^ (kOnes * '"')) | has_zero_byte(word ^ (kOnes * '\\'))) != 0;
}

char* put_json_string(char* out, std::string_view text) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  *out++ = '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end) {
    if (end - p >= 8 && !needs_escape(load_le64(p))) {
      std::memcpy(out, p, 8);
      out += 8;
      p += 8;
      continue;
    }
    const auto byte = static_cast<unsigned char>(*p++);
    const char escape = kEscapes[byte];
    if (escape == 0) {
      *out++ = static_cast<char>(byte);
      continue;
    }
    *out++ = '\\';
    *out++ = escape;
    if (escape == 'u') {
      *out++ = '0';
      *out++ = '0';
      *out++ = kHex[byte >> 4];
      *out++ = kHex[byte & 0x0F];
    }
  }
  *out++ = '"';
  return out;
}

// Writes text as a JSON string whose written size is known: when that is
// the text's own size and the quotes, nothing is escaped and the bytes are
// copied as they are.
char* put_measured_json_string(char* out, const char* text, std::size_t size, std::size_t json_size) noexcept {
  if (json_size != size + 2) return put_json_string(out, {text, size});
  *out++ = '"';
  copy_bytes(out, text, size);
  out += size;
  *out++ = '"';
  return out;
}

}  // namespace

std::size_t json_detail::format_number(char* buffer, double value) noexcept {
  if (!std::isfinite(value)) {
    std::copy_n("null", 4, buffer);
    return 4;
  }
  const DecimalDigits d = shortest_digits(value);
  const std::string_view digits = d.text();
  char* out = buffer;
  if (d.negative) *out++ = '-';
  if (d.exponent < kPositionalMinExponent || d.exponent > kPositionalMaxExponent) {
    // d1, then "." and the other digits if there are any, then the
    // exponent with its sign and no leading zeros: "1e+16", "1.25e-7".
    *out++ = digits[0];
    if (digits.size() > 1) {
      *out++ = '.';
      out = std::copy(digits.begin() + 1, digits.end(), out);
    }
    *out++ = 'e';
    *out++ = d.exponent < 0 ? '-' : '+';
    out = std::to_chars(out, out + 4, d.exponent < 0 ? -d.exponent : d.exponent).ptr;
    return static_cast<std::size_t>(out - buffer);
  }
  if (d.exponent < 0) {
    // "0.", zeros up to the first digit, then the digits: "0.00123".
    out = std::copy_n("0.", 2, out);
    out = std::fill_n(out, -d.exponent - 1, '0');
    out = std::copy(digits.begin(), digits.end(), out);
    return static_cast<std::size_t>(out - buffer);
  }
  const auto integral = static_cast<std::size_t>(d.exponent) + 1;
  if (integral < digits.size()) {
    // The point inside the digits: "12.34".
    out = std::copy_n(digits.begin(), integral, out);
    *out++ = '.';
    out = std::copy(digits.begin() + static_cast<std::ptrdiff_t>(integral), digits.end(), out);
    return static_cast<std::size_t>(out - buffer);
  }
  // An integral number: zeros up to the units, then ".0", so that it reads
  // back as a float rather than an integer: "288.0", "1000000000000000.0".
  out = std::copy(digits.begin(), digits.end(), out);
  out = std::fill_n(out, integral - digits.size(), '0');
  out = std::copy_n(".0", 2, out);
  return static_cast<std::size_t>(out - buffer);
}

JsonStringMeasure json_detail::measure_string_by_words(std::string_view text) noexcept {
  // Plain text, the usual case, is passed over a word at a time (the last
  // few bytes as a word of their own, filled up with letters); only text
  // with something to escape is counted byte by byte.
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  const char* const p = text.data();
  const std::size_t n = text.size();
  std::uint64_t all = 0;
  bool escapes = false;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t word = load_le64(p + i);
    all |= word;
    escapes |= needs_escape(word);
  }
  if (i != n) {
    const std::size_t rest = n - i;
    const std::uint64_t word = load_le_short(p + i, rest) | (kOnes * 'a') << (8 * rest);
    all |= word;
    escapes |= needs_escape(word);
  }
  std::size_t size = 2 + n;
  if (escapes)
    for (const char c : text)
      if (const char escape = kEscapes[static_cast<unsigned char>(c)]; escape != 0) size += escape == 'u' ? 5 : 1;
  return {static_cast<std::uint32_t>(size), (all & 0x8080808080808080ULL) == 0};
}

char* JsonObject::write(char* out) const noexcept {
  *out++ = '{';
  for (std::size_t k = 0; k < size_; ++k) {
    const Member& m = members_[order_[k]];
    if (k != 0) *out++ = ',';
    out = put_measured_json_string(out, m.name, m.name_size, m.name_json_size);
    *out++ = ':';
    switch (m.kind) {
      case JsonValue::Kind::String:
        out = put_measured_json_string(out, m.text, m.text_size, m.value_json_size);
        break;
      case JsonValue::Kind::Null:
        out = std::copy_n("null", 4, out);
        break;
      case JsonValue::Kind::Number:
        copy_bytes(out, m.number, m.value_json_size);
        out += m.value_json_size;
        break;
    }
  }
  *out++ = '}';
  return out;
}

void JsonObject::write(std::string& out) const {
  append_exactly(out, text_size(), [this](char* p) { return write(p); });
}

void append_json_string(std::string& out, std::string_view text) {
  append_exactly(out, measure_json_string(text).size, [text](char* p) { return put_json_string(p, text); });
}

void append_json_number(std::string& out, double value) {
  char buffer[32];
  out.append(buffer, json_detail::format_number(buffer, value));
}

}  // namespace korvex
