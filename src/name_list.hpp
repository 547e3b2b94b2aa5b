// A list of names borrowed from their owner, for listings that take a
// registry's keys, sort them and hand them on. The list lives in a buffer
// of its own, spilling to the heap only past it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "arena.hpp"

namespace korvex {

class NameList {
 public:
  NameList() noexcept = default;
  NameList(const NameList&) = delete;
  NameList& operator=(const NameList&) = delete;

  // Appends name itself, not a copy: its bytes must stay alive and
  // unchanged while the list is in use (a registry's keys, say, listed while
  // the registry lives).
  void add_borrowed(std::string_view name) {
    if (size_ == capacity_) grow();
    names_[size_++] = name;
  }

  // Stable, ascending by the names' bytes compared as unsigned values, a
  // name before its extensions: the order of std::string_view's <. Short
  // lists, the usual case, are insertion-sorted in place, which needs no
  // buffer from the heap (std::stable_sort takes one).
  void sort() {
    if (size_ > kFirstCapacity) {
      std::stable_sort(names_, names_ + size_);
      return;
    }
    for (std::size_t i = 1; i < size_; ++i) {
      const std::string_view name = names_[i];
      std::size_t at = i;
      for (; at > 0 && less(name, names_[at - 1]); --at) names_[at] = names_[at - 1];
      names_[at] = name;
    }
  }

  std::size_t size() const noexcept { return size_; }
  std::string_view operator[](std::size_t i) const noexcept { return names_[i]; }

 private:
  static constexpr std::size_t kFirstCapacity = 32;

  // string_view's <, with the first bytes compared inline: they tell most
  // names apart, so a comparison seldom calls memcmp. An insertion sort
  // compares as often as the names stand out of order, which follows the
  // registry's random hash key; with comparisons this cheap, a listing costs
  // nearly the same whatever the order.
  static bool less(std::string_view a, std::string_view b) noexcept {
    if (!a.empty() && !b.empty() && a.front() != b.front())
      return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front());
    return a < b;
  }

  void grow() {
    const std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
    auto* names = arena_.allocate_array<std::string_view>(capacity);
    if (size_ != 0) std::memcpy(static_cast<void*>(names), names_, size_ * sizeof(std::string_view));
    names_ = names;
    capacity_ = capacity;
  }

  alignas(std::max_align_t) std::byte buffer_[kFirstCapacity * sizeof(std::string_view)];
  Arena arena_{buffer_, sizeof buffer_};
  std::string_view* names_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The listing every sorted list of a registry's keys is made by: a NameList
// of the keys for_each_key hands out (for_each_key(add) calls add with each
// key, as a std::string_view that stays alive while `use` runs), sorted, and
// passed to use, whose result is returned.
template <class ForEachKey, class Use>
decltype(auto) with_sorted_names(ForEachKey&& for_each_key, Use&& use) {
  NameList names;
  for_each_key([&names](std::string_view key) { names.add_borrowed(key); });
  names.sort();
  return use(std::as_const(names));
}

}  // namespace korvex
