// A concurrent hash map split into shards, each an open-addressing table
// behind its own reader-writer lock.
//
// Keys are hashed with SipHash-1-3 under a key that is fresh for every map.
// The low bits of a hash pick the shard and the high bits the slot inside
// it, so the two choices do not correlate. Every operation holds at most one
// shard lock at a time, so there is no lock order to keep.
//
// Entries, key texts, shards and tables all live in an arena owned by the
// map's user. Inserting allocates from that arena, so the user must not
// insert from two threads at once; reading (find, size, for_each) is safe
// from any number of threads, also while one thread inserts.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "arena.hpp"
#include "rw_lock.hpp"
#include "siphash.hpp"

namespace korvex {

// Number of processors this process may run on (its CPU affinity where the
// platform reports one), or 0 when that cannot be determined.
std::size_t available_processors() noexcept;

// Four shards per processor, rounded up to a power of two; four when the
// processor count is unknown (0).
std::size_t shard_count_for(std::size_t processors) noexcept;

// shard_count_for(available_processors()), computed once per process.
std::size_t process_shard_count() noexcept;

// memcmp(a, b, size) == 0, without a library call for the short keys a
// registry holds: up to sixteen bytes compare as two overlapping loads.
inline bool same_bytes(const char* a, const char* b, std::size_t size) noexcept {
  auto same_words = [&]<class Word>(Word) {
    Word a0, a1, b0, b1;
    std::memcpy(&a0, a, sizeof(Word));
    std::memcpy(&b0, b, sizeof(Word));
    std::memcpy(&a1, a + size - sizeof(Word), sizeof(Word));
    std::memcpy(&b1, b + size - sizeof(Word), sizeof(Word));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  };
  if (size >= 8) return size <= 16 ? same_words(std::uint64_t{}) : std::memcmp(a, b, size) == 0;
  if (size >= 4) return same_words(std::uint32_t{});
  return size == 0 || (a[0] == b[0] && a[size / 2] == b[size / 2] && a[size - 1] == b[size - 1]);
}

template <class Value>
class ShardedMap {
  static_assert(std::is_trivially_destructible_v<Value>, "entries live in an arena and are never destroyed singly");

 public:
  // The most items fill takes.
  static constexpr std::size_t kBatchLimit = 32;
  // The most shards a map may have (2^25).
  static constexpr std::size_t kMaxShards = std::size_t{1} << 25;

  // shard_count must be a power of two, at most kMaxShards. Shards are made
  // on their first insert, so a map on a host with many processors does not
  // pay for the ones its entries never reach.
  ShardedMap(Arena& arena, std::size_t shard_count, SipKey key)
      : arena_(arena),
        shards_(arena.allocate_array<std::atomic<Shard*>>(shard_count)),
        shard_mask_(shard_count - 1),
        key_(key) {
    for (std::size_t i = 0; i < shard_count; ++i) new (&shards_[i]) std::atomic<Shard*>(nullptr);
  }
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  std::size_t shard_count() const noexcept { return shard_mask_ + 1; }

  // Stores value under key, whose bytes must stay valid as long as the map
  // (they normally live in the same arena). Returns the value that was
  // stored under an equal key before, if any.
  std::optional<Value> insert(std::string_view key, const Value& value) {
    const std::uint64_t hash = siphash13(key_, key);
    Shard& shard = materialised_shard(hash & shard_mask_);
    WriteGuard guard(shard.lock);
    shard.reserve(arena_, 1);
    return shard.link(new (arena_.allocate_array<Entry>(1))
                          Entry{hash, key.data(), static_cast<std::uint32_t>(key.size()), value});
  }

  // Fills a map that has no entries yet with `count` items (at most
  // kBatchLimit) of distinct keys, each built in place by make(i, Value&),
  // which returns the item's key: what a constructor does. Each shard's
  // items are placed together under one hold of its write lock.
  template <class Make>
  void fill(std::size_t count, Make make) {
    Entry* const entries = build_entries(count, make);
    // The items ordered by (shard, position), keys packed into 32 bits:
    // each item's place is the number of smaller keys, counted in a loop
    // the compiler vectorises (a comparison sort would branch on hash
    // values, which the processor mispredicts half the time). Unused keys
    // sort last.
    std::array<std::int32_t, kBatchLimit> keys;
    keys.fill(std::numeric_limits<std::int32_t>::max());
    for (std::size_t i = 0; i < count; ++i)
      keys[i] = static_cast<std::int32_t>((entries[i].hash & shard_mask_) << kPositionBits | i);
    std::array<std::int32_t, kBatchLimit> sorted;
    for (std::size_t i = 0; i < count; ++i) {
      std::int32_t before = 0;
      for (std::size_t j = 0; j < kBatchLimit; ++j) before += keys[j] < keys[i];
      sorted[static_cast<std::size_t>(before)] = keys[i];
    }
    for (std::size_t first = 0; first < count;) {
      const std::size_t index = static_cast<std::size_t>(sorted[first] >> kPositionBits);
      std::size_t end = first + 1;
      while (end < count && static_cast<std::size_t>(sorted[end] >> kPositionBits) == index) ++end;
      // The shard is born holding its write lock, its table made at the
      // size its items need; each item goes in the first free slot from its
      // home slot on, found in a bit set of the taken slots without probing
      // (the keys are distinct and the table new). It is shared once filled.
      Shard* shard = new (arena_.allocate_array<Shard>(1)) Shard(RwLock::held_for_writing);
      const auto items = static_cast<std::uint32_t>(end - first);
      Table* table = Table::make(arena_, std::max(kFirstCapacity, std::bit_ceil(2 * items)));
      const std::uint32_t capacity = table->mask + 1;
      std::uint64_t taken = 0;  // a table holds at most 64 slots here
      for (std::size_t k = first; k < end; ++k) {
        const Entry& entry = entries[static_cast<std::size_t>(sorted[k]) & (kBatchLimit - 1)];
        const auto home = static_cast<std::uint32_t>(entry.hash >> 32) & table->mask;
        // The table's slots from home on, wrapping around its end.
        const std::uint64_t from_home =
            capacity == 64 ? std::rotr(taken, static_cast<int>(home)) : (taken | taken << capacity) >> home;
        const std::uint32_t slot = (home + static_cast<std::uint32_t>(std::countr_one(from_home))) & table->mask;
        taken |= std::uint64_t{1} << slot;
        table->slot(slot).store(&entry, std::memory_order_relaxed);
      }
      shard->table.store(table, std::memory_order_relaxed);
      shard->size.store(items, std::memory_order_relaxed);
      shard->lock.unlock_unshared();
      shards_[index].store(shard, std::memory_order_release);
      first = end;
    }
  }

  // Returns read(value) for the value stored under key, or an empty
  // optional on a miss, as seen under the shard's read lock: optimistically
  // first, and again under a shared hold if a writer came by meanwhile.
  // read may therefore run twice; it sees a consistent entry either time,
  // since entries never change once stored (a replaced value gets a new
  // entry).
  template <class Read>
  auto find(std::string_view key, Read&& read) const -> std::optional<std::invoke_result_t<Read&, const Value&>> {
    using Result = std::optional<std::invoke_result_t<Read&, const Value&>>;
    const std::uint64_t hash = siphash13(key_, key);
    const Shard* shard = shards_[hash & shard_mask_].load(std::memory_order_acquire);
    if (shard == nullptr) return std::nullopt;
    return shard->lock.read_optimistically([&]() -> Result {
      if (const Entry* e = shard->lookup(hash, key); e != nullptr) return read(e->value);
      return std::nullopt;
    });
  }

  // The entry counts of the shards, each read under its shard's lock.
  std::size_t size() const noexcept {
    std::size_t total = 0;
    for (std::size_t i = 0; i <= shard_mask_; ++i) {
      const Shard* shard = shards_[i].load(std::memory_order_acquire);
      if (shard == nullptr) continue;
      total += shard->lock.read_optimistically([shard] { return shard->size.load(std::memory_order_relaxed); });
    }
    return total;
  }

  // Calls visit(key, value) for every entry, shard after shard. Each
  // shard's entries are taken as they stand under its read lock (read
  // optimistically where the table is small), then visited; entries never
  // change once stored, so visiting them after the lock is the same. Small
  // shards' entries are gathered and visited in runs across shards, rather
  // than in a loop per shard whose length the processor cannot foresee.
  template <class Visit>
  void for_each(Visit&& visit) const {
    std::array<const Entry*, std::size_t{2} * kSnapshotSlots> gathered;
    std::size_t count = 0;
    auto flush = [&] {
      for (std::size_t e = 0; e < count; ++e) visit(gathered[e]->key(), gathered[e]->value);
      count = 0;
    };
    for (std::size_t i = 0; i <= shard_mask_; ++i) {
      const Shard* shard = shards_[i].load(std::memory_order_acquire);
      if (shard == nullptr) continue;
      if (count > gathered.size() - kSnapshotSlots) flush();
      const std::size_t taken =
          shard->lock.read_optimistically([&] { return shard->snapshot(gathered.data() + count); });
      if (taken != kTooMany) {
        count += taken;
        continue;
      }
      flush();
      ReadGuard guard(shard->lock);
      const Table* table = shard->table.load(std::memory_order_acquire);
      for (std::uint32_t s = 0; s <= table->mask; ++s)
        if (const Entry* e = table->slot(s).load(std::memory_order_acquire); e != nullptr) visit(e->key(), e->value);
    }
    flush();
  }

 private:
  // Tables up to this size are copied out whole for visiting.
  static constexpr std::uint32_t kSnapshotSlots = 64;
  static constexpr std::size_t kTooMany = ~std::size_t{0};

  // Never changed once stored, so that readers may look at one while a
  // writer works on the shard.
  struct Entry {
    std::uint64_t hash;
    const char* key_data;
    std::uint32_t key_size;
    Value value;

    std::string_view key() const noexcept { return {key_data, key_size}; }
  };

  // An open-addressing table: the mask, then capacity slots. A table that
  // grows is replaced by a new one; readers holding the old one still see
  // a consistent, if dated, table (the arena keeps it).
  struct alignas(std::atomic<const void*>) Table {
    std::uint32_t mask;  // capacity - 1

    std::atomic<const Entry*>& slot(std::uint32_t i) const noexcept {
      return const_cast<std::atomic<const Entry*>*>(reinterpret_cast<const std::atomic<const Entry*>*>(this + 1))[i];
    }

    static Table* make(Arena& arena, std::uint32_t capacity) {
      static_assert(sizeof(Table) % alignof(std::atomic<const Entry*>) == 0);
      void* memory = arena.allocate(sizeof(Table) + capacity * sizeof(std::atomic<const Entry*>), alignof(Table));
      Table* table = new (memory) Table{capacity - 1};
      // Cleared with plain stores, four slots at a time (capacities are powers
      // of two from four): the few slots of a table are cleared faster so
      // than by the string instructions a clearing loop would compile to.
      for (std::uint32_t i = 0; i < capacity; i += 4)
        for (std::uint32_t k = 0; k < 4; ++k) new (&table->slot(i + k)) std::atomic<const Entry*>(nullptr);
      return table;
    }
  };

  // Everything a reader may look at without the lock is atomic; writers
  // publish with release stores, readers load with acquire.
  struct Shard {
    Shard() noexcept = default;
    explicit Shard(RwLock::HeldForWriting held) noexcept : lock(held) {}

    mutable RwLock lock;
    std::atomic<std::uint32_t> size{0};
    std::atomic<const Table*> table{nullptr};

    const Entry* lookup(std::uint64_t hash, std::string_view key) const noexcept {
      const std::atomic<const Entry*>* slot = find_slot(table.load(std::memory_order_acquire), hash, key);
      return slot == nullptr ? nullptr : slot->load(std::memory_order_acquire);
    }

    // The slot holding key, or the empty slot that ends its probe path;
    // nullptr without a table.
    static std::atomic<const Entry*>* find_slot(const Table* t, std::uint64_t hash, std::string_view key) noexcept {
      if (t == nullptr) return nullptr;
      for (std::uint32_t i = static_cast<std::uint32_t>(hash >> 32);; ++i) {
        std::atomic<const Entry*>& slot = t->slot(i & t->mask);
        const Entry* e = slot.load(std::memory_order_acquire);
        if (e == nullptr) return &slot;
        if (e->hash == hash && e->key_size == key.size() && same_bytes(e->key_data, key.data(), key.size()))
          return &slot;
      }
    }

    // Copies the shard's entries into `out` (kSnapshotSlots long) and
    // returns their count, or kTooMany for a larger table. Which slots are
    // taken follows the random hash key, so they are gathered without a
    // branch per slot, which would be mispredicted half the time.
    std::size_t snapshot(const Entry** out) const noexcept {
      const Table* t = table.load(std::memory_order_acquire);
      if (t == nullptr) return 0;
      if (t->mask >= kSnapshotSlots) return kTooMany;
      std::size_t count = 0;
      for (std::uint32_t s = 0; s <= t->mask; ++s) {
        out[count] = t->slot(s).load(std::memory_order_acquire);
        count += out[count] != nullptr;
      }
      return count;
    }

    // The rest is for writers, who hold the write lock.

    // Makes room for `more` entries at a load of at most one half, which
    // keeps probe paths, and so lookups, short.
    void reserve(Arena& arena, std::uint32_t more) {
      const Table* old = table.load(std::memory_order_relaxed);
      const std::uint32_t wanted = size.load(std::memory_order_relaxed) + more;
      std::uint32_t capacity = old == nullptr ? kFirstCapacity : old->mask + 1;
      while (wanted * 2 > capacity) capacity *= 2;
      if (old != nullptr && capacity == old->mask + 1) return;

      Table* grown = Table::make(arena, capacity);
      if (old != nullptr)
        for (std::uint32_t i = 0; i <= old->mask; ++i)
          if (const Entry* e = old->slot(i).load(std::memory_order_relaxed); e != nullptr)
            find_slot(grown, e->hash, e->key())->store(e, std::memory_order_relaxed);
      table.store(grown, std::memory_order_release);
    }

    // Stores an entry (built, never to change), in the free slot on its
    // probe path or in place of an equal key's entry, whose value it then
    // returns. The table must have room.
    std::optional<Value> link(const Entry* entry) {
      std::atomic<const Entry*>& slot = *find_slot(table.load(std::memory_order_relaxed), entry->hash, entry->key());
      const Entry* existing = slot.load(std::memory_order_relaxed);
      slot.store(entry, std::memory_order_release);
      if (existing != nullptr) return existing->value;
      size.store(size.load(std::memory_order_relaxed) + 1, std::memory_order_release);
      return std::nullopt;
    }
  };

  static constexpr std::uint32_t kFirstCapacity = 4;

  // Items of a batch are ordered by (shard, position) keys packed into 32
  // bits: the position in the low bits, the shard index above them.
  static constexpr int kPositionBits = std::bit_width(kBatchLimit - 1);
  static_assert((kMaxShards << kPositionBits) <= (std::size_t{1} << 30), "keys must stay below the padding key");

  template <class Make>
  Entry* build_entries(std::size_t count, Make& make) {
    Entry* const entries = arena_.allocate_array<Entry>(count);
    for (std::size_t i = 0; i < count; ++i) {
      Entry& entry = *new (&entries[i]) Entry;
      const std::string_view key = make(i, entry.value);
      entry.key_data = key.data();
      entry.key_size = static_cast<std::uint32_t>(key.size());
      entry.hash = siphash13(key_, key);
    }
    return entries;
  }

  // Inserts are serialised by the map's user, so a missing shard is made
  // without a race between writers; readers see it fully built.
  Shard& materialised_shard(std::size_t index) {
    Shard* shard = shards_[index].load(std::memory_order_relaxed);
    if (shard == nullptr) {
      shard = new (arena_.allocate_array<Shard>(1)) Shard();
      shards_[index].store(shard, std::memory_order_release);
    }
    return *shard;
  }

  Arena& arena_;
  std::atomic<Shard*>* shards_;
  std::size_t shard_mask_;
  SipKey key_;
};

}  // namespace korvex
