#include "quark_registry.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "byte_order.hpp"

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

// The seeded names must stay in std::string's small buffer for the seeded
// registry to need no heap memory (15 bytes in the common implementations).
constexpr bool names_are_short() {
  for (const QuarkRow& row : kStandardModel) {
    if (row.name.size() > 15) return false;
  }
  return true;
}
static_assert(names_are_short());

constexpr bool names_are_distinct() {
  for (std::size_t i = 0; i < kStandardModel.size(); ++i) {
    for (std::size_t k = i + 1; k < kStandardModel.size(); ++k) {
      if (kStandardModel[i].name == kStandardModel[k].name) return false;
    }
  }
  return true;
}
static_assert(names_are_distinct());

// Eight bytes at a time, one multiply and shift per word: names are short,
// so this costs about as much as a single step of a byte-wise hash. The
// names come only from this library, never from outside, so a keyed hash
// would buy nothing here.
std::uint32_t name_hash(std::string_view name) noexcept {
  constexpr std::uint64_t kMultiplier = 0xBF58476D1CE4E5B9ULL;
  std::uint64_t h = name.size() * 0x9E3779B97F4A7C15ULL;
  auto mix = [&h](std::uint64_t word) {
    h = (h ^ word) * kMultiplier;
    h ^= h >> 31;
  };
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, name.data() + i, sizeof word);
    mix(word);
  }
  if (i < name.size()) {
    std::uint64_t word = 0;
    for (unsigned shift = 0; i < name.size(); ++i, shift += 8) {
      word |= std::uint64_t{static_cast<unsigned char>(name[i])} << shift;
    }
    mix(word);
  }
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

// Ascending by unsigned byte value, a prefix before its extensions. Written
// as a plain loop: the names are a few bytes long, where calling memcmp costs
// more than the comparison itself.

}  // namespace

QuarkRegistry QuarkRegistry::standard_model() {
  // The rows are added as insert() would add them, but each record is built
  // in its slot rather than built and then moved there. Without equal names
  // (checked at compile time) no row can replace another.
  QuarkRegistry registry;
  for (const QuarkRow& row : kStandardModel) {
    const std::uint32_t hash = name_hash(row.name);
    registry.add(hash, registry.probe(hash, row.name), row.name, row.name, row.mass_mev, row.mass_ratio, row.phi_power,
                 row.generation);
  }
  return registry;
}

// Delegating to the default constructor makes the object complete before the
// entries are copied, so if a copy runs out of memory the destructor releases
// the entries already made (count_ counts them).
QuarkRegistry::QuarkRegistry(const QuarkRegistry& other) : QuarkRegistry() {
  for (std::size_t i = 0; i < other.inline_count(); ++i) {
    std::construct_at(inline_entry(i), *other.inline_entry(i));
    ++count_;
  }
  spilled_entries_ = other.spilled_entries_;
  spilled_slots_ = other.spilled_slots_;
  inline_slots_ = other.inline_slots_;
  count_ = other.count_;
}

QuarkRegistry& QuarkRegistry::operator=(const QuarkRegistry& other) {
  if (this != &other) *this = QuarkRegistry(other);
  return *this;
}

QuarkRegistry::QuarkRegistry(QuarkRegistry&& other) noexcept : QuarkRegistry() { take(other); }

QuarkRegistry& QuarkRegistry::operator=(QuarkRegistry&& other) noexcept {
  if (this != &other) {
    reset();
    take(other);
  }
  return *this;
}

void QuarkRegistry::take(QuarkRegistry& other) noexcept {
  for (std::size_t i = 0; i < other.inline_count(); ++i) {
    std::construct_at(inline_entry(i), std::move(*other.inline_entry(i)));
  }
  spilled_entries_ = std::move(other.spilled_entries_);
  spilled_slots_ = std::move(other.spilled_slots_);
  inline_slots_ = other.inline_slots_;
  count_ = other.count_;
  other.reset();
}

void QuarkRegistry::reset() noexcept {
  destroy_inline_entries();
  spilled_entries_ = {};
  spilled_slots_ = {};
  inline_slots_.fill(Slot{});
  count_ = 0;
}

std::size_t QuarkRegistry::probe(std::uint32_t hash, std::string_view name) const noexcept {
  const std::span<const Slot> table = slots();
  const std::size_t mask = table.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = table[i];
    if (slot.position == 0) return i;
    if (slot.hash == hash && entry(slot.position - 1).key == name) return i;
  }
}

void QuarkRegistry::grow() {
  const std::span<const Slot> old = slots();
  std::vector<Slot> table(old.size() * 2);
  const std::size_t mask = table.size() - 1;
  for (const Slot& slot : old) {
    if (slot.position == 0) continue;
    std::size_t i = slot.hash & mask;
    while (table[i].position != 0) i = (i + 1) & mask;
    table[i] = slot;
  }
  spilled_slots_ = std::move(table);
}

template <class... Fields>
void QuarkRegistry::add(std::uint32_t hash, std::size_t at, std::string_view name, Fields&&... fields) {
  // Everything that may allocate (the larger index, the key, a spilled entry)
  // happens before the index refers to the entry, so running out of memory
  // leaves the registry holding what it held.
  if (count_ + 1 > slots().size() / 2) {
    grow();
    at = probe(hash, name);
  }
  if (count_ < kInlineEntries) {
    std::construct_at(inline_entry(count_), std::forward<Fields>(fields)...);
  } else {
    spilled_entries_.emplace_back(std::forward<Fields>(fields)...);
  }
  slots()[at] = Slot{hash, static_cast<std::uint32_t>(count_ + 1)};
  ++count_;
}

void QuarkRegistry::insert(QuarkRecord record) {
  const std::uint32_t hash = name_hash(record.name);
  const std::size_t at = probe(hash, record.name);
  if (const Slot& held = slots()[at]; held.position != 0) {
    entry(held.position - 1).record = std::move(record);
    return;
  }
  add(hash, at, record.name, std::move(record));
}

void QuarkRegistry::sort_positions(std::span<std::uint32_t> order) const {
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  stable_sort_by_bytes(order, [this](std::uint32_t position) { return std::string_view(entry(position).key); });
}

std::vector<std::string> QuarkRegistry::sorted_names() const {
  std::vector<std::string> names;
  names.reserve(count_);
  for_each_sorted_key([&names](std::string_view key) { names.emplace_back(key); });
  return names;
}

const QuarkRecord* QuarkRegistry::find(std::string_view name) const noexcept {
  const Slot& slot = slots()[probe(name_hash(name), name)];
  return slot.position == 0 ? nullptr : &entry(slot.position - 1).record;
}

}  // namespace korvex
