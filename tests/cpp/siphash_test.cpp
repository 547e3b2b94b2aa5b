#include "siphash.hpp"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <utility>

namespace korvex {
namespace {

// The reference implementation's vectors hash the messages 00, 00 01,
// 00 01 02, ... of lengths 0 to 63.
std::string counting_message(std::size_t length) {
  std::string message(length, '\0');
  for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<char>(i);
  return message;
}

// SipHash-1-3 under the all-zero key, from the reference implementation
// built with one compression and three finalisation rounds.
constexpr std::array<std::uint64_t, 64> kSip13ZeroKey = {
    0xd1fba762150c532c, 0x68a914128e01e473, 0x010bac45c41e3669, 0x4d4c9a4a8ef6e0ad, 0x7cc43f98813e4dbd,
    0x5abe2169dff36275, 0xe3c25f87624f1cdb, 0x2f098ab0c751325a, 0xead411e67ebe2eea, 0x75927f9d95124362,
    0xaf9f77a65ab51a1d, 0xfe64ce8b6617fcff, 0xa6baf4fb0f9fe1c2, 0xa0cf3211850f8e0d, 0x7f86049379fbfe67,
    0xf30eb725bb91c9ea, 0x8972188433a5c5b7, 0x4883c49a2c009c1d, 0xadc2c0b63044067d, 0x091f4a3329f87d19,
    0x639e355ae68c0100, 0xb17bef2cb5213239, 0xf8aeb1066236ccfe, 0x37332b1389daa4ff, 0x31185a47af932f3a,
    0xebf352e82ae23e2f, 0xed36ff242fe478b2, 0x2454d97d299299df, 0x8cd57fe8130d0ac7, 0xbe98eb2faf0a0e85,
    0xd427c34ee09470c6, 0x169739443111d49b, 0x31ef8061c910629b, 0x7fb71d24dfa4c9f6, 0x92771f49e836d389,
    0x3c393cf6f0853bc3, 0xac77921fcc642bd3, 0x422a9751192ff266, 0xc680ae8a8c584ddf, 0x6c76b6d34bb6d26b,
    0x95bc321ab41d8206, 0x908a3a97a6d37669, 0xfcaf3c64874dd0b4, 0xf689479b32b84a44, 0xd857641079efd1fd,
    0x8b581578722633f7, 0x83cb09d35ea7bcd4, 0x8485f7f5ae725a0d, 0xfe1f2445ba50237f, 0x23cece041d7866b0,
    0x416687480b336c09, 0xf15960da7e7f3892, 0xded6177b9826835a, 0xf80dae51668be6be, 0x17ecc6ee6647df18,
    0x5220d642b4a52110, 0xa4f0cf4ba4adc016, 0xe5125bb26d1f2976, 0x851b0e75f580d256, 0x12605250a37e39ac,
    0xd95a713568daebf1, 0xcdcf4a42ec0dd605, 0xa5c708712b617164, 0x385d3e39e5f37359,
};

// SipHash-2-4 under the key 00 01 .. 0f, the vectors of the SipHash paper's
// reference code. They pin down how the key's bytes enter the state.
constexpr std::array<std::uint64_t, 64> kSip24CountingKey = {
    0x726fdb47dd0e0e31, 0x74f839c593dc67fd, 0x0d6c8009d9a94f5a, 0x85676696d7fb7e2d, 0xcf2794e0277187b7,
    0x18765564cd99a68d, 0xcbc9466e58fee3ce, 0xab0200f58b01d137, 0x93f5f5799a932462, 0x9e0082df0ba9e4b0,
    0x7a5dbbc594ddb9f3, 0xf4b32f46226bada7, 0x751e8fbc860ee5fb, 0x14ea5627c0843d90, 0xf723ca908e7af2ee,
    0xa129ca6149be45e5, 0x3f2acc7f57c29bdb, 0x699ae9f52cbe4794, 0x4bc1b3f0968dd39c, 0xbb6dc91da77961bd,
    0xbed65cf21aa2ee98, 0xd0f2cbb02e3b67c7, 0x93536795e3a33e88, 0xa80c038ccd5ccec8, 0xb8ad50c6f649af94,
    0xbce192de8a85b8ea, 0x17d835b85bbb15f3, 0x2f2e6163076bcfad, 0xde4daaaca71dc9a5, 0xa6a2506687956571,
    0xad87a3535c49ef28, 0x32d892fad841c342, 0x7127512f72f27cce, 0xa7f32346f95978e3, 0x12e0b01abb051238,
    0x15e034d40fa197ae, 0x314dffbe0815a3b4, 0x027990f029623981, 0xcadcd4e59ef40c4d, 0x9abfd8766a33735c,
    0x0e3ea96b5304a7d0, 0xad0c42d6fc585992, 0x187306c89bc215a9, 0xd4a60abcf3792b95, 0xf935451de4f21df2,
    0xa9538f0419755787, 0xdb9acddff56ca510, 0xd06c98cd5c0975eb, 0xe612a3cb9ecba951, 0xc766e62cfcadaf96,
    0xee64435a9752fe72, 0xa192d576b245165a, 0x0a8787bf8ecb74b2, 0x81b3e73d20b49b6f, 0x7fa8220ba3b2ecea,
    0x245731c13ca42499, 0xb78dbfaf3a8d83bd, 0xea1ad565322a1a0b, 0x60e61c23a3795013, 0x6606d7e446282b93,
    0x6ca4ecb15c5f91e1, 0x9f626da15c9625f3, 0xe51b38608ef25f57, 0x958a324ceb064572,
};

TEST(SipHash13, MatchesReferenceVectorsForEveryTailLength) {
  for (std::size_t length = 0; length < kSip13ZeroKey.size(); ++length)
    EXPECT_EQ(siphash13(SipKey{0, 0}, counting_message(length)), kSip13ZeroKey[length]) << "length " << length;
}

TEST(SipHash24, MatchesReferenceVectorsUnderANonZeroKey) {
  const SipKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  for (std::size_t length = 0; length < kSip24CountingKey.size(); ++length)
    EXPECT_EQ((siphash<2, 4>(key, counting_message(length))), kSip24CountingKey[length]) << "length " << length;
}

TEST(SipHash13, DependsOnEveryKeyWordAndEveryByte) {
  const std::string text = "sterile_sector";
  const std::uint64_t base = siphash13(SipKey{1, 2}, text);
  EXPECT_NE(base, siphash13(SipKey{3, 2}, text));
  EXPECT_NE(base, siphash13(SipKey{1, 3}, text));
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string changed = text;
    changed[i] ^= 0x20;
    EXPECT_NE(base, siphash13(SipKey{1, 2}, changed)) << "byte " << i;
  }
}

TEST(FreshSipKey, NeverRepeatsWithinAThread) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
  for (int i = 0; i < 10000; ++i) {
    const SipKey key = fresh_sip_key();
    EXPECT_TRUE(seen.emplace(key.k0, key.k1).second) << "repeat at draw " << i;
  }
}

}  // namespace
}  // namespace korvex
