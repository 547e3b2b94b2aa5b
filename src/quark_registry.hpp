// The quark registry: records keyed by the quark's name, seeded with the six
// quarks of the Standard Model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvex {

// One quark. mass_ratio is mass_mev over the reference energy 246220.0 MeV
// and is close to phi^-phi_power (phi the golden ratio).
struct QuarkRecord {
  std::string name;
  // Empty for every quark; nothing reads or fills it.
  std::map<std::string, double> properties;
  double mass_mev = 0.0;
  double mass_ratio = 0.0;
  std::int32_t phi_power = 0;
  std::uint8_t generation = 0;

  friend bool operator==(const QuarkRecord&, const QuarkRecord&) = default;
};

// A map from name to record. It holds a handful of records, so they are kept
// in one array in the order inserted and found by comparing names: one
// allocation for the seeded registry, and no hashing.
class QuarkRegistry {
 public:
  // An empty registry.
  QuarkRegistry() = default;

  // The six quarks up, down, strange, charm, bottom and top, inserted in that
  // order, with their masses as stored constants.
  static QuarkRegistry standard_model();

  // Stores the record under its own copy of the record's name. A record held
  // under an equal name is replaced, and discarded; the count then stays.
  void insert(QuarkRecord record);

  std::size_t len() const noexcept { return entries_.size(); }

  // A copy of every key, sorted ascending by unsigned byte comparison (a
  // prefix before its extensions).
  std::vector<std::string> sorted_names() const;

  // Calls visit(key) for every key, in the order inserted. The keys are
  // valid until the registry is next changed.
  template <class Visit>
  void for_each_key(Visit&& visit) const {
    for (const Entry& entry : entries_) visit(std::string_view(entry.key));
  }

  // The record held under exactly these bytes, or nullptr. Valid until the
  // registry is next changed.
  const QuarkRecord* find(std::string_view name) const noexcept;

 private:
  struct Entry {
    // The key is copied from the name before the record moves in.
    explicit Entry(QuarkRecord&& r) : key(r.name), record(std::move(r)) {}
    std::string key;  // equal to record.name, but a storage of its own
    QuarkRecord record;
  };

  std::vector<Entry> entries_;
};

}  // namespace korvex
