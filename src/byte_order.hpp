// The order in which names are listed: ascending by their bytes compared as
// unsigned values, a name before its extensions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>

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

// Sorts items stably by byte_less of key_of(item). Short ranges, the usual
// case, are insertion-sorted in place, which needs no buffer from the heap
// (std::stable_sort takes one).
template <class T, class KeyOf>
void stable_sort_by_bytes(std::span<T> items, KeyOf key_of) {
  auto less = [&key_of](const T& a, const T& b) { return byte_less(key_of(a), key_of(b)); };
  constexpr std::size_t kInsertionLimit = 32;
  if (items.size() > kInsertionLimit) {
    std::stable_sort(items.begin(), items.end(), less);
    return;
  }
  for (std::size_t i = 1; i < items.size(); ++i) {
    T item = items[i];
    std::size_t at = i;
    for (; at > 0 && less(item, items[at - 1]); --at) items[at] = items[at - 1];
    items[at] = item;
  }
}

}  // namespace korvex
