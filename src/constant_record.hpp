// One entry of the constants registry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// Where an entry's value stands. The text form of each is its own name.
enum class ConstantStatus : std::uint8_t {
  Seed = 0,
  Cached = 1,
  Pending = 2,
  External = 3,
};

std::string_view to_text(ConstantStatus status) noexcept;

// A self-contained record: it owns every text it holds, so a copy handed out
// by the registry never refers back into it.
struct ConstantRecord {
  std::string name;
  double value = 0.0;
  std::string units;
  std::optional<double> uncertainty;
  ConstantStatus status = ConstantStatus::Seed;
  std::optional<std::string> formula;
  std::vector<std::string> dependencies;

  // A measured or counted constant: status Seed, no uncertainty, no formula,
  // no dependencies.
  static ConstantRecord seeded(std::string_view name, double value, std::string_view units);

  // A quantity described by a formula and never evaluated: value 0.0, status
  // Pending, no uncertainty. Nothing is validated: the formula is not parsed
  // and the dependency names are not checked against anything.
  static ConstantRecord derived(std::string_view name, std::string_view formula, std::string_view units,
                                std::span<const std::string_view> dependencies);

  friend bool operator==(const ConstantRecord&, const ConstantRecord&) = default;
};

}  // namespace korvex
