#include "datasheet.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

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
  };
  for (const OrderCase& c : cases) {
    JsonObject object;
    for (std::string_view name : c.added) EXPECT_TRUE(object.set(name, JsonValue::number(1.0)));
    EXPECT_EQ(object.size(), c.added.size());
    EXPECT_EQ(written(object), c.text);
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

// The seventeen seeded datasheets, written out by hand.
const std::map<std::string, std::string>& seeded_datasheets() {
  static const std::map<std::string, std::string> sheets = {
      {"b3", R"({"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0})"},
      {"chi_eff", R"({"name":"chi_eff","status":"Seed","uncertainty":null,"units":"dimensionless","value":72.0})"},
      {"n_gen", R"({"name":"n_gen","status":"Seed","uncertainty":null,"units":"count","value":3.0})"},
      {"roots_total", R"({"name":"roots_total","status":"Seed","uncertainty":null,"units":"count","value":288.0})"},
      {"visible_sector",
       R"({"name":"visible_sector","status":"Seed","uncertainty":null,"units":"count","value":125.0})"},
      {"sterile_sector",
       R"({"name":"sterile_sector","status":"Seed","uncertainty":null,"units":"count","value":163.0})"},
      {"phi", R"({"name":"phi","status":"Seed","uncertainty":null,"units":"dimensionless","value":1.618033988749895})"},
      {"gamma_em",
       R"({"name":"gamma_em","status":"Seed","uncertainty":null,"units":"dimensionless","value":0.5772156649015329})"},
      {"jc_constant", R"({"name":"jc_constant","status":"Seed","uncertainty":null,"units":"count","value":153.0})"},
      {"logic_closure", R"({"name":"logic_closure","status":"Seed","uncertainty":null,"units":"count","value":288.0})"},
      {"v_higgs_mev", R"({"name":"v_higgs_mev","status":"Pending","uncertainty":null,"units":"MeV","value":0.0})"},
      {"sterile_check",
       R"({"name":"sterile_check","status":"Pending","uncertainty":null,"units":"count","value":0.0})"},
      {"n_gen_sq", R"({"name":"n_gen_sq","status":"Pending","uncertainty":null,"units":"count","value":0.0})"},
      {"h0_central", R"({"name":"h0_central","status":"Pending","uncertainty":null,"units":"km/s/Mpc","value":0.0})"},
      {"w0_central",
       R"({"name":"w0_central","status":"Pending","uncertainty":null,"units":"dimensionless","value":0.0})"},
      {"m_tau_mev", R"({"name":"m_tau_mev","status":"Pending","uncertainty":null,"units":"MeV","value":0.0})"},
      {"topo_gen_check",
       R"({"name":"topo_gen_check","status":"Pending","uncertainty":null,"units":"count","value":0.0})"},
  };
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

TEST(Datasheet, LongestSeededSheetFitsTheInitialBuffer) {
  const FormulasRegistry registry;
  std::string longest;
  for (const auto& [name, text] : datasheets_of_views(registry)) {
    EXPECT_LE(text.size(), 128u) << name;
    if (text.size() > longest.size()) longest = text;
  }
  EXPECT_EQ(longest.size(), 105u);
  EXPECT_EQ(longest, seeded_datasheets().at("gamma_em"));
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
}

}  // namespace
}  // namespace korvex
