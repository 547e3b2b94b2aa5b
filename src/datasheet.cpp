#include "datasheet.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "decimal.hpp"
#include "formulas_registry.hpp"

namespace korvex {

namespace {

// Decimal exponents written positionally; outside them the positional form
// would grow long runs of zeros, so the number switches to scientific form.
constexpr int kPositionalMinExponent = -5;
constexpr int kPositionalMaxExponent = 15;

// How each byte is written inside a JSON string: 0 copied as it is, else the
// letter after the backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) table[static_cast<std::size_t>(byte)] = 'u';
  table[0x08] = 'b';
  table[0x09] = 't';
  table[0x0A] = 'n';
  table[0x0C] = 'f';
  table[0x0D] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

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

std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The exact size of text written as a JSON string.
std::size_t json_string_size(std::string_view text) noexcept {
  std::size_t size = 2 + text.size();
  const char* p = text.data();
  const char* const end = p + text.size();
  for (; end - p >= 8; p += 8)
    if (needs_escape(load_word(p)))
      for (int i = 0; i < 8; ++i)
        if (const char escape = kEscapes[static_cast<unsigned char>(p[i])]; escape != 0) size += escape == 'u' ? 5 : 1;
  for (; p != end; ++p)
    if (const char escape = kEscapes[static_cast<unsigned char>(*p)]; escape != 0) size += escape == 'u' ? 5 : 1;
  return size;
}

char* put_json_string(char* out, std::string_view text) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  *out++ = '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end) {
    if (end - p >= 8 && !needs_escape(load_word(p))) {
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

// A JSON number's text, at most kNumberMax bytes ("-1.7976931348623157e+308"
// is 24).
constexpr std::size_t kNumberMax = 32;

// The number's text in to_chars' scientific form, "-1.25e-07": the shortest
// round-trip digits, a point after the first when there are more, and an
// exponent with its sign and at least two digits.
struct ScientificText {
  char text[32];
  const char* digits;    // the first digit, past any sign
  const char* fraction;  // the digits after the point (none: the 'e')
  const char* e;         // the 'e'
  const char* end;
  int exponent;

  explicit ScientificText(double value) noexcept {
    end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    digits = text[0] == '-' ? text + 1 : text;
    fraction = digits[1] == '.' ? digits + 2 : digits + 1;
    e = end[-4] == 'e' ? end - 4 : end - 5;
    exponent = 0;
    for (const char* p = e + 2; p != end; ++p) exponent = exponent * 10 + (*p - '0');
    if (e[1] == '-') exponent = -exponent;
  }
};

std::size_t format_json_number(char (&buffer)[kNumberMax], double value) noexcept {
  if (!std::isfinite(value)) {
    std::copy_n("null", 4, buffer);
    return 4;
  }
  // Short decimals from 1e-5 up are laid out positionally either way; only
  // an integral one needs ".0" added.
  if (value == 0.0 || std::fabs(value) >= 1e-5)
    if (std::size_t size = write_short_plain(value, buffer); size != 0) {
      if (std::memchr(buffer, '.', size) == nullptr) {
        std::memcpy(buffer + size, ".0", 2);
        size += 2;
      }
      return size;
    }
  // Every other number is laid out from its shortest digits, as to_chars
  // writes them in scientific form; zero never gets here.
  const ScientificText s(value);
  char* out = buffer;
  if (s.digits != s.text) *out++ = '-';
  const auto fraction_size = static_cast<std::size_t>(s.e - s.fraction);
  if (s.exponent < kPositionalMinExponent || s.exponent > kPositionalMaxExponent) {
    // The digits and point as they are; the exponent keeps its sign and
    // loses its leading zeros (it is at least 6 in size here).
    const auto mantissa_size = static_cast<std::size_t>(s.e - s.digits);
    std::memcpy(out, s.digits, mantissa_size);
    out += mantissa_size;
    *out++ = 'e';
    *out++ = s.e[1];
    const char* exponent = s.e + 2;
    while (*exponent == '0') ++exponent;
    const auto exponent_size = static_cast<std::size_t>(s.end - exponent);
    std::memcpy(out, exponent, exponent_size);
    return static_cast<std::size_t>(out + exponent_size - buffer);
  }
  if (s.exponent < 0) {
    // "0.", then zeros up to the first digit.
    const auto zeros = static_cast<std::size_t>(-s.exponent - 1);
    *out++ = '0';
    *out++ = '.';
    std::memset(out, '0', zeros);
    out += zeros;
    *out++ = s.digits[0];
    std::memcpy(out, s.fraction, fraction_size);
    return static_cast<std::size_t>(out + fraction_size - buffer);
  }
  // The first digit and `integral` more before the point.
  const auto integral = static_cast<std::size_t>(s.exponent);
  *out++ = s.digits[0];
  if (fraction_size > integral) {
    std::memcpy(out, s.fraction, integral);
    out += integral;
    *out++ = '.';
    std::memcpy(out, s.fraction + integral, fraction_size - integral);
    return static_cast<std::size_t>(out + fraction_size - integral - buffer);
  }
  // An integral number keeps a fractional part so that it reads back as a
  // float rather than an integer.
  std::memcpy(out, s.fraction, fraction_size);
  out += fraction_size;
  std::memset(out, '0', integral - fraction_size);
  out += integral - fraction_size;
  return static_cast<std::size_t>(std::copy_n(".0", 2, out) - buffer);
}

// Appends exactly `size` bytes that put(char*) writes, returning its end.
template <class Put>
void append_exactly(std::string& out, std::size_t size, Put put) {
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + size,
                           [&](char* data, std::size_t) { return static_cast<std::size_t>(put(data + start) - data); });
}

// The one implementation behind both write_datasheet overloads: the owned
// record and the registry's stored view differ only in how they hand out
// their fields.
std::string datasheet_text(std::string_view name, double value, std::string_view units,
                           std::optional<double> uncertainty, ConstantStatus status) {
  // Added in the record's own field order; the object sorts them by name.
  // Five distinct names never exceed the object's capacity.
  JsonObject sheet;
  sheet.set("name", JsonValue::string(name));
  sheet.set("value", JsonValue::number(value));
  sheet.set("units", JsonValue::string(units));
  sheet.set("uncertainty", JsonValue::number_or_null(uncertainty));
  sheet.set("status", JsonValue::string(to_text(status)));

  std::string out;
  out.reserve(128);
  sheet.write(out);
  return out;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  append_exactly(out, json_string_size(text), [text](char* p) { return put_json_string(p, text); });
}

void append_json_number(std::string& out, double value) {
  char buffer[kNumberMax];
  out.append(buffer, format_json_number(buffer, value));
}

void JsonObject::write(std::string& out) const {
  // Every member's text is sized first, so the object is written in one
  // pass into memory reserved once.
  std::array<char[kNumberMax], kCapacity> numbers;
  std::array<std::size_t, kCapacity> number_sizes;
  std::size_t size = 2 + (size_ > 0 ? size_ - 1 : 0);
  for (std::size_t i = 0; i < size_; ++i) {
    const Member& m = members_[i];
    size += json_string_size(name_of(i)) + 1;
    switch (m.kind) {
      case JsonValue::Kind::String:
        size += json_string_size({m.text, m.text_size});
        break;
      case JsonValue::Kind::Null:
        size += 4;
        break;
      case JsonValue::Kind::Number:
        size += number_sizes[i] = format_json_number(numbers[i], m.number);
        break;
    }
  }
  append_exactly(out, size, [&](char* p) {
    *p++ = '{';
    for (std::size_t k = 0; k < size_; ++k) {
      const std::size_t i = order_[k];
      const Member& m = members_[i];
      if (k != 0) *p++ = ',';
      p = put_json_string(p, name_of(i));
      *p++ = ':';
      switch (m.kind) {
        case JsonValue::Kind::String:
          p = put_json_string(p, {m.text, m.text_size});
          break;
        case JsonValue::Kind::Null:
          p = std::copy_n("null", 4, p);
          break;
        case JsonValue::Kind::Number:
          std::memcpy(p, numbers[i], number_sizes[i]);
          p += number_sizes[i];
          break;
      }
    }
    *p++ = '}';
    return p;
  });
}

std::string write_datasheet(const ConstantRecord& record) {
  return datasheet_text(record.name, record.value, record.units, record.uncertainty, record.status);
}

std::string write_datasheet(const ConstantRecordView& record) {
  return datasheet_text(record.name(), record.value(), record.units(), record.uncertainty(), record.status());
}

}  // namespace korvex
