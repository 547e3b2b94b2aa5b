#include "datasheet.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "decimal.hpp"
#include "formulas_registry.hpp"

namespace korvex {

namespace {

// Decimal exponents written positionally; outside them the positional form
// would grow long runs of zeros, so the number switches to scientific form.
constexpr int kPositionalMinExponent = -5;
constexpr int kPositionalMaxExponent = 15;

// The escape of a control byte below 0x20 that has a short form, else 0.
constexpr char short_escape(unsigned char byte) noexcept {
  switch (byte) {
    case 0x08:
      return 'b';
    case 0x09:
      return 't';
    case 0x0A:
      return 'n';
    case 0x0C:
      return 'f';
    case 0x0D:
      return 'r';
    default:
      return 0;
  }
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
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  // Bytes that need no escape are copied in runs rather than one by one.
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out += text.substr(run_start, i - run_start);
    run_start = i + 1;
    out += '\\';
    if (byte == '"' || byte == '\\') {
      out += static_cast<char>(byte);
    } else if (const char letter = short_escape(byte)) {
      out += letter;
    } else {
      out += "u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  out += text.substr(run_start);
  out += '"';
}

void append_json_number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  const DecimalDigits d = shortest_digits(value);
  if (d.negative) out += '-';
  if (d.exponent >= kPositionalMinExponent && d.exponent <= kPositionalMaxExponent) {
    // An integral number keeps a fractional part so that it reads back as a
    // float rather than an integer.
    if (!append_positional(out, d)) out += ".0";
    return;
  }
  const std::string_view digits = d.text();
  out += digits.front();
  if (d.count > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += d.exponent < 0 ? "e-" : "e+";
  char exponent[4];  // at most 324
  const auto [end, ec] = std::to_chars(exponent, exponent + sizeof exponent, std::abs(d.exponent));
  (void)ec;
  out.append(exponent, end);
}

void JsonValue::write(std::string& out) const {
  switch (kind_) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Number:
      append_json_number(out, number_);
      return;
    case Kind::String:
      append_json_string(out, text_);
      return;
  }
}

bool JsonObject::set(std::string_view name, JsonValue value) noexcept {
  // string_view compares through char_traits<char>, which orders bytes as
  // unsigned char: names with bytes of 0x80 and above sort after ASCII.
  std::size_t at = 0;
  while (at < size_ && members_[at].name < name) ++at;
  if (at < size_ && members_[at].name == name) {
    members_[at].value = value;
    return true;
  }
  if (size_ == kCapacity) return false;
  for (std::size_t i = size_; i > at; --i) members_[i] = members_[i - 1];
  members_[at] = Member{name, value};
  ++size_;
  return true;
}

void JsonObject::write(std::string& out) const {
  out += '{';
  for (std::size_t i = 0; i < size_; ++i) {
    if (i != 0) out += ',';
    append_json_string(out, members_[i].name);
    out += ':';
    members_[i].value.write(out);
  }
  out += '}';
}

std::string write_datasheet(const ConstantRecord& record) {
  return datasheet_text(record.name, record.value, record.units, record.uncertainty, record.status);
}

std::string write_datasheet(const ConstantRecordView& record) {
  return datasheet_text(record.name(), record.value(), record.units(), record.uncertainty(), record.status());
}

}  // namespace korvex
