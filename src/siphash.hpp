// SipHash keyed hashing of byte strings, and fresh random keys for it; the
// map uses SipHash-1-3 (docs/design.md).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "byte_loads.hpp"

namespace korvex {

struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

namespace detail {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  constexpr void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
};

}  // namespace detail

template <int CompressionRounds, int FinalRounds>
std::uint64_t siphash(SipKey key, std::string_view bytes) noexcept {
  detail::SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
                     key.k1 ^ 0x7465646279746573ULL};
  const char* p = bytes.data();
  const std::size_t size = bytes.size();
  const char* const blocks_end = p + (size & ~std::size_t{7});

  for (; p != blocks_end; p += 8) {
    const std::uint64_t m = load_le64(p);
    s.v3 ^= m;
    for (int i = 0; i < CompressionRounds; ++i) s.round();
    s.v0 ^= m;
  }

  // Last block: the remaining 0..7 bytes, with the length's low byte on top.
  std::uint64_t last = static_cast<std::uint64_t>(size) << 56;
  // After a whole block, the eight bytes ending with the key's end are one
  // read; a shorter key is read in place.
  if (const std::size_t tail = size & 7; tail != 0)
    last |= size >= 8 ? load_le64(p + tail - 8) >> (64 - 8 * tail) : load_le_short(p, tail);
  s.v3 ^= last;
  for (int i = 0; i < CompressionRounds; ++i) s.round();
  s.v0 ^= last;

  s.v2 ^= 0xff;
  for (int i = 0; i < FinalRounds; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

inline std::uint64_t siphash13(SipKey key, std::string_view bytes) noexcept { return siphash<1, 3>(key, bytes); }

// A new random key for every call. The first call on a thread draws a seed
// from the operating system's random source; later calls derive distinct,
// unrelated keys from it without another system call, so that building a
// map stays cheap while no two maps share a key.
SipKey fresh_sip_key() noexcept;

}  // namespace korvex
