// A concurrent hash map split into shards, each an open-addressing table
// behind its own reader-writer lock.
//
// Keys are hashed with SipHash-1-3 under a key that is fresh for every map.
// The low bits of a hash pick the shard and the high bits the slot inside
// it, so the two choices do not correlate. Every operation holds at most one
// shard lock at a time, so there is no lock order to keep.
//
// A map has a fixed number of shards, but a shard is made only when its
// first entry lands, and the shards made are found through a directory: an
// open-addressing table of shards keyed by shard index, no larger than the
// shards made need. So what a map costs follows its entries, not its shard
// count: the seventeen entries of a registry make at most seventeen shards,
// whether the host gives it eight shards or four thousand. Where the shard
// count is small, the directory has a slot for every shard.
//
// Entries, key texts, shards, tables and directories all live in an arena
// owned by the map's user. Inserting allocates from that arena, so the user
// must not insert from two threads at once; reading (find, size, for_each)
// is safe from any number of threads, also while one thread inserts.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
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

template <class Value>
class ShardedMap {
  static_assert(std::is_trivially_destructible_v<Value>, "entries live in an arena and are never destroyed singly");

 public:
  // The most items fill takes.
  static constexpr std::size_t kBatchLimit = 32;
  // The most shards a map may have (2^25).
  static constexpr std::size_t kMaxShards = std::size_t{1} << 25;

  // shard_count must be a power of two, at most kMaxShards. The map takes
  // nothing from the arena until its first entry.
  ShardedMap(Arena& arena, std::size_t shard_count, SipKey key) noexcept
      : arena_(arena), shard_mask_(static_cast<std::uint32_t>(shard_count - 1)), key_(key) {}
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  std::size_t shard_count() const noexcept { return std::size_t{shard_mask_} + 1; }

  // Stores value under key, whose bytes must stay valid as long as the map
  // (they normally live in the same arena). Returns the value that was
  // stored under an equal key before, if any.
  std::optional<Value> insert(std::string_view key, const Value& value) {
    const std::uint64_t hash = siphash13(key_, key);
    Shard& shard = shard_for_insert(shard_index(hash));
    WriteGuard guard(shard.lock);
    shard.reserve(arena_, 1);
    return shard.link(new (arena_.allocate_array<Entry>(1))
                          Entry{key.data(), static_cast<std::uint32_t>(key.size()), slot_hash(hash), value});
  }

  // Fills a map that has no entries yet with `count` items (at most
  // kBatchLimit) of distinct keys, each built in place by make(i, Value&),
  // which returns the item's key: what a constructor does. Each shard is
  // made at the size its items need. No reader can reach the shards before
  // their directory is published, once all are filled, so they are filled
  // without taking their locks.
  template <class Make>
  void fill(std::size_t count, Make make) {
    // Each item's key for ordering by (shard, position), packed into 32
    // bits; unused keys sort last.
    std::array<std::int32_t, kBatchLimit> keys;
    keys.fill(std::numeric_limits<std::int32_t>::max());
    Entry* const entries = arena_.allocate_array<Entry>(count);
    for (std::size_t i = 0; i < count; ++i) {
      Entry& entry = *new (&entries[i]) Entry;
      const std::string_view key = make(i, entry.value);
      const std::uint64_t hash = siphash13(key_, key);
      entry.key_data = key.data();
      entry.key_size = static_cast<std::uint32_t>(key.size());
      entry.hash = slot_hash(hash);
      keys[i] = static_cast<std::int32_t>(shard_index(hash) << kPositionBits | i);
    }
    // Each item's place is the number of smaller keys, counted in a loop
    // the compiler vectorises (a comparison sort would branch on hash
    // values, which the processor mispredicts half the time).
    std::array<std::int32_t, kBatchLimit> sorted;
    for (std::size_t i = 0; i < count; ++i) {
      std::int32_t before = 0;
      for (std::size_t j = 0; j < kBatchLimit; ++j) before += keys[j] < keys[i];
      sorted[static_cast<std::size_t>(before)] = keys[i];
    }
    // Where each shard's run of items starts, and one block of the arena
    // for the directory and every shard with its table.
    std::array<std::uint8_t, kBatchLimit + 1> starts;
    std::size_t shards = 0;
    for (std::size_t i = 0; i < count; ++i) {
      starts[shards] = static_cast<std::uint8_t>(i);
      shards += i == 0 || (sorted[i] ^ sorted[i - 1]) >> kPositionBits != 0;
    }
    starts[shards] = static_cast<std::uint8_t>(count);
    const std::uint32_t directory_slots = directory_capacity(shards);
    std::size_t bytes = Directory::bytes(directory_slots);
    for (std::size_t g = 0; g < shards; ++g)
      bytes += Shard::bytes(table_capacity(static_cast<std::uint32_t>(starts[g + 1] - starts[g])));
    auto* block = static_cast<std::byte*>(arena_.allocate(bytes, alignof(Directory)));
    Directory* const directory = Directory::make_at(block, directory_slots);
    block += Directory::bytes(directory_slots);

    for (std::size_t g = 0; g < shards; ++g) {
      const std::size_t first = starts[g];
      const std::size_t end = starts[g + 1];
      const auto index = static_cast<std::uint32_t>(sorted[first] >> kPositionBits);
      // Each item goes in the first free slot from its home slot on, found
      // in a bit set of the taken slots without probing (the keys are
      // distinct and the table new).
      const auto items = static_cast<std::uint32_t>(end - first);
      const std::uint32_t capacity = table_capacity(items);
      Shard* shard = Shard::make_at(block, index, items, capacity);
      block += Shard::bytes(capacity);
      Table* table = shard->first_table();
      std::uint64_t taken = 0;  // a table holds at most 64 slots here
      for (std::size_t k = first; k < end; ++k) {
        const Entry& entry = entries[static_cast<std::size_t>(sorted[k]) & (kBatchLimit - 1)];
        const std::uint32_t home = entry.hash & table->mask;
        // The table's slots from home on, wrapping around its end.
        const std::uint64_t from_home =
            capacity == 64 ? std::rotr(taken, static_cast<int>(home)) : (taken | taken << capacity) >> home;
        const std::uint32_t slot = (home + static_cast<std::uint32_t>(std::countr_one(from_home))) & table->mask;
        taken |= std::uint64_t{1} << slot;
        table->slot(slot).store(&entry, std::memory_order_relaxed);
      }
      add_shard(directory, shard);
    }
    shards_made_ = static_cast<std::uint32_t>(shards);
    directory_.store(directory, std::memory_order_release);
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
    const Directory* directory = directory_.load(std::memory_order_acquire);
    const Shard* shard = directory == nullptr ? nullptr : find_shard(directory, shard_index(hash));
    if (shard == nullptr) return std::nullopt;
    return shard->lock.read_optimistically([&]() -> Result {
      if (const Entry* e = shard->lookup(slot_hash(hash), key); e != nullptr) return read(e->value);
      return std::nullopt;
    });
  }

  // The entry counts of the shards, each read under its shard's lock.
  std::size_t size() const noexcept {
    std::size_t total = 0;
    for_each_shard([&total](const Shard& shard) {
      total += shard.lock.read_optimistically([&shard] { return shard.size.load(std::memory_order_relaxed); });
    });
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
    for_each_shard([&](const Shard& shard) {
      if (count > gathered.size() - kSnapshotSlots) flush();
      const std::size_t taken = shard.lock.read_optimistically([&] { return shard.snapshot(gathered.data() + count); });
      if (taken != kTooMany) {
        count += taken;
        return;
      }
      flush();
      ReadGuard guard(shard.lock);
      const Table* table = shard.table.load(std::memory_order_acquire);
      for (std::uint32_t s = 0; s <= table->mask; ++s)
        if (const Entry* e = table->slot(s).load(std::memory_order_acquire); e != nullptr) visit(e->key(), e->value);
    });
    flush();
  }

  // The most arena bytes fill(count) takes, whatever the shard count and
  // the hash key: what a user sizes the arena's first buffer by.
  static constexpr std::size_t fill_bytes_at_most(std::size_t count) noexcept {
    // The most the shards of `n` items take, over every way the items may
    // fall into shards (most when each has a shard of its own).
    std::array<std::size_t, kBatchLimit + 1> shards{};
    for (std::size_t n = 1; n <= count; ++n)
      for (std::size_t k = 1; k <= n; ++k)
        shards[n] = std::max(shards[n], Shard::bytes(table_capacity(static_cast<std::uint32_t>(k))) + shards[n - k]);
    return count * sizeof(Entry) + shards[count] + Directory::bytes(directory_capacity_for(count, kMaxShards));
  }

 private:
  // Tables up to this size are copied out whole for visiting.
  static constexpr std::uint32_t kSnapshotSlots = 64;
  static constexpr std::size_t kTooMany = ~std::size_t{0};
  static constexpr std::uint32_t kFirstCapacity = 2;

  // Never changed once stored, so that readers may look at one while a
  // writer works on the shard. Only the hash's high half is kept: the low
  // half chose the shard, which an entry never leaves.
  struct Entry {
    const char* key_data;
    std::uint32_t key_size;
    std::uint32_t hash;
    Value value;

    std::string_view key() const noexcept { return {key_data, key_size}; }
  };

  // A power-of-two array of atomic pointers after its mask: the slots of a
  // shard's table, and those of the directory.
  template <class Item>
  struct alignas(std::atomic<Item*>) Slots {
    std::uint32_t mask;  // capacity - 1

    std::atomic<Item*>& slot(std::uint32_t i) const noexcept {
      return const_cast<std::atomic<Item*>*>(reinterpret_cast<const std::atomic<Item*>*>(this + 1))[i];
    }

    static constexpr std::size_t bytes(std::uint32_t capacity) noexcept {
      return sizeof(Slots) + std::size_t{capacity} * sizeof(std::atomic<Item*>);
    }

    // Built empty in memory of bytes(capacity). Capacities are powers of
    // two from two, so the slots are cleared two at a time: plain stores,
    // which for the few slots of a table are quicker than the call to
    // memset that a loop of single stores compiles to.
    static Slots* make_at(void* memory, std::uint32_t capacity) noexcept {
      static_assert(sizeof(Slots) % alignof(std::atomic<Item*>) == 0);
      Slots* slots = new (memory) Slots{capacity - 1};
      for (std::uint32_t i = 0; i < capacity; i += 2)
        for (std::uint32_t k = 0; k < 2; ++k) new (&slots->slot(i + k)) std::atomic<Item*>(nullptr);
      return slots;
    }

    static Slots* make(Arena& arena, std::uint32_t capacity) {
      return make_at(arena.allocate(bytes(capacity), alignof(Slots)), capacity);
    }
  };

  // An open-addressing table of entries. A table that grows is replaced by a
  // new one; readers holding the old one still see a consistent, if dated,
  // table (the arena keeps it).
  using Table = Slots<const Entry>;

  // Everything a reader may look at without the lock is atomic or never
  // changes once published; writers publish with release stores, readers
  // load with acquire.
  struct Shard {
    Shard(std::uint32_t shard_index, std::uint32_t entries, const Table* first) noexcept
        : size(entries), index(shard_index), table(first) {}

    mutable RwLock lock;
    std::atomic<std::uint32_t> size;
    const std::uint32_t index;
    std::atomic<const Table*> table;

    // A shard with its first table, of `capacity` slots, right after it,
    // for `entries` entries that its maker puts in the table.
    static constexpr std::size_t bytes(std::uint32_t capacity) noexcept {
      return sizeof(Shard) + Table::bytes(capacity);
    }
    static Shard* make_at(void* memory, std::uint32_t index, std::uint32_t entries, std::uint32_t capacity) noexcept {
      static_assert(sizeof(Shard) % alignof(Table) == 0 && alignof(Shard) >= alignof(Table));
      auto* shard = static_cast<Shard*>(memory);
      return new (shard) Shard(index, entries, Table::make_at(shard + 1, capacity));
    }
    static Shard* make(Arena& arena, std::uint32_t index, std::uint32_t entries, std::uint32_t capacity) {
      return make_at(arena.allocate(bytes(capacity), alignof(Shard)), index, entries, capacity);
    }
    Table* first_table() noexcept { return reinterpret_cast<Table*>(this + 1); }

    const Entry* lookup(std::uint32_t hash, std::string_view key) const noexcept {
      return find_slot(table.load(std::memory_order_acquire), hash, key)->load(std::memory_order_acquire);
    }

    // The slot holding key, or the empty slot that ends its probe path.
    static std::atomic<const Entry*>* find_slot(const Table* t, std::uint32_t hash, std::string_view key) noexcept {
      for (std::uint32_t i = hash;; ++i) {
        std::atomic<const Entry*>& slot = t->slot(i & t->mask);
        const Entry* e = slot.load(std::memory_order_acquire);
        if (e == nullptr || (e->hash == hash && e->key() == key)) return &slot;
      }
    }

    // Copies the shard's entries into `out` (kSnapshotSlots long) and
    // returns their count, or kTooMany for a larger table. Which slots are
    // taken follows the random hash key, so they are gathered without a
    // branch per slot, which would be mispredicted half the time.
    std::size_t snapshot(const Entry** out) const noexcept {
      const Table* t = table.load(std::memory_order_acquire);
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
      std::uint32_t capacity = old->mask + 1;
      while (wanted * 2 > capacity) capacity *= 2;
      if (capacity == old->mask + 1) return;

      Table* grown = Table::make(arena, capacity);
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

  // The shards made, each in the first free slot from its index on. A
  // directory is at most three quarters full unless it has a slot for every
  // shard, where each shard has its own; either way a search ends.
  using Directory = Slots<Shard>;

  static const Shard* find_shard(const Directory* directory, std::uint32_t index) noexcept {
    for (std::uint32_t i = index;; ++i) {
      const Shard* shard = directory->slot(i & directory->mask).load(std::memory_order_acquire);
      if (shard == nullptr || shard->index == index) return shard;
    }
  }

  // For writers; the shard is not in the directory yet.
  static void add_shard(Directory* directory, Shard* shard) noexcept {
    std::uint32_t i = shard->index;
    while (directory->slot(i & directory->mask).load(std::memory_order_relaxed) != nullptr) ++i;
    directory->slot(i & directory->mask).store(shard, std::memory_order_release);
  }

  // Items of a batch are ordered by (shard, position) keys packed into 32
  // bits: the position in the low bits, the shard index above them.
  static constexpr int kPositionBits = std::bit_width(kBatchLimit - 1);
  static_assert((kMaxShards << kPositionBits) <= (std::size_t{1} << 30), "keys must stay below the padding key");

  // A new shard's table, at a load of at most one half.
  static constexpr std::uint32_t table_capacity(std::uint32_t items) noexcept {
    return std::max(kFirstCapacity, std::bit_ceil(2 * items));
  }

  // Room for `shards` shards of a map of `shard_count`: no more slots than
  // shards, and at least two, as every array of slots has.
  static constexpr std::uint32_t directory_capacity_for(std::size_t shards, std::size_t shard_count) noexcept {
    const std::size_t wanted = std::bit_ceil((4 * std::max<std::size_t>(shards, 1) + 2) / 3);
    return static_cast<std::uint32_t>(std::max<std::size_t>(std::min(wanted, shard_count), 2));
  }
  std::uint32_t directory_capacity(std::size_t shards) const noexcept {
    return directory_capacity_for(shards, shard_count());
  }

  std::uint32_t shard_index(std::uint64_t hash) const noexcept {
    return static_cast<std::uint32_t>(hash) & shard_mask_;
  }
  static std::uint32_t slot_hash(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }

  template <class Visit>
  void for_each_shard(Visit&& visit) const {
    const Directory* directory = directory_.load(std::memory_order_acquire);
    if (directory == nullptr) return;
    for (std::uint32_t i = 0; i <= directory->mask; ++i)
      if (const Shard* shard = directory->slot(i).load(std::memory_order_acquire); shard != nullptr) visit(*shard);
  }

  // Inserts are serialised by the map's user, so a missing shard is made,
  // and the directory grown, without a race between writers; readers see
  // both fully built.
  Shard& shard_for_insert(std::uint32_t index) {
    Directory* directory = directory_.load(std::memory_order_relaxed);
    if (directory != nullptr)
      if (const Shard* shard = find_shard(directory, index); shard != nullptr) return const_cast<Shard&>(*shard);
    Shard* shard = Shard::make(arena_, index, 0, kFirstCapacity);
    ++shards_made_;
    const std::uint32_t capacity = directory_capacity(shards_made_);
    if (directory != nullptr && capacity == directory->mask + 1) {
      add_shard(directory, shard);
      return *shard;
    }
    Directory* grown = Directory::make(arena_, capacity);
    if (directory != nullptr)
      for (std::uint32_t i = 0; i <= directory->mask; ++i)
        if (Shard* old = directory->slot(i).load(std::memory_order_relaxed); old != nullptr) add_shard(grown, old);
    add_shard(grown, shard);
    directory_.store(grown, std::memory_order_release);
    return *shard;
  }

  Arena& arena_;
  std::atomic<Directory*> directory_{nullptr};
  std::uint32_t shard_mask_;
  std::uint32_t shards_made_ = 0;  // written by inserts only
  SipKey key_;
};

}  // namespace korvex
