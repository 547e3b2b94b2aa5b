// A string's bytes read as little-endian numbers, whatever the host's byte
// order, with reads that stay inside the bytes; and short copies.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvex {

inline std::uint64_t load_le64(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

inline std::uint32_t load_le32(const char* p) noexcept {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// The n < 8 bytes at p, zeros above the last. Four to seven bytes are two
// four-byte reads that overlap in the middle, where they hold the same
// bytes; one to three are the first, middle and last byte, which cover them.
inline std::uint64_t load_le_short(const char* p, std::size_t n) noexcept {
  assert(n < 8);
  if (n >= 4) return load_le32(p) | std::uint64_t{load_le32(p + n - 4)} << (8 * (n - 4));
  if (n == 0) return 0;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
  return byte(0) | byte(n / 2) | byte(n - 1);
}

// memcpy(out, p, n) for the short texts of names and numbers, as at most two
// overlapping moves of a fixed size rather than a call: musl's memcpy moves
// bytes with string instructions (rep movsq, movsb), whose start-up costs
// more than such a copy, and listing the constants makes seventeen.
inline void copy_bytes(char* out, const char* p, std::size_t n) noexcept {
  auto two_moves = [&]<class Word>(Word) {
    Word first, last;
    std::memcpy(&first, p, sizeof(Word));
    std::memcpy(&last, p + n - sizeof(Word), sizeof(Word));
    std::memcpy(out, &first, sizeof(Word));
    std::memcpy(out + n - sizeof(Word), &last, sizeof(Word));
  };
  if (n > 16) {
    std::memcpy(out, p, n);
  } else if (n >= 8) {
    two_moves(std::uint64_t{});
  } else if (n >= 4) {
    two_moves(std::uint32_t{});
  } else if (n > 0) {
    const char first = p[0], middle = p[n / 2], last = p[n - 1];
    out[0] = first;
    out[n / 2] = middle;
    out[n - 1] = last;
  }
}

}  // namespace korvex
