// A small JSON writer: strings, numbers, null and one flat object, written
// compactly into memory whose exact size is known before a byte is written.
// The rules it writes by are in docs/design.md ("The JSON writer").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

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

// The size of a text written as a quoted JSON string, and whether all its
// bytes are below 0x80.
struct JsonStringMeasure {
  std::uint32_t size = 2;
  bool ascii = true;
};

namespace json_detail {

// How each byte is written inside a JSON string: 0 copied as it is, else the
// letter after the backslash ('u' for the \u00XX form).
inline constexpr std::array<char, 256> kEscapes = [] {
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

// Writes a number's text, at most 24 bytes, into out, which has room for 32,
// and returns its size.
std::size_t format_number(char* out, double value) noexcept;

// The run-time form, which reads the text a word at a time. Pure (it only
// reads the text), so that callers in other files, the datasheet's, keep
// what they hold in registers across the call.
[[gnu::pure]] JsonStringMeasure measure_string_by_words(std::string_view text) noexcept;

}  // namespace json_detail

constexpr JsonStringMeasure measure_json_string(std::string_view text) noexcept {
  if consteval {
    JsonStringMeasure measure;
    measure.size = static_cast<std::uint32_t>(2 + text.size());
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (const char escape = json_detail::kEscapes[byte]; escape != 0) measure.size += escape == 'u' ? 5 : 1;
      if (byte >= 0x80) measure.ascii = false;
    }
    return measure;
  } else {
    return json_detail::measure_string_by_words(text);
  }
}

// A member name with what the object needs of it worked out once: its size
// as a JSON string. A name made in a constant expression
// is measured when the program is compiled. It borrows its text.
class JsonName {
 public:
  constexpr explicit JsonName(std::string_view text) noexcept : text_(text), measure_(measure_json_string(text)) {}

 private:
  friend class JsonObject;

  std::string_view text_;
  JsonStringMeasure measure_;
};

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
//
// Each member is measured when it is set (a number is formatted there and
// then), so the exact size of the text is known before a byte of it is
// written, and it can go straight into memory the caller provides.
class JsonObject {
 public:
  static constexpr std::size_t kCapacity = 8;

  // Gives the member `name` the value, replacing the value of a member that
  // already has that name. Returns false, changing nothing, when the name is
  // new and the object already holds kCapacity members. Inline, so that a
  // name and a value built at the call go straight into the member's fields.
  bool set(const JsonName& name, const JsonValue& value) noexcept {
    std::size_t at = 0;
    while (at < size_ && members_[order_[at]].name_text() < name.text_) ++at;
    if (at < size_) {
      if (members_[order_[at]].name_text() == name.text_) {
        assign(members_[order_[at]], name, value);
        return true;
      }
    }
    if (size_ == kCapacity) return false;
    for (std::size_t i = size_; i > at; --i) order_[i] = order_[i - 1];
    order_[at] = static_cast<std::uint8_t>(size_);
    assign(members_[size_], name, value);
    ++size_;
    return true;
  }
  // The same for a name given as text, measured on the way in.
  bool set(std::string_view name, const JsonValue& value) noexcept { return set(JsonName(name), value); }

  std::size_t size() const noexcept { return size_; }

  // The exact size of the text write() produces.
  std::size_t text_size() const noexcept {
    std::size_t size = 2 + (size_ > 0 ? size_ - 1 : 0);
    for (std::size_t i = 0; i < size_; ++i) size += members_[i].name_json_size + 1 + members_[i].value_json_size;
    return size;
  }
  // Whether every byte of that text is below 0x80 (names and string values
  // are copied unchanged, UTF-8 included; everything else is ASCII).
  bool ascii() const noexcept {
    bool ascii = true;
    for (std::size_t i = 0; i < size_; ++i) ascii &= members_[i].ascii;
    return ascii;
  }
  // Writes the object compactly, {"a":1.0,"b":null} with no whitespace, into
  // out, which has room for text_size() bytes; returns the end of the text.
  char* write(char* out) const noexcept;
  // Appends the same text.
  void write(std::string& out) const;

 private:
  // Room for the longest number text, "-1.7976931348623157e+308" (24 bytes).
  static constexpr std::size_t kNumberMax = 32;

  // Members stay where they were added (plain fields, left unset until
  // used); order_ lists them sorted by name. Sizes are of the texts as
  // written: a string quoted and escaped, a number formatted.
  struct Member {
    const char* name;
    const char* text;  // a string value's bytes
    std::uint32_t name_size;
    std::uint32_t text_size;
    std::uint32_t name_json_size;
    std::uint32_t value_json_size;
    JsonValue::Kind kind;
    bool ascii;
    char number[kNumberMax];  // a number value's text

    std::string_view name_text() const noexcept { return {name, name_size}; }
  };

  // Fills the member's fields: a string value measured, a number formatted.
  static void assign(Member& member, const JsonName& name, const JsonValue& value) noexcept {
    member.name = name.text_.data();
    member.name_size = static_cast<std::uint32_t>(name.text_.size());
    member.name_json_size = name.measure_.size;
    member.kind = value.kind_;
    member.ascii = name.measure_.ascii;
    switch (value.kind_) {
      case JsonValue::Kind::String: {
        const JsonStringMeasure text_measure = measure_json_string(value.text_);
        member.text = value.text_.data();
        member.text_size = static_cast<std::uint32_t>(value.text_.size());
        member.value_json_size = text_measure.size;
        member.ascii &= text_measure.ascii;
        break;
      }
      case JsonValue::Kind::Null:
        member.value_json_size = 4;
        break;
      case JsonValue::Kind::Number:
        member.value_json_size = static_cast<std::uint32_t>(json_detail::format_number(member.number, value.number_));
        break;
    }
  }

  std::array<Member, kCapacity> members_;
  std::array<std::uint8_t, kCapacity> order_;
  std::size_t size_ = 0;
};

namespace json_detail {

// Appends exactly `size` bytes that write(char*) fills, returning their end.
// (The size resize_and_overwrite hands to its operation is not used: some
// library versions pass the capacity there.)
template <class Write>
void append_exactly(std::string& out, std::size_t size, Write write) {
  const std::size_t start = out.size();
  out.resize_and_overwrite(
      start + size, [&](char* data, std::size_t) { return static_cast<std::size_t>(write(data + start) - data); });
}

}  // namespace json_detail

}  // namespace korvex
