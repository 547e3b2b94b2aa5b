// The order in which names are listed: ascending by their bytes compared as
// unsigned values, a name before its extensions.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "byte_loads.hpp"

namespace korvex {

constexpr bool byte_less(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// A name's first eight bytes as a big-endian number, zeros after its end:
// where two names' keys differ, they order the names as byte_less does, so
// sorting compares the keys first and the bytes only where keys are equal.
constexpr std::uint64_t byte_order_key(std::string_view name) noexcept {
  if consteval {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < 8 && i < name.size(); ++i)
      key |= std::uint64_t{static_cast<unsigned char>(name[i])} << (56 - 8 * i);
    return key;
  } else {
    const std::uint64_t low_first = name.size() >= 8 ? load_le64(name.data()) : load_le_short(name.data(), name.size());
    return std::byteswap(low_first);
  }
}

// Sorts items stably by the byte order of name_of(item). Names are told
// apart by their keys first and by their bytes only where the keys are
// equal. Short ranges, the usual case, are insertion-sorted in place, which
// needs no buffer from the heap (std::stable_sort takes one).
template <class T, class NameOf>
void stable_sort_by_bytes(std::span<T> items, NameOf name_of) {
  auto less = [&name_of](const T& a, const T& b) {
    const std::string_view x = name_of(a);
    const std::string_view y = name_of(b);
    const std::uint64_t key_x = byte_order_key(x);
    const std::uint64_t key_y = byte_order_key(y);
    return key_x != key_y ? key_x < key_y : byte_less(x, y);
  };
  constexpr std::size_t kInsertionLimit = 32;
  if (items.size() > kInsertionLimit) {
    std::stable_sort(items.begin(), items.end(), less);
    return;
  }
  for (std::size_t i = 1; i < items.size(); ++i) {
    T item = std::move(items[i]);
    std::size_t at = i;
    for (; at > 0 && less(item, items[at - 1]); --at) items[at] = std::move(items[at - 1]);
    items[at] = std::move(item);
  }
}

}  // namespace korvex
