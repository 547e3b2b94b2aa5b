#include "constant_record.hpp"

namespace korvex {

std::string_view to_text(ConstantStatus status) noexcept {
  switch (status) {
    case ConstantStatus::Seed:
      return "Seed";
    case ConstantStatus::Cached:
      return "Cached";
    case ConstantStatus::Pending:
      return "Pending";
    case ConstantStatus::External:
      return "External";
  }
  return "Seed";  // unreachable for the four declared values
}

ConstantRecord ConstantRecord::seeded(std::string_view name, double value, std::string_view units) {
  ConstantRecord record;
  record.name = name;
  record.value = value;
  record.units = units;
  return record;
}

ConstantRecord ConstantRecord::derived(std::string_view name, std::string_view formula, std::string_view units,
                                       std::span<const std::string_view> dependencies) {
  ConstantRecord record;
  record.name = name;
  record.units = units;
  record.status = ConstantStatus::Pending;
  record.formula.emplace(formula);
  record.dependencies.assign(dependencies.begin(), dependencies.end());
  return record;
}

}  // namespace korvex
