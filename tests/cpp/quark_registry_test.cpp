#include "quark_registry.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The seeded quarks, written out independently of the library's table: the
// float columns as the bit patterns their decimals convert to.
struct ExpectedQuark {
  std::string name;
  std::uint8_t generation;
  std::int32_t phi_power;
  std::uint64_t mass_ratio_bits;
  std::uint64_t mass_mev_bits;
};

const std::vector<ExpectedQuark>& expected_quarks() {
  static const std::vector<ExpectedQuark> quarks = {
      {"up", 1, 12, 0x3F6970F50CC34671ULL, 0x4087E5537A0BCDC3ULL},
      {"down", 1, 11, 0x3F749517D40E5239ULL, 0x409355055081AF84ULL},
      {"strange", 2, 8, 0x3F95CC0F223B8F47ULL, 0x40B47918DAE43714ULL},
      {"charm", 2, 5, 0x3FB715609F7C746BULL, 0x40D5AE692FEC520DULL},
      {"bottom", 3, 4, 0x3FC2ACC969C11045ULL, 0x40E18A60719F80FBULL},
      {"top", 3, 0, 0x3FF0000000000000ULL, 0x410E0E6000000000ULL},
  };
  return quarks;
}

QuarkRecord make_record(std::string name, double mass_mev, std::int32_t phi_power = 0, std::uint8_t generation = 1) {
  QuarkRecord record;
  record.name = std::move(name);
  record.mass_mev = mass_mev;
  record.mass_ratio = mass_mev / 246220.0;
  record.phi_power = phi_power;
  record.generation = generation;
  return record;
}

// prefix followed by the decimal digits of i. (Appending avoids a false
// -Wrestrict warning that GCC 12 gives for "literal" + std::string.)
std::string numbered(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

class SeededQuark : public ::testing::TestWithParam<ExpectedQuark> {};

TEST_P(SeededQuark, HoldsExactlyTheStoredFields) {
  const ExpectedQuark& want = GetParam();
  const QuarkRegistry registry = QuarkRegistry::standard_model();
  const QuarkRecord* record = registry.find(want.name);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->name, want.name);
  EXPECT_TRUE(record->properties.empty());
  EXPECT_EQ(bits(record->mass_ratio), want.mass_ratio_bits);
  EXPECT_EQ(bits(record->mass_mev), want.mass_mev_bits);
  EXPECT_EQ(record->phi_power, want.phi_power);
  EXPECT_EQ(record->generation, want.generation);
  // The mass is the rounded product itself, not merely close to it.
  EXPECT_EQ(bits(246220.0 * record->mass_ratio), bits(record->mass_mev));
}

// mass_ratio stands for phi^-phi_power; checked against a power computed in
// wider arithmetic, so a ratio paired with the wrong exponent shows up.
TEST_P(SeededQuark, MassRatioLiesWithinFourUlpsOfTheInversePowerOfPhi) {
  if constexpr (std::numeric_limits<long double>::digits < 64) GTEST_SKIP() << "needs an extended long double";
  const ExpectedQuark& want = GetParam();
  const double ratio = std::bit_cast<double>(want.mass_ratio_bits);
  const long double phi = (1.0L + std::sqrt(5.0L)) / 2.0L;
  const long double exact = std::pow(phi, -static_cast<long double>(want.phi_power));
  const long double ulp = static_cast<long double>(std::nextafter(ratio, 2.0) - ratio);
  EXPECT_LE(std::fabs(static_cast<long double>(ratio) - exact), 4.0L * ulp) << want.name;
}

INSTANTIATE_TEST_SUITE_P(AllSix, SeededQuark, ::testing::ValuesIn(expected_quarks()),
                         [](const ::testing::TestParamInfo<ExpectedQuark>& info) { return info.param.name; });

TEST(QuarkRegistry, StandardModelHoldsSixEntriesEachKeyedByItsName) {
  const QuarkRegistry registry = QuarkRegistry::standard_model();
  EXPECT_EQ(registry.len(), 6u);
  for (const ExpectedQuark& want : expected_quarks()) {
    const QuarkRecord* record = registry.find(want.name);
    ASSERT_NE(record, nullptr) << want.name;
    EXPECT_EQ(record->name, want.name);
  }
}

TEST(QuarkRegistry, StandardModelNamesSortBytewise) {
  const std::vector<std::string> want = {"bottom", "charm", "down", "strange", "top", "up"};
  EXPECT_EQ(QuarkRegistry::standard_model().sorted_names(), want);
  // Each build is independent of the last.
  EXPECT_EQ(QuarkRegistry::standard_model().sorted_names(), want);
}

TEST(QuarkRegistry, EmptyRegistryHasNoEntries) {
  const QuarkRegistry registry;
  EXPECT_EQ(registry.len(), 0u);
  EXPECT_TRUE(registry.sorted_names().empty());
  EXPECT_EQ(registry.find("up"), nullptr);
  EXPECT_EQ(registry.find(""), nullptr);
}

TEST(QuarkRegistry, LookupMatchesExactBytesOnly) {
  const QuarkRegistry registry = QuarkRegistry::standard_model();
  for (std::string_view name : {"Up", "UP", "up ", " up", "u", "upp", "", "top\n", "bottom_", "\xCF\x86"}) {
    EXPECT_EQ(registry.find(name), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(registry.find(std::string_view("top\0", 4)), nullptr);
  EXPECT_NE(registry.find(std::string_view("top\0", 3)), nullptr);
}

TEST(QuarkRegistry, EqualNameReplacesTheRecordInPlace) {
  QuarkRegistry registry = QuarkRegistry::standard_model();
  QuarkRecord replacement = make_record("up", 2.16, -7, 9);
  replacement.properties.emplace("charge", 2.0 / 3.0);
  registry.insert(replacement);

  EXPECT_EQ(registry.len(), 6u);
  const QuarkRecord* held = registry.find("up");
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(*held, replacement);
  EXPECT_EQ(registry.sorted_names(), (std::vector<std::string>{"bottom", "charm", "down", "strange", "top", "up"}));
  // The other five are untouched.
  for (const ExpectedQuark& want : expected_quarks()) {
    if (want.name == "up") continue;
    const QuarkRecord* other = registry.find(want.name);
    ASSERT_NE(other, nullptr) << want.name;
    EXPECT_EQ(bits(other->mass_mev), want.mass_mev_bits) << want.name;
  }
}

// Names inserted in the given order, and the order sorted_names must give:
// the first differing byte decides as an unsigned value, and a prefix sorts
// before its extensions. A signed comparison would put bytes from 0x80 up
// first.
struct SortCase {
  std::string label;
  std::vector<std::string> inserted;
  std::vector<std::string> sorted;
};

class QuarkSortedNames : public ::testing::TestWithParam<SortCase> {};

TEST_P(QuarkSortedNames, FollowUnsignedByteOrder) {
  const SortCase& c = GetParam();
  QuarkRegistry registry;
  for (const std::string& name : c.inserted) registry.insert(make_record(name, 1.0));
  EXPECT_EQ(registry.sorted_names(), c.sorted);

  QuarkRegistry reversed;
  for (auto it = c.inserted.rbegin(); it != c.inserted.rend(); ++it) reversed.insert(make_record(*it, 1.0));
  EXPECT_EQ(reversed.sorted_names(), c.sorted);
}

std::vector<SortCase> sort_cases() {
  const std::string a_nul("a\0", 2);
  std::vector<SortCase> cases = {
      {"PrefixesAndHighBytes",
       {"b", "a\x80", "\xC3\xA9", "ab", "a", "", "\x7F", "A", "a\x01", a_nul},
       {"", "A", "a", a_nul, "a\x01", "ab", "a\x80", "b", "\x7F", "\xC3\xA9"}},
      {"ExtensionsOfSeededNames",
       {"up", "top_", "to", "top", "u", "upper", "\xFF", "top\xC2\xA0"},
       {"to", "top", "top_", "top\xC2\xA0", "u", "up", "upper", "\xFF"}},
  };
  // Forty names, past the point where short lists are sorted in place.
  SortCase many{"FortyNames", {}, {}};
  for (int i = 0; i < 40; ++i) {
    std::string name = "q";
    name += static_cast<char>('0' + i / 10);
    name += static_cast<char>('0' + i % 10);
    many.sorted.push_back(name);
    many.inserted.insert(many.inserted.begin() + (i * 7) % (i + 1), name);
  }
  many.sorted.insert(many.sorted.begin() + 10, "q1");
  many.inserted.push_back("q1");
  cases.push_back(std::move(many));
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, QuarkSortedNames, ::testing::ValuesIn(sort_cases()),
                         [](const ::testing::TestParamInfo<SortCase>& info) { return info.param.label; });

TEST(QuarkRegistry, HoldsManyEntries) {
  QuarkRegistry registry = QuarkRegistry::standard_model();
  for (int i = 0; i < 100; ++i) registry.insert(make_record(numbered("extra_", i), 1000.0 + i, i, 3));
  ASSERT_EQ(registry.len(), 106u);
  for (int i = 0; i < 100; ++i) {
    const QuarkRecord* record = registry.find(numbered("extra_", i));
    ASSERT_NE(record, nullptr) << i;
    EXPECT_EQ(record->mass_mev, 1000.0 + i);
    EXPECT_EQ(record->phi_power, i);
  }
  for (const ExpectedQuark& want : expected_quarks()) {
    const QuarkRecord* record = registry.find(want.name);
    ASSERT_NE(record, nullptr) << want.name;
    EXPECT_EQ(bits(record->mass_mev), want.mass_mev_bits) << want.name;
  }
  EXPECT_EQ(registry.find("extra_100"), nullptr);

  // Replacing every entry keeps the count.
  for (int i = 0; i < 100; ++i) registry.insert(make_record(numbered("extra_", i), -1.0 - i));
  EXPECT_EQ(registry.len(), 106u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(registry.find(numbered("extra_", i))->mass_mev, -1.0 - i);
  EXPECT_EQ(registry.sorted_names().size(), 106u);
}

TEST(QuarkRegistry, LongNamesAreStoredWhole) {
  QuarkRegistry registry;
  const std::string long_name(200, 'x');
  registry.insert(make_record(long_name, 5.0));
  registry.insert(make_record(long_name + "y", 6.0));
  ASSERT_NE(registry.find(long_name), nullptr);
  EXPECT_EQ(registry.find(long_name)->mass_mev, 5.0);
  EXPECT_EQ(registry.find(long_name + "y")->mass_mev, 6.0);
  EXPECT_EQ(registry.sorted_names(), (std::vector<std::string>{long_name, long_name + "y"}));
}

// Copies are independent, and a moved-from registry is empty and usable.
class QuarkRegistryValue : public ::testing::TestWithParam<int> {};

TEST_P(QuarkRegistryValue, CopiesAreIndependentAndMovesLeaveAnEmptyRegistry) {
  const int extra = GetParam();
  QuarkRegistry original = QuarkRegistry::standard_model();
  for (int i = 0; i < extra; ++i) original.insert(make_record(numbered("x", i), i));
  const std::size_t count = original.len();
  const std::vector<std::string> names = original.sorted_names();

  QuarkRegistry copy = original;
  copy.insert(make_record("added", 1.0));
  copy.insert(make_record("up", 2.0));
  EXPECT_EQ(copy.len(), count + 1);
  EXPECT_EQ(original.len(), count);
  EXPECT_EQ(original.find("added"), nullptr);
  EXPECT_EQ(bits(original.find("up")->mass_mev), expected_quarks()[0].mass_mev_bits);

  QuarkRegistry moved = std::move(original);
  EXPECT_EQ(moved.sorted_names(), names);
  EXPECT_EQ(original.len(), 0u);
  EXPECT_TRUE(original.sorted_names().empty());
  EXPECT_EQ(original.find("up"), nullptr);
  original.insert(make_record("up", 3.0));
  EXPECT_EQ(original.len(), 1u);
  EXPECT_EQ(original.find("up")->mass_mev, 3.0);

  QuarkRegistry assigned;
  assigned.insert(make_record("stale", 1.0));
  assigned = std::move(moved);
  EXPECT_EQ(assigned.sorted_names(), names);
  EXPECT_EQ(assigned.find("stale"), nullptr);
  EXPECT_EQ(moved.len(), 0u);
  EXPECT_TRUE(moved.sorted_names().empty());

  copy = assigned;
  EXPECT_EQ(copy.sorted_names(), names);
  EXPECT_EQ(copy.find("added"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, QuarkRegistryValue, ::testing::Values(0, 2, 20));

}  // namespace
}  // namespace korvex
