#include "datasheet.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "byte_loads.hpp"
#include "expected_constants.hpp"
#include "formulas_registry.hpp"

namespace korvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string number_text(double value) {
  std::string out;
  append_json_number(out, value);
  return out;
}

std::string string_text(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

struct NumberCase {
  double value;
  const char* text;
};

TEST(JsonNumber, WritesExactTexts) {
  const NumberCase cases[] = {
      // Sign and zero.
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-1.0, "-1.0"},
      {-2.5e-6, "-2.5e-6"},
      // Integral values keep a ".0".
      {3.0, "3.0"},
      {288.0, "288.0"},
      {246220.0, "246220.0"},
      // Fractions inside the positional window.
      {1.618033988749895, "1.618033988749895"},
      {0.5772156649015329, "0.5772156649015329"},
      {12.34, "12.34"},
      {0.00123, "0.00123"},
      {0.1 + 0.2, "0.30000000000000004"},
      {123456.789, "123456.789"},
      // The window's edges: exponents -5 and 15 are positional, -6 and 16 are not.
      {1e-5, "0.00001"},
      {1.5e-5, "0.000015"},
      {9.87654321e-5, "0.0000987654321"},
      {1e-6, "1e-6"},
      {9.99e-6, "9.99e-6"},
      {1e15, "1000000000000000.0"},
      {1234567890123456.0, "1234567890123456.0"},
      {9007199254740993.0, "9007199254740992.0"},
      {1e16, "1e+16"},
      {1.2345e16, "1.2345e+16"},
      // Scientific form far out.
      {1.25e-7, "1.25e-7"},
      {1e100, "1e+100"},
      {1e-100, "1e-100"},
      {-1.5e300, "-1.5e+300"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
      // Nothing JSON can hold.
      {kNaN, "null"},
      {-kNaN, "null"},
      {kInf, "null"},
      {-kInf, "null"},
  };
  for (const NumberCase& c : cases) EXPECT_EQ(number_text(c.value), c.text) << c.text;
}

TEST(JsonString, EscapesEveryControlByte) {
  // The escapes with a letter of their own; the other control bytes take the
  // six-character \u form with lower-case hex digits.
  const std::map<int, std::string> short_forms = {
      {0x08, "\\b"}, {0x09, "\\t"}, {0x0A, "\\n"}, {0x0C, "\\f"}, {0x0D, "\\r"},
  };
  for (int byte = 0x00; byte < 0x20; ++byte) {
    std::string escape;
    if (const auto it = short_forms.find(byte); it != short_forms.end()) {
      escape = it->second;
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      escape = buffer;
    }
    const std::string input = std::string("a") + static_cast<char>(byte) + "b";
    EXPECT_EQ(string_text(input), "\"a" + escape + "b\"") << "byte " << byte;
  }
  EXPECT_EQ(string_text(std::string_view("\x1b", 1)), "\"\\u001b\"");
  EXPECT_EQ(string_text(std::string_view("\0\0", 2)), "\"\\u0000\\u0000\"");
}

struct StringCase {
  std::string_view input;
  std::string_view text;
};

TEST(JsonString, EscapesOnlyQuoteAndBackslashBeyondControls) {
  const StringCase cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"a\\b", "\"a\\\\b\""},
      {"\\\"", "\"\\\\\\\"\""},
      {"km/s/Mpc", "\"km/s/Mpc\""},
      {"\x7f", "\"\x7f\""},
      {"\xCF\x86 \xC2\xB5m \xF0\x9F\x98\x80", "\"\xCF\x86 \xC2\xB5m \xF0\x9F\x98\x80\""},
      {"\xFF\xC3", "\"\xFF\xC3\""},  // not valid UTF-8, still copied as is
      {"\"\n\t\x01x/", "\"\\\"\\n\\t\\u0001x/\""},
  };
  for (const StringCase& c : cases) EXPECT_EQ(string_text(c.input), c.text) << c.text;
}

std::string written(const JsonObject& object) {
  std::string out;
  object.write(out);
  return out;
}

struct OrderCase {
  std::vector<std::string_view> added;
  std::string_view text;
};

TEST(JsonObject, KeepsMembersInUnsignedByteOrder) {
  const OrderCase cases[] = {
      {{}, "{}"},
      {{"value", "name", "units", "uncertainty", "status"},
       R"({"name":1.0,"status":1.0,"uncertainty":1.0,"units":1.0,"value":1.0})"},
      // A name before its extensions; a shared prefix decided by the next byte.
      {{"n_gen_sq", "sterile_sector", "n_gen", "sterile_check"},
       R"({"n_gen":1.0,"n_gen_sq":1.0,"sterile_check":1.0,"sterile_sector":1.0})"},
      // Digits, upper case, '_', lower case, then bytes from 0x80 up; the
      // empty name first.
      {{"\xC3\xA9", "b", "_", "Z", "", "9", "a", "\x7f"},
       "{\"\":1.0,\"9\":1.0,\"Z\":1.0,\"_\":1.0,\"a\":1.0,\"b\":1.0,\"\x7f\":1.0,\"\xC3\xA9\":1.0}"},
      {{"visible_sector", "v_higgs_mev"}, R"({"v_higgs_mev":1.0,"visible_sector":1.0})"},
      // Names alike in their first eight bytes, which then decide nothing:
      // the rest of the bytes and the lengths do.
      {{"uncertainty", "uncertai", "uncertainty_b", "uncertain", "uncertainty_a", "uncertaj"},
       R"({"uncertai":1.0,"uncertain":1.0,"uncertainty":1.0,"uncertainty_a":1.0,"uncertainty_b":1.0,"uncertaj":1.0})"},
      // A NUL byte sorts after the end of a name and before every other byte.
      {{std::string_view("a\x01", 2), std::string_view("a\0", 2), "a", std::string_view("a\0\0", 3)},
       "{\"a\":1.0,\"a\\u0000\":1.0,\"a\\u0000\\u0000\":1.0,\"a\\u0001\":1.0}"},
  };
  for (const OrderCase& c : cases) {
    JsonObject object;
    for (std::string_view name : c.added) EXPECT_TRUE(object.set(name, JsonValue::number(1.0)));
    EXPECT_EQ(object.size(), c.added.size());
    EXPECT_EQ(written(object), c.text);
    EXPECT_EQ(object.text_size(), c.text.size()) << c.text;
  }
}

// Writes the object into memory with guard bytes on both sides; the text
// must fill exactly text_size() bytes.
std::string written_into_memory(const JsonObject& object) {
  constexpr char kGuard = '\x5a';
  std::vector<char> memory(object.text_size() + 32, kGuard);
  char* const start = memory.data() + 16;
  const char* const end = object.write(start);
  EXPECT_EQ(static_cast<std::size_t>(end - start), object.text_size());
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(memory[i], kGuard) << "before the text, byte " << i;
  for (const char* p = start + object.text_size(); p != memory.data() + memory.size(); ++p)
    EXPECT_EQ(*p, kGuard) << "after the text";
  return std::string(static_cast<const char*>(start), end);
}

bool all_ascii(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

struct MemberCase {
  std::string_view name;
  JsonValue value;
  std::string_view text;
};

TEST(JsonObject, WritesExactlyItsMeasuredSizeIntoCallerMemory) {
  // Names and strings of every length around the eight-byte words they are
  // read in, with and without escapes and bytes from 0x80 up.
  const MemberCase cases[] = {
      {"", JsonValue::null(), R"({"":null})"},
      {"a", JsonValue::string(""), R"({"a":""})"},
      {"ab", JsonValue::string("xyz"), R"({"ab":"xyz"})"},
      {"abc", JsonValue::number(-0.0), R"({"abc":-0.0})"},
      {"abcd", JsonValue::string("1234567"), R"({"abcd":"1234567"})"},
      {"abcdefg", JsonValue::string("12345678"), R"({"abcdefg":"12345678"})"},
      {"abcdefgh", JsonValue::string("123456789"), R"({"abcdefgh":"123456789"})"},
      {"abcdefghi", JsonValue::number(1.618033988749895), R"({"abcdefghi":1.618033988749895})"},
      {"a\"b", JsonValue::string("tab\there"), R"({"a\"b":"tab\there"})"},
      {"0123456789abcdef\n", JsonValue::string("\\"), R"({"0123456789abcdef\n":"\\"})"},
      {"\xC2\xB5", JsonValue::string("m"), "{\"\xC2\xB5\":\"m\"}"},
      {"units", JsonValue::string("\xC2\xB5m/s\x1f"), "{\"units\":\"\xC2\xB5m/s\\u001f\"}"},
      {"seventeen_bytes_x", JsonValue::string("twenty-four bytes of it\x7f"),
       "{\"seventeen_bytes_x\":\"twenty-four bytes of it\x7f\"}"},
      {"big", JsonValue::number(-1.7976931348623157e308), R"({"big":-1.7976931348623157e+308})"},
  };
  for (const MemberCase& c : cases) {
    JsonObject object;
    ASSERT_TRUE(object.set(c.name, c.value));
    EXPECT_EQ(object.text_size(), c.text.size()) << c.text;
    EXPECT_EQ(written_into_memory(object), c.text);
    EXPECT_EQ(written(object), c.text);
    EXPECT_EQ(object.ascii(), all_ascii(c.text)) << c.text;
  }

  // All of them in one object, and the same after every value is replaced.
  JsonObject object;
  for (std::size_t i = 0; i < JsonObject::kCapacity; ++i) ASSERT_TRUE(object.set(cases[i].name, cases[i].value));
  const std::string first = written(object);
  EXPECT_EQ(object.text_size(), first.size());
  EXPECT_EQ(written_into_memory(object), first);
  EXPECT_TRUE(object.ascii());
  for (std::size_t i = 0; i < JsonObject::kCapacity; ++i)
    ASSERT_TRUE(object.set(cases[i].name, JsonValue::string(cases[JsonObject::kCapacity + i % 6].name)));
  const std::string second = written(object);
  EXPECT_EQ(object.text_size(), second.size());
  EXPECT_EQ(written_into_memory(object), second);
  EXPECT_FALSE(object.ascii()) << second;
}

// Names the program measures when it is compiled.
constexpr std::string_view kMeasuredNames[] = {
    "", "a", "name", "value", "units", "status", "uncertainty", "q\"\\\n", "\x01\x1f\x7f", "\xC2\xB5m",
};
constexpr std::array<JsonStringMeasure, std::size(kMeasuredNames)> kCompiledMeasures = [] {
  std::array<JsonStringMeasure, std::size(kMeasuredNames)> measures{};
  for (std::size_t i = 0; i < measures.size(); ++i) measures[i] = measure_json_string(kMeasuredNames[i]);
  return measures;
}();
static_assert(kCompiledMeasures[2].size == 6 && kCompiledMeasures[2].ascii);

TEST(JsonName, MeasuresTheSameWhenCompiledAndWhenRun) {
  for (std::size_t i = 0; i < std::size(kMeasuredNames); ++i) {
    const std::string_view name = kMeasuredNames[i];
    const JsonStringMeasure measure = measure_json_string(name);
    EXPECT_EQ(measure.size, kCompiledMeasures[i].size) << i;
    EXPECT_EQ(measure.ascii, kCompiledMeasures[i].ascii) << i;
    // And both agree with what is written.
    EXPECT_EQ(measure.size, string_text(name).size()) << i;
    EXPECT_EQ(measure.ascii, all_ascii(name)) << i;
  }
}

TEST(JsonString, MeasuresEveryByteOfEveryLength) {
  // One byte of each kind at every place of texts from 1 to 40 bytes, so
  // that each lands in every position of a word and of a text's last few
  // bytes: the measure must match the text written, and see a byte from
  // 0x80 up wherever it is.
  const unsigned char kinds[] = {0x80, 0xFF, 0x01, 0x1F, 0x0A, '"', '\\', 0x7F, 'z'};
  for (std::size_t size = 1; size <= 40; ++size)
    for (std::size_t at = 0; at < size; ++at)
      for (const unsigned char kind : kinds) {
        std::string text(size, 'a');
        text[at] = static_cast<char>(kind);
        const JsonStringMeasure measure = measure_json_string(text);
        ASSERT_EQ(measure.size, string_text(text).size()) << size << " " << at << " " << int{kind};
        ASSERT_EQ(measure.ascii, kind < 0x80) << size << " " << at << " " << int{kind};
        JsonObject object;
        object.set(text, JsonValue::string(text));
        ASSERT_EQ(object.text_size(), written(object).size()) << size << " " << at << " " << int{kind};
        ASSERT_EQ(object.ascii(), kind < 0x80) << size << " " << at << " " << int{kind};
      }
}

TEST(JsonObject, OrdersMembersAsTheirNamesBytesDo) {
  // Random names over bytes that stress the order: NUL (which must sort
  // after a name's end), low and high bytes, and letters; prefixes of one
  // another often. The expected order compares the bytes as unsigned
  // values, written out here rather than taken from the library.
  std::mt19937_64 random(0x6a736f6e'6b657973ULL);
  const char alphabet[] = {'\0', '\x01', 'a', 'b', '\x7f', '\x80', '\xff'};
  auto unsigned_less = [](const std::string& a, const std::string& b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    return a.size() < b.size();
  };
  for (int round = 0; round < 20'000; ++round) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < JsonObject::kCapacity; ++i) {
      std::string name(random() % 10, 'a');
      for (char& c : name) c = alphabet[random() % sizeof alphabet];
      if (!names.empty() && random() % 3 == 0) name = names.back().substr(0, random() % (names.back().size() + 1));
      names.push_back(name);
    }
    JsonObject object;  // borrows the names, which stay where they are
    for (const std::string& name : names) object.set(name, JsonValue::null());
    std::vector<std::string> ordered = names;
    std::sort(ordered.begin(), ordered.end(), unsigned_less);
    ordered.erase(std::unique(ordered.begin(), ordered.end()), ordered.end());
    std::string expected = "{";
    for (const std::string& name : ordered) {
      if (expected.size() > 1) expected += ',';
      expected += string_text(name);
      expected += ":null";
    }
    ASSERT_EQ(written(object), expected + "}");
  }
}

TEST(JsonObject, ReplacesTheValueOfAnExistingNameAndRefusesNewNamesWhenFull) {
  JsonObject object;
  object.set("b", JsonValue::number(1.0));
  object.set("a", JsonValue::null());
  object.set("b", JsonValue::string("now text"));
  object.set("a", JsonValue::number_or_null(0.5));
  EXPECT_EQ(written(object), R"({"a":0.5,"b":"now text"})");

  static_assert(JsonObject::kCapacity == 8);
  for (std::string_view name : {"h", "g", "f", "e", "d", "c"}) ASSERT_TRUE(object.set(name, JsonValue::null()));
  const std::string full = R"({"a":0.5,"b":"now text","c":null,"d":null,"e":null,"f":null,"g":null,"h":null})";
  EXPECT_EQ(written(object), full);
  EXPECT_FALSE(object.set("0", JsonValue::number(1.0)));
  EXPECT_FALSE(object.set("i", JsonValue::number(1.0)));
  EXPECT_EQ(written(object), full);
  EXPECT_TRUE(object.set("d", JsonValue::number_or_null(std::nullopt)));
  EXPECT_TRUE(object.set("c", JsonValue::number(4.0)));
  EXPECT_EQ(object.size(), 8u);
  EXPECT_EQ(written(object), R"({"a":0.5,"b":"now text","c":4.0,"d":null,"e":null,"f":null,"g":null,"h":null})");
}

// The seventeen seeded datasheets, from the expected table.
const std::map<std::string, std::string>& seeded_datasheets() {
  static const std::map<std::string, std::string> sheets = [] {
    std::map<std::string, std::string> made;
    for (const ExpectedConstant& entry : expected_constants()) made.emplace(entry.record.name, entry.datasheet());
    return made;
  }();
  return sheets;
}

// Every entry's datasheet as written from the registry's stored views.
std::map<std::string, std::string> datasheets_of_views(const FormulasRegistry& registry) {
  std::map<std::string, std::string> sheets;
  registry.for_each([&sheets](std::string_view key, const ConstantRecordView& record) {
    sheets.emplace(std::string(key), write_datasheet(record));
  });
  return sheets;
}

TEST(Datasheet, SeededEntriesFromRecordsAndViews) {
  const FormulasRegistry registry;
  for (const auto& [name, text] : seeded_datasheets()) {
    const auto record = registry.get(name);
    ASSERT_TRUE(record.has_value()) << name;
    EXPECT_EQ(write_datasheet(*record), text);
  }
  EXPECT_EQ(datasheets_of_views(registry), seeded_datasheets());
}

TEST(Datasheet, LongestSeededSheetFitsTheStackBuffer) {
  const FormulasRegistry registry;
  std::string longest;
  for (const auto& [name, text] : datasheets_of_views(registry)) {
    EXPECT_LE(text.size(), kDatasheetStackSize) << name;
    if (text.size() > longest.size()) longest = text;
  }
  EXPECT_EQ(longest.size(), 105u);
  EXPECT_EQ(longest, seeded_datasheets().at("gamma_em"));
}

// Short copies are made with overlapping moves: every length must copy
// exactly its bytes, and not one byte around them.
TEST(CopyBytes, CopiesExactlyTheBytesOfEveryLength) {
  for (std::size_t size = 0; size <= 40; ++size) {
    std::string source(size, 'x');
    for (std::size_t i = 0; i < size; ++i) source[i] = static_cast<char>('a' + i);
    std::string target(size + 16, '#');
    copy_bytes(target.data() + 8, source.data(), size);
    EXPECT_EQ(target, std::string(8, '#') + source + std::string(8, '#')) << size;
  }
}

struct RecordCase {
  ConstantRecord record;
  std::string_view text;
};

TEST(Datasheet, UncertaintiesStatusesAndNonFiniteNumbers) {
  auto record = [](std::string name, double value, std::string units, std::optional<double> uncertainty,
                   ConstantStatus status) {
    ConstantRecord r;
    r.name = std::move(name);
    r.value = value;
    r.units = std::move(units);
    r.uncertainty = uncertainty;
    r.status = status;
    r.formula = "ignored";
    r.dependencies = {"ignored"};
    return r;
  };
  const RecordCase cases[] = {
      {record("g_n", 9.80665, "m/s^2", 0.0005, ConstantStatus::Cached),
       R"({"name":"g_n","status":"Cached","uncertainty":0.0005,"units":"m/s^2","value":9.80665})"},
      {record("big", 6.02214076e23, "1/mol", 1e-9, ConstantStatus::External),
       R"({"name":"big","status":"External","uncertainty":1e-9,"units":"1/mol","value":6.02214076e+23})"},
      {record("nan", kNaN, "", kInf, ConstantStatus::External),
       R"({"name":"nan","status":"External","uncertainty":null,"units":"","value":null})"},
      {record("inf", -kInf, "count", kNaN, ConstantStatus::Cached),
       R"({"name":"inf","status":"Cached","uncertainty":null,"units":"count","value":null})"},
      {record("neg_zero", -0.0, "count", -0.0, ConstantStatus::Seed),
       R"({"name":"neg_zero","status":"Seed","uncertainty":-0.0,"units":"count","value":-0.0})"},
      {record("q\"\\\n", 1.0, "\xC2\xB5m\t", 0.0, ConstantStatus::Pending),
       "{\"name\":\"q\\\"\\\\\\n\",\"status\":\"Pending\",\"uncertainty\":0.0,"
       "\"units\":\"\xC2\xB5m\\t\",\"value\":1.0}"},
  };
  FormulasRegistry registry;
  for (const RecordCase& c : cases) {
    EXPECT_EQ(write_datasheet(c.record), c.text);
    registry.insert(c.record.name, c.record);
  }
  // The stored views give the same texts as the owned records.
  const auto sheets = datasheets_of_views(registry);
  for (const RecordCase& c : cases) EXPECT_EQ(sheets.at(c.record.name), c.text);

  // Written into memory of the caller's: exactly size() bytes, the same
  // text, and ASCII unless the record's texts are not.
  for (const RecordCase& c : cases) {
    const Datasheet sheet(c.record);
    ASSERT_EQ(sheet.size(), c.text.size()) << c.text;
    std::vector<char> memory(sheet.size() + 1, '#');
    EXPECT_EQ(sheet.write(memory.data()), memory.data() + sheet.size());
    EXPECT_EQ(std::string_view(memory.data(), sheet.size()), c.text);
    EXPECT_EQ(memory.back(), '#');
    EXPECT_EQ(sheet.ascii(), all_ascii(c.text)) << c.text;
  }
  registry.for_each([&cases](std::string_view key, const ConstantRecordView& view) {
    for (const RecordCase& c : cases) {
      if (c.record.name != key) continue;
      const Datasheet sheet(view);
      std::string text(sheet.size(), '#');
      EXPECT_EQ(sheet.write(text.data()), text.data() + text.size());
      EXPECT_EQ(text, c.text);
      EXPECT_EQ(sheet.ascii(), all_ascii(c.text)) << c.text;
    }
  });
}

}  // namespace
}  // namespace korvex
