#include "quark_registry.hpp"

#include <array>
#include <bit>

#include "byte_loads.hpp"
#include "name_list.hpp"

namespace korvex {

namespace {

// The masses are stored, not computed: each literal is the shortest decimal
// of its 64-bit value, so it converts back bit for bit.
struct QuarkRow {
  std::string_view name;
  std::uint8_t generation;
  std::int32_t phi_power;
  double mass_ratio;
  double mass_mev;
};

constexpr double kReferenceEnergyMev = 246220.0;

constexpr std::array<QuarkRow, 6> kStandardModel{{
    {"up", 1, 12, 0.003105620015141857, 764.665760128228},
    {"down", 1, 11, 0.005024998740641489, 1237.2551899207474},
    {"strange", 2, 8, 0.02128623625220818, 5241.0970900186985},
    {"charm", 2, 5, 0.09016994374947422, 22201.643549995544},
    {"bottom", 3, 4, 0.14589803375031543, 35923.013870002665},
    {"top", 3, 0, 1.0, 246220.0},
}};

// Every mass is exactly the rounded product of the reference energy and its
// ratio; checked here at compile time so a mistyped digit cannot slip in.
constexpr bool masses_are_reference_times_ratio() {
  for (const QuarkRow& row : kStandardModel) {
    const double product = kReferenceEnergyMev * row.mass_ratio;
    if (std::bit_cast<std::uint64_t>(product) != std::bit_cast<std::uint64_t>(row.mass_mev)) return false;
  }
  return true;
}
static_assert(masses_are_reference_times_ratio());

constexpr bool names_are_distinct() {
  for (std::size_t i = 0; i < kStandardModel.size(); ++i)
    for (std::size_t k = 0; k < i; ++k)
      if (kStandardModel[i].name == kStandardModel[k].name) return false;
  return true;
}
static_assert(names_are_distinct());

// The name as a new string, copied by copy_bytes: the string's own
// constructor calls memmove, which musl runs with string instructions whose
// start-up costs several times the rest of a short name's copy.
std::string copy_of(std::string_view name) {
  std::string copy;
  copy.resize_and_overwrite(name.size(), [name](char* out, std::size_t size) {
    copy_bytes(out, name.data(), size);
    return size;
  });
  return copy;
}

}  // namespace

QuarkRegistry QuarkRegistry::standard_model() {
  // The rows' names are distinct (checked above), so each record is added
  // as insert() would add it, without looking for an equal name first.
  QuarkRegistry registry;
  registry.entries_.reserve(kStandardModel.size());
  for (const QuarkRow& row : kStandardModel)
    registry.entries_.emplace_back(
        QuarkRecord{copy_of(row.name), {}, row.mass_mev, row.mass_ratio, row.phi_power, row.generation});
  return registry;
}

void QuarkRegistry::insert(QuarkRecord record) {
  for (Entry& entry : entries_)
    if (entry.key == record.name) {
      entry.record = std::move(record);
      return;
    }
  entries_.emplace_back(std::move(record));
}

std::vector<std::string> QuarkRegistry::sorted_names() const {
  const auto copied = [](const NameList& keys) {
    std::vector<std::string> names;
    names.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) names.emplace_back(keys[i]);
    return names;
  };
  return with_sorted_names([this](const auto& add) { for_each_key(add); }, copied);
}

const QuarkRecord* QuarkRegistry::find(std::string_view name) const noexcept {
  for (const Entry& entry : entries_)
    if (entry.key == name) return &entry.record;
  return nullptr;
}

}  // namespace korvex
