#include "constant_record_view.hpp"

namespace korvex {

ConstantRecord ConstantRecordView::to_record() const {
  ConstantRecord record;
  record.name = name();
  record.value = value_;
  record.units = units();
  record.uncertainty = uncertainty();
  record.status = status_;
  if (const std::optional<std::string_view> text = formula()) record.formula.emplace(*text);
  record.dependencies.reserve(dependency_count_);
  for_each_dependency([&record](std::string_view dependency) { record.dependencies.emplace_back(dependency); });
  return record;
}

}  // namespace korvex
