// A concurrent hash map split into shards, each an open-addressing table
// behind its own reader-writer lock: inserts from one thread at a time,
// reads from any number, also while one inserts (docs/design.md).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cassert>
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

template <class Value>
class ShardedMap {
  static_assert(std::is_trivially_destructible_v<Value>, "entries live in an arena and are never destroyed singly");

 public:
  // The most shards a map may have (2^25).
  static constexpr std::size_t kMaxShards = std::size_t{1} << 25;

  // shard_count must be a power of two, at most kMaxShards. The map takes
  // nothing from the arena until its first entry.
  ShardedMap(Arena& arena, std::size_t shard_count, SipKey key) noexcept
      : arena_(arena), shard_mask_(static_cast<std::uint32_t>(shard_count - 1)), key_(key) {
    assert(std::has_single_bit(shard_count) && shard_count <= kMaxShards);
  }

  // A map filled once and never changed afterwards.
  class Image;
  // A map of the image's entries, with its shard count and hash key. It
  // reads the image's shards until its first insert, which first gives it
  // shards of its own holding the same entries.
  ShardedMap(Arena& arena, const Image& image) noexcept
      : arena_(arena),
        directory_(image.map_.directory_.load(std::memory_order_relaxed)),
        image_(&image),
        shard_mask_(image.map_.shard_mask_),
        key_(image.map_.key_) {}
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  std::size_t shard_count() const noexcept { return std::size_t{shard_mask_} + 1; }

  // Stores value under key, whose bytes must stay valid as long as the map
  // (they normally live in the same arena). Returns the value that was
  // stored under an equal key before, if any.
  std::optional<Value> insert(std::string_view key, const Value& value) {
    if (image_ != nullptr) copy_image();
    const std::uint64_t hash = siphash13(key_, key);
    Shard& shard = shard_for_insert(shard_index(hash));
    WriteGuard guard(shard.lock);
    shard.reserve(arena_, 1);
    return shard.link(new (arena_.allocate_array<Entry>(1))
                          Entry{key.data(), static_cast<std::uint32_t>(key.size()), slot_hash(hash), value});
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

  // The entry counts of the shards added up, each read optimistically (and
  // again under the shard's read lock if a writer came by); with inserts
  // running, the counts may be of different moments.
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

    // Built empty; capacity must be a power of two.
    static Slots* make(Arena& arena, std::uint32_t capacity) {
      static_assert(sizeof(Slots) % alignof(std::atomic<Item*>) == 0);
      assert(std::has_single_bit(capacity));
      Slots* slots = new (arena.allocate(bytes(capacity), alignof(Slots))) Slots{capacity - 1};
      for (std::uint32_t i = 0; i < capacity; ++i) new (&slots->slot(i)) std::atomic<Item*>(nullptr);
      return slots;
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
    Shard(std::uint32_t shard_index, const Table* first) noexcept : size(0), index(shard_index), table(first) {}

    mutable RwLock lock;
    std::atomic<std::uint32_t> size;
    const std::uint32_t index;
    std::atomic<const Table*> table;

    static Shard* make(Arena& arena, std::uint32_t index) {
      const Table* first = Table::make(arena, kFirstCapacity);
      return new (arena.allocate_array<Shard>(1)) Shard(index, first);
    }

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
      const Table* t = table.load(std::memory_order_relaxed);
      assert(size.load(std::memory_order_relaxed) <= t->mask);  // a free slot ends every probe path
      std::atomic<const Entry*>& slot = *find_slot(t, entry->hash, entry->key());
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

  // Room for `shards` shards: no more slots than the map has shards, and
  // at least two, as every array of slots has.
  std::uint32_t directory_capacity(std::size_t shards) const noexcept {
    const std::size_t wanted = std::bit_ceil((4 * std::max<std::size_t>(shards, 1) + 2) / 3);
    return static_cast<std::uint32_t>(std::max<std::size_t>(std::min(wanted, shard_count()), 2));
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
    Shard* shard = Shard::make(arena_, index);
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

  // Gives a map made from an image shards of its own, holding the image's
  // entries, and publishes them whole: readers still in the image's shards
  // meanwhile find the same entries there.
  void copy_image() {
    assert(image_ != nullptr && shards_made_ == 0);
    ShardedMap own(arena_, shard_count(), key_);
    image_->map_.for_each([&own](std::string_view key, const Value& value) { own.insert(key, value); });
    shards_made_ = own.shards_made_;
    directory_.store(own.directory_.load(std::memory_order_relaxed), std::memory_order_release);
    image_ = nullptr;
  }

  Arena& arena_;
  std::atomic<Directory*> directory_{nullptr};
  const Image* image_ = nullptr;  // whose shards the map reads until its first insert
  std::uint32_t shard_mask_;
  std::uint32_t shards_made_ = 0;  // written by inserts only
  SipKey key_;
};

// Filled by fill(ShardedMap&) when made, and never changed afterwards; the
// keys' bytes must outlive it and every map made from it. Readers of those
// maps write nothing to it, so any number of threads may share it.
template <class Value>
class ShardedMap<Value>::Image {
 public:
  template <class Fill>
  Image(std::size_t shard_count, SipKey key, Fill&& fill) : map_(arena_, shard_count, key) {
    fill(map_);
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const ShardedMap& map() const noexcept { return map_; }

 private:
  friend class ShardedMap;
  Arena arena_{nullptr, 0};
  ShardedMap map_;
};

}  // namespace korvex
