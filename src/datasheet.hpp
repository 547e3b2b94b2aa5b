// The datasheet of one constant as compact JSON text: its name, status,
// uncertainty, units and value, measured before it is written.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "constant_record.hpp"
#include "json_writer.hpp"

namespace korvex {

class ConstantRecordView;

// The datasheet of a record: an object of the five members name, status,
// uncertainty (null when absent), units and value, written in that order.
// Measured when made, so that the caller can provide the memory for its
// text: size() bytes, which write() fills. It borrows the record's texts and
// must not outlive the record (or, for a view, the registry's read).
class Datasheet {
 public:
  explicit Datasheet(const ConstantRecord& record) noexcept;
  explicit Datasheet(const ConstantRecordView& record) noexcept;
  explicit Datasheet(ConstantRecord&&) = delete;

  std::size_t size() const noexcept { return sheet_.text_size(); }
  bool ascii() const noexcept { return sheet_.ascii(); }
  // Writes exactly size() bytes into out; returns their end.
  char* write(char* out) const noexcept { return sheet_.write(out); }

 private:
  Datasheet(std::string_view name, double value, std::string_view units, std::optional<double> uncertainty,
            ConstantStatus status) noexcept;

  JsonObject sheet_;
};

// Room for the text of every seeded entry's datasheet: callers keep a buffer
// of this size on the stack and go to the heap only for longer sheets.
inline constexpr std::size_t kDatasheetStackSize = 128;

// The datasheet's text as a string of its own.
std::string write_datasheet(const ConstantRecord& record);
std::string write_datasheet(const ConstantRecordView& record);

}  // namespace korvex
