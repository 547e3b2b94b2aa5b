// A list of names, copied or borrowed, for listings that take a registry's
// keys, sort them and hand them on. The names and the list live in a buffer of
// the list's own, spilling to the heap only past it, and sorting compares
// an eight-byte prefix of each name before any bytes beyond it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "arena.hpp"
#include "byte_order.hpp"

namespace korvex {

class NameList {
 public:
  NameList() noexcept = default;
  NameList(const NameList&) = delete;
  NameList& operator=(const NameList&) = delete;

  // Appends a copy of name.
  void add(std::string_view name) {
    char* copy = arena_.allocate_array<char>(name.size());
    if (!name.empty()) std::memcpy(copy, name.data(), name.size());
    add_borrowed({copy, name.size()});
  }

  // Appends name itself, not a copy: its bytes must stay alive and
  // unchanged while the list is in use (a registry's keys, say, listed while
  // the registry lives).
  void add_borrowed(std::string_view name) {
    if (size_ == capacity_) grow();
    names_[size_] = Name{name.data(), name.size()};
    prefixes_[size_] = byte_order_key(name);
    order_[size_] = static_cast<std::uint32_t>(size_);
    ++size_;
  }

  // Stable, in byte order (see byte_order.hpp). Only positions move.
  void sort() {
    if (size_ > kRankWidth) {
      std::stable_sort(order_, order_ + size_, [this](std::uint32_t a, std::uint32_t b) { return less(a, b); });
      return;
    }
    // Each name's rank is the number of names before it: those with a
    // smaller eight-byte prefix, counted over a fixed width in loops the
    // compiler vectorises (the prefixes compared as two signed four-byte
    // halves, top bits flipped), plus, among the few sharing its prefix,
    // those whose bytes come first (or that are equal and were added
    // earlier). Unlike a comparison sort, nothing branches on comparisons of
    // names that arrive in hash order, which the processor would mispredict
    // half the time. The padding is never smaller than a prefix; where it
    // equals one, the exact count below looks at real names only.
    std::array<std::int32_t, kRankWidth> high;
    std::array<std::int32_t, kRankWidth> low;
    high.fill(std::numeric_limits<std::int32_t>::max());
    low.fill(std::numeric_limits<std::int32_t>::max());
    for (std::size_t i = 0; i < size_; ++i) {
      high[i] = flipped(static_cast<std::uint32_t>(prefixes_[i] >> 32));
      low[i] = flipped(static_cast<std::uint32_t>(prefixes_[i]));
    }
    for (std::size_t i = 0; i < size_; ++i) {
      const std::int32_t h = high[i];
      const std::int32_t l = low[i];
      std::int32_t before = 0;
      std::int32_t sharing = 0;
      for (std::size_t j = 0; j < kRankWidth; ++j) {
        const std::int32_t same_high = high[j] == h;
        before += (high[j] < h) | (same_high & (low[j] < l));
        sharing += same_high & (low[j] == l);
      }
      if (sharing > 1) [[unlikely]]
        for (std::size_t j = 0; j < size_; ++j)
          if (j != i && prefixes_[j] == prefixes_[i]) before += j < i ? !less(i, j) : less(j, i);
      order_[static_cast<std::size_t>(before)] = static_cast<std::uint32_t>(i);
    }
  }

  std::size_t size() const noexcept { return size_; }
  std::string_view operator[](std::size_t i) const noexcept {
    const Name& name = names_[order_[i]];
    return {name.data, name.size};
  }

 private:
  // Lists up to this size are ranked, longer ones merge-sorted.
  static constexpr std::size_t kRankWidth = 32;

  struct Name {
    const char* data;
    std::size_t size;
  };

  // Four bytes of a prefix as a signed number that orders as the unsigned
  // one does (SSE2 compares signed numbers four at a time).
  static std::int32_t flipped(std::uint32_t half) noexcept { return static_cast<std::int32_t>(half ^ 0x80000000u); }

  // Equal prefixes (names alike in their first eight bytes, or shorter
  // names padded with zeros), which are rare, are decided by the bytes.
  bool less(std::uint32_t a, std::uint32_t b) const noexcept {
    if (prefixes_[a] != prefixes_[b]) [[likely]]
      return prefixes_[a] < prefixes_[b];
    return byte_less({names_[a].data, names_[a].size}, {names_[b].data, names_[b].size});
  }

  void grow() {
    const std::size_t capacity = capacity_ == 0 ? 32 : capacity_ * 2;
    auto* names = arena_.allocate_array<Name>(capacity);
    auto* prefixes = arena_.allocate_array<std::uint64_t>(capacity);
    auto* order = arena_.allocate_array<std::uint32_t>(capacity);
    if (size_ != 0) {
      std::memcpy(static_cast<void*>(names), names_, size_ * sizeof(Name));
      std::memcpy(prefixes, prefixes_, size_ * sizeof(std::uint64_t));
      std::memcpy(order, order_, size_ * sizeof(std::uint32_t));
    }
    names_ = names;
    prefixes_ = prefixes;
    order_ = order;
    capacity_ = capacity;
  }

  alignas(std::max_align_t) std::byte buffer_[1280];
  Arena arena_{buffer_, sizeof buffer_};
  Name* names_ = nullptr;
  std::uint64_t* prefixes_ = nullptr;
  std::uint32_t* order_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace korvex
