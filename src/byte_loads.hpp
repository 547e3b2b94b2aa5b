// A string's bytes read as little-endian numbers: the first byte in the
// lowest place, whatever the host's byte order. Hashing and scanning short
// texts a word at a time read them so, with at most two memory reads that
// stay inside the bytes.
#pragma once

#include <bit>
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
  if (n >= 4) return load_le32(p) | std::uint64_t{load_le32(p + n - 4)} << (8 * (n - 4));
  if (n == 0) return 0;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
  return byte(0) | byte(n / 2) | byte(n - 1);
}

}  // namespace korvex
