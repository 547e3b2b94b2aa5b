#include "datasheet.hpp"

#include "constant_record_view.hpp"

namespace korvex {

Datasheet::Datasheet(std::string_view name, double value, std::string_view units, std::optional<double> uncertainty,
                     ConstantStatus status) noexcept {
  // Added in the record's own field order; the object sorts them by name.
  // Five distinct names never exceed the object's capacity.
  static_assert(JsonObject::kCapacity >= 5);
  static constexpr JsonName kName("name"), kValue("value"), kUnits("units"), kUncertainty("uncertainty"),
      kStatus("status");
  sheet_.set(kName, JsonValue::string(name));
  sheet_.set(kValue, JsonValue::number(value));
  sheet_.set(kUnits, JsonValue::string(units));
  sheet_.set(kUncertainty, JsonValue::number_or_null(uncertainty));
  sheet_.set(kStatus, JsonValue::string(to_text(status)));
}

Datasheet::Datasheet(const ConstantRecord& record) noexcept
    : Datasheet(record.name, record.value, record.units, record.uncertainty, record.status) {}

Datasheet::Datasheet(const ConstantRecordView& record) noexcept
    : Datasheet(record.name(), record.value(), record.units(), record.uncertainty(), record.status()) {}

namespace {

// The one implementation behind both write_datasheet overloads: the owned
// record and the registry's stored view differ only in how they hand out
// their fields, which Datasheet's constructors take care of.
std::string text_of(const Datasheet& sheet) {
  std::string out;
  json_detail::append_exactly(out, sheet.size(), [&sheet](char* p) { return sheet.write(p); });
  return out;
}

}  // namespace

std::string write_datasheet(const ConstantRecord& record) { return text_of(Datasheet(record)); }

std::string write_datasheet(const ConstantRecordView& record) { return text_of(Datasheet(record)); }

}  // namespace korvex
