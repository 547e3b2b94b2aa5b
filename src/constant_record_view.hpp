// A read-only view of a record as the constants registry stores it: valid
// while the registry lives; to_record() makes an independent copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "constant_record.hpp"

namespace korvex {

class ConstantRecordView {
 public:
  std::string_view name() const noexcept { return {texts_, name_size_}; }
  double value() const noexcept { return value_; }
  std::string_view units() const noexcept { return {texts_ + name_size_, units_size_}; }
  std::optional<double> uncertainty() const noexcept {
    return has_uncertainty_ ? std::optional<double>(uncertainty_) : std::nullopt;
  }
  ConstantStatus status() const noexcept { return status_; }
  std::optional<std::string_view> formula() const noexcept {
    if (!has_formula_) return std::nullopt;
    return std::string_view(texts_ + name_size_ + units_size_, formula_size_);
  }
  std::size_t dependency_count() const noexcept { return dependency_count_; }
  // The dependency names in order; `visit` is called with each.
  template <class Visit>
  void for_each_dependency(Visit&& visit) const {
    const char* p = texts_ + name_size_ + units_size_ + formula_size_;
    for (std::uint32_t i = 0; i < dependency_count_; ++i) {
      std::uint32_t size;
      std::memcpy(&size, p, sizeof size);
      p += sizeof size;
      visit(std::string_view(p, size));
      p += size;
    }
  }

  ConstantRecord to_record() const;

 private:
  friend class FormulasRegistry;

  // The record's bytes, back to back: name, units, formula, then each
  // dependency as its size (four bytes, host order) and its name.
  // Only the registry makes views, and it sets every field; a view left
  // uninitialised by default costs nothing in arrays of them.
  const char* texts_;
  double value_;
  double uncertainty_;
  std::uint32_t name_size_;
  std::uint32_t units_size_;
  std::uint32_t formula_size_;
  std::uint32_t dependency_count_;
  ConstantStatus status_;
  bool has_uncertainty_;
  bool has_formula_;
};

}  // namespace korvex
