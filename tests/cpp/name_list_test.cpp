#include "name_list.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace korvex {
namespace {

std::vector<std::string> sorted_copy(const std::vector<std::string>& names) {
  NameList list;
  for (const std::string& name : names) list.add_borrowed(name);
  list.sort();
  std::vector<std::string> out;
  for (std::size_t i = 0; i < list.size(); ++i) out.emplace_back(list[i]);
  return out;
}

// The order expected, from std::string's own comparison, which compares
// bytes as unsigned char.
std::vector<std::string> reference(std::vector<std::string> names) {
  std::stable_sort(names.begin(), names.end());
  return names;
}

TEST(NameList, SortsByUnsignedBytesWithPrefixesFirst) {
  const std::vector<std::string> names = {
      "n_gen_sq",
      "n_gen",
      "sterile_sector",
      "sterile_check",
      "v_higgs_mev",
      "visible_sector",
      "B3",
      "b3",
      "",
      "\xC3\xA9t\xC3\xA9",
      "z",
      "~",
      std::string("a\0b", 3),
      std::string("a\0", 2),
      "a",
      "abcdefgh",
      "abcdefg",
      "abcdefghi",
      "abcd",
      "abce",
      "abcdefgh\x01",
      "abcdefgh\xFF",
  };
  EXPECT_EQ(sorted_copy(names), reference(names));
}

TEST(NameList, KeepsEqualNamesInTheOrderAdded) {
  NameList list;
  const std::vector<std::string> names = {"same", "other", "same", "same"};
  for (const std::string& name : names) list.add_borrowed(name);
  list.sort();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], "other");
  // The three equal names are distinct strings; stability keeps their order.
  EXPECT_EQ(list[1].data(), names[0].data());
  EXPECT_EQ(list[2].data(), names[2].data());
  EXPECT_EQ(list[3].data(), names[3].data());
}

TEST(NameList, BorrowsNamesWithoutCopying) {
  const std::string first = "zeta";
  const std::string second = "alpha";
  NameList list;
  list.add_borrowed(first);
  list.add_borrowed(second);
  list.sort();
  EXPECT_EQ(list[0].data(), second.data());
  EXPECT_EQ(list[1].data(), first.data());
}

class NameListSizes : public ::testing::TestWithParam<int> {};

TEST_P(NameListSizes, MatchesTheReferenceOrderOnRandomNames) {
  std::mt19937 random(static_cast<unsigned>(GetParam()));
  // Few distinct bytes and lengths, so prefixes collide often.
  std::uniform_int_distribution<int> length(0, 12);
  const std::string alphabet("ab_\x00\xFF", 5);
  std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> names(static_cast<std::size_t>(GetParam()));
    for (std::string& name : names) {
      name.resize(static_cast<std::size_t>(length(random)));
      for (char& c : name) c = alphabet[letter(random)];
    }
    ASSERT_EQ(sorted_copy(names), reference(names)) << "round " << round;
  }
}

// Short lists are insertion-sorted, long ones merge-sorted; long ones spill
// past the list's own buffer.
INSTANTIATE_TEST_SUITE_P(Sizes, NameListSizes, ::testing::Values(0, 1, 2, 17, 32, 33, 64, 300));

}  // namespace
}  // namespace korvex
