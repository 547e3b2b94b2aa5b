// A list of copied names kept back to back in one buffer, for listings that
// copy a registry's keys out, sort them and hand them on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "byte_order.hpp"

namespace korvex {

class NameList {
 public:
  void reserve(std::size_t names, std::size_t bytes) {
    spans_.reserve(names);
    bytes_.reserve(bytes);
  }

  // Appends a copy of name.
  void add(std::string_view name) {
    spans_.push_back({static_cast<std::uint32_t>(bytes_.size()), static_cast<std::uint32_t>(name.size())});
    bytes_.append(name);
  }

  // Stable, in byte order (see byte_order.hpp).
  void sort() {
    stable_sort_by_bytes(std::span<Span>(spans_), [this](const Span& s) { return text(s); });
  }

  std::size_t size() const noexcept { return spans_.size(); }
  std::string_view operator[](std::size_t i) const noexcept { return text(spans_[i]); }

 private:
  // Offsets rather than pointers: they stay valid while the buffer grows.
  struct Span {
    std::uint32_t offset;
    std::uint32_t size;
  };
  std::string_view text(const Span& s) const noexcept { return {bytes_.data() + s.offset, s.size}; }

  std::string bytes_;
  std::vector<Span> spans_;
};

}  // namespace korvex
