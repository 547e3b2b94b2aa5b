// The datasheet of one constant as compact JSON text, and the small JSON
// writer it is built with: strings, numbers, null and one flat object.
//
// The text is parsed by the host's own JSON reader, so the writer's rules are
// chosen for that reader: every finite number carries a "." or an "e" (it
// reads back as a float, never an integer) with the shortest digits that
// convert back to the same double, and non-finite numbers become null.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "byte_order.hpp"
#include "constant_record.hpp"

namespace korvex {

class ConstantRecordView;

// Appends text as a quoted JSON string. Only what must be escaped is: the
// quote and the backslash, and the control bytes 0x00-0x1F (as \b \t \n \f \r
// where those exist, else as \u00 with two lower-case hex digits). Every
// other byte, 0x7F and UTF-8 sequences included, is copied unchanged, so the
// text is not checked for being valid UTF-8.
void append_json_string(std::string& out, std::string_view text);

// Appends a JSON number: "null" for NaN and infinities; otherwise the
// shortest round-trip digits, with a "-" for a set sign bit (-0.0 included).
// Decimal exponents from -5 to 15 are written positionally, an integral
// number ending in ".0" ("3.0", "0.00001", "1000000000000000.0"); the rest in
// scientific form with a signed exponent and no leading zeros ("1e+16",
// "1.25e-7", "5e-324").
void append_json_number(std::string& out, double value);

// A null, a number or a string, as a member of a JsonObject. A string value
// borrows its text, which must outlive every use of the value.
class JsonValue {
 public:
  constexpr JsonValue() noexcept = default;
  static constexpr JsonValue null() noexcept { return {}; }
  static constexpr JsonValue number(double value) noexcept { return JsonValue(Kind::Number, value, {}); }
  static constexpr JsonValue string(std::string_view text) noexcept { return JsonValue(Kind::String, 0.0, text); }
  // The number when present, else null.
  static constexpr JsonValue number_or_null(std::optional<double> value) noexcept {
    return value ? number(*value) : null();
  }

 private:
  friend class JsonObject;
  enum class Kind : std::uint8_t { Null, Number, String };

  constexpr JsonValue(Kind kind, double number, std::string_view text) noexcept
      : text_(text), number_(number), kind_(kind) {}

  std::string_view text_;
  double number_ = 0.0;
  Kind kind_ = Kind::Null;
};

// A flat JSON object whose members stay sorted by their names compared byte
// for byte as unsigned values, a name before its extensions. It is built
// and written once per request, so it keeps its members inline and never
// touches the heap; names and string values are borrowed like JsonValue's.
class JsonObject {
 public:
  static constexpr std::size_t kCapacity = 8;

  // Gives the member `name` the value, replacing the value of a member that
  // already has that name. Returns false, changing nothing, when the name is
  // new and the object already holds kCapacity members. Inline, so that a
  // value built at the call goes straight into the member's fields.
  bool set(std::string_view name, const JsonValue& value) noexcept {
    std::size_t at = 0;
    while (at < size_ && byte_less(name_of(order_[at]), name)) ++at;
    if (at < size_ && !byte_less(name, name_of(order_[at]))) {
      assign(members_[order_[at]], name, value);
      return true;
    }
    if (size_ == kCapacity) return false;
    for (std::size_t i = size_; i > at; --i) order_[i] = order_[i - 1];
    order_[at] = static_cast<std::uint8_t>(size_);
    assign(members_[size_], name, value);
    ++size_;
    return true;
  }

  std::size_t size() const noexcept { return size_; }

  // Appends the object compactly: {"a":1.0,"b":null}, no whitespace.
  void write(std::string& out) const;

 private:
  // Members stay where they were added (plain fields, left unset until
  // used); order_ lists them sorted by name.
  struct Member {
    const char* name;
    const char* text;
    double number;
    std::uint32_t name_size;
    std::uint32_t text_size;
    JsonValue::Kind kind;
  };

  static void assign(Member& member, std::string_view name, const JsonValue& value) noexcept {
    member.name = name.data();
    member.name_size = static_cast<std::uint32_t>(name.size());
    member.kind = value.kind_;
    member.number = value.number_;
    member.text = value.text_.data();
    member.text_size = static_cast<std::uint32_t>(value.text_.size());
  }
  std::string_view name_of(std::size_t i) const noexcept { return {members_[i].name, members_[i].name_size}; }

  std::array<Member, kCapacity> members_;
  std::array<std::uint8_t, kCapacity> order_;
  std::size_t size_ = 0;
};

// The datasheet of a record: an object of the five members name, status,
// uncertainty (null when absent), units and value, written in that order.
// The text starts with room for 128 bytes, which every seeded entry fits.
std::string write_datasheet(const ConstantRecord& record);
std::string write_datasheet(const ConstantRecordView& record);

}  // namespace korvex
