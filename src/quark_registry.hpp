// The quark registry: records keyed by the quark's name, seeded with the six
// quarks of the Standard Model.
//
// A Python call builds the seeded registry and lists its sorted names on every
// call, so building it must be cheap. The registry is a small open-addressing
// table whose first eight entries and sixteen-slot index live inside the
// object: the six seeded records then need no heap memory at all, since their
// names fit std::string's small buffer and an empty std::map allocates
// nothing. Entries past the eighth, and larger indices, go to the heap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <span>
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

class QuarkRegistry {
 public:
  // An empty registry. The body is written out, not defaulted, so that even a
  // value-initialised registry leaves its entry storage uncleared.
  QuarkRegistry() noexcept {}

  // The six quarks up, down, strange, charm, bottom and top, inserted in that
  // order, with their masses as stored constants.
  static QuarkRegistry standard_model();

  QuarkRegistry(const QuarkRegistry& other);
  QuarkRegistry& operator=(const QuarkRegistry& other);
  // A moved-from registry is empty and can be used again.
  QuarkRegistry(QuarkRegistry&& other) noexcept;
  QuarkRegistry& operator=(QuarkRegistry&& other) noexcept;
  ~QuarkRegistry() { destroy_inline_entries(); }

  // Stores the record under its own copy of the record's name. A record held
  // under an equal name is replaced, and discarded; the count then stays.
  void insert(QuarkRecord record);

  std::size_t len() const noexcept { return count_; }

  // A copy of every key, sorted ascending by unsigned byte comparison (a
  // prefix before its extensions). The one allocation is the list itself
  // when every name fits std::string's small buffer.
  std::vector<std::string> sorted_names() const;

  // Calls visit(std::string_view key) for every key in the order of
  // sorted_names(), copying none of them: for a caller that turns the names
  // into objects of its own. Allocates nothing for up to sixteen entries.
  // visit must not change the registry.
  template <class Visit>
  void for_each_sorted_key(Visit&& visit) const {
    std::array<std::uint32_t, kSmallSortLimit> small;
    std::vector<std::uint32_t> large;
    std::span<std::uint32_t> order(small.data(), count_ <= kSmallSortLimit ? count_ : 0);
    if (count_ > kSmallSortLimit) {
      large.resize(count_);
      order = large;
    }
    sort_positions(order);
    for (std::uint32_t position : order) visit(std::string_view(entry(position).key));
  }

  // The record held under exactly these bytes, or nullptr. Valid until the
  // registry is next changed.
  const QuarkRecord* find(std::string_view name) const noexcept;

  // Calls visit(std::string_view key, const QuarkRecord&) for every entry, in
  // an order that callers must not rely on.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t i = 0; i < count_; ++i) {
      const Entry& e = entry(i);
      visit(std::string_view(e.key), e.record);
    }
  }

  // Whether the table's own storage has outgrown the object (diagnostics).
  bool uses_heap() const noexcept { return !spilled_entries_.empty() || !spilled_slots_.empty(); }

 private:
  struct Entry {
    // The key is copied from the name before the record moves in.
    explicit Entry(QuarkRecord&& r) : key(r.name), record(std::move(r)) {}
    // A record built in place, its name and key both copied from name.
    Entry(std::string_view name, double mass_mev, double mass_ratio, std::int32_t phi_power, std::uint8_t generation)
        : key(name), record{std::string(name), {}, mass_mev, mass_ratio, phi_power, generation} {}
    std::string key;  // equal to record.name, but a storage of its own
    QuarkRecord record;
  };

  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t position = 0;  // index of the entry plus one; 0 marks a free slot
  };

  // The index is kept at most half full, so probing always reaches a free
  // slot quickly; the inline slots therefore serve exactly the inline entries.
  static constexpr std::size_t kInlineEntries = 8;
  static constexpr std::size_t kInlineSlots = 2 * kInlineEntries;

  // Entries are numbered in insertion order; the first kInlineEntries live in
  // the object and the rest in spilled_entries_.
  Entry& entry(std::size_t i) noexcept {
    return i < kInlineEntries ? *inline_entry(i) : spilled_entries_[i - kInlineEntries];
  }
  const Entry& entry(std::size_t i) const noexcept {
    return i < kInlineEntries ? *inline_entry(i) : spilled_entries_[i - kInlineEntries];
  }

  // The inline entries are raw storage, constructed as entries arrive: a new
  // registry then only has to clear its index, not eight empty records.
  Entry* inline_entry(std::size_t i) noexcept {
    return std::launder(reinterpret_cast<Entry*>(inline_storage_ + i * sizeof(Entry)));
  }
  const Entry* inline_entry(std::size_t i) const noexcept {
    return std::launder(reinterpret_cast<const Entry*>(inline_storage_ + i * sizeof(Entry)));
  }
  std::size_t inline_count() const noexcept { return count_ < kInlineEntries ? count_ : kInlineEntries; }
  void destroy_inline_entries() noexcept {
    for (std::size_t i = 0; i < inline_count(); ++i) std::destroy_at(inline_entry(i));
  }
  // Moves the other registry's contents into this one, which holds nothing,
  // and leaves the other empty.
  void take(QuarkRegistry& other) noexcept;

  std::span<Slot> slots() noexcept {
    return spilled_slots_.empty() ? std::span<Slot>(inline_slots_) : std::span<Slot>(spilled_slots_);
  }
  std::span<const Slot> slots() const noexcept {
    return spilled_slots_.empty() ? std::span<const Slot>(inline_slots_) : std::span<const Slot>(spilled_slots_);
  }

  // Up to this many keys are ordered by an insertion sort, which needs no
  // buffer from the heap (std::stable_sort takes one).
  static constexpr std::size_t kSmallSortLimit = 16;
  // Fills order with the entry numbers 0 .. order.size() - 1 sorted by key,
  // equal keys (there are none) in entry order.
  void sort_positions(std::span<std::uint32_t> order) const;

  // The slot holding name, or else the free slot where it would go.
  std::size_t probe(std::uint32_t hash, std::string_view name) const noexcept;
  // Adds an entry for a name the index does not hold; `at` is the free slot
  // probe() gave for it. The entry is built from `fields`.
  template <class... Fields>
  void add(std::uint32_t hash, std::size_t at, std::string_view name, Fields&&... fields);
  // Doubles the index and places every entry in it again.
  void grow();
  // Back to the empty registry, keeping no heap memory.
  void reset() noexcept;

  alignas(Entry) std::byte inline_storage_[kInlineEntries * sizeof(Entry)];
  std::vector<Entry> spilled_entries_;
  std::array<Slot, kInlineSlots> inline_slots_{};
  std::vector<Slot> spilled_slots_;  // the index, once it has outgrown inline_slots_
  std::size_t count_ = 0;
};

}  // namespace korvex
