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
#include <optional>
#include <span>
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
  struct KeyValue {
    std::string_view key;
    Value value;
  };

  // shard_count must be a power of two. Shards are made on their first
  // insert, so a map on a host with many processors does not pay for the
  // ones its entries never reach.
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
    if (std::optional<Value> replaced = shard.replace(hash, key, value)) return replaced;
    shard.reserve(arena_, 1);
    shard.link(new (arena_.allocate_array<Entry>(1))
                   Entry{hash, key.data(), static_cast<std::uint32_t>(key.size()), value});
    return std::nullopt;
  }

  // Inserts every item as insert() would, in order, but takes each shard's
  // write lock once for all of its items in a run of up to kBatchLimit: what
  // a constructor filling a new map does.
  void insert_batch(std::span<const KeyValue> items) {
    for (std::size_t first = 0; first < items.size(); first += kBatchLimit)
      insert_run(items.subspan(first, std::min(kBatchLimit, items.size() - first)));
  }

  // Calls read(value) under the shard's read lock when key is present and
  // returns its result; returns an empty optional on a miss.
  template <class Read>
  auto find(std::string_view key, Read&& read) const -> std::optional<std::invoke_result_t<Read&, const Value&>> {
    const std::uint64_t hash = siphash13(key_, key);
    const Shard* shard = shards_[hash & shard_mask_].load(std::memory_order_acquire);
    if (shard == nullptr) return std::nullopt;
    ReadGuard guard(shard->lock);
    if (const Entry* e = shard->lookup(hash, key); e != nullptr) return read(e->value);
    return std::nullopt;
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

  // Calls visit(key, value) for every entry, shard after shard, holding each
  // shard's read lock while visiting that shard's entries.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t i = 0; i <= shard_mask_; ++i) {
      const Shard* shard = shards_[i].load(std::memory_order_acquire);
      if (shard == nullptr) continue;
      ReadGuard guard(shard->lock);
      if (shard->slots == nullptr) continue;
      // Which slots are taken follows the random hash key, so a branch per
      // slot would be mispredicted half the time; the taken ones are
      // gathered without branches first (small tables at a time).
      const Entry* taken[kGatherSlots];
      for (std::uint32_t first = 0; first <= shard->slot_mask; first += kGatherSlots) {
        const std::uint32_t end = std::min<std::uint32_t>(shard->slot_mask + 1, first + kGatherSlots);
        std::size_t count = 0;
        for (std::uint32_t s = first; s < end; ++s) {
          taken[count] = shard->slots[s];
          count += taken[count] != nullptr;
        }
        for (std::size_t i = 0; i < count; ++i) visit(taken[i]->key(), taken[i]->value);
      }
    }
  }

 private:
  static constexpr std::size_t kBatchLimit = 32;
  static constexpr std::uint32_t kGatherSlots = 16;

  void insert_run(std::span<const KeyValue> items) {
    const std::size_t count = items.size();
    std::array<std::uint64_t, kBatchLimit> hashes;
    for (std::size_t i = 0; i < count; ++i) hashes[i] = siphash13(key_, items[i].key);

    // Each shard's items as a bit set over item positions, so that a shard's
    // items are taken together and in item order. Found without branches:
    // which shard an item falls into is random.
    std::array<std::uint32_t, kBatchLimit> groups;
    std::size_t group_count = 0;
    std::uint32_t pending = count == 32 ? ~0u : (1u << count) - 1;
    while (pending != 0) {
      const auto first = static_cast<std::size_t>(std::countr_zero(pending));
      const std::uint64_t shard = hashes[first] & shard_mask_;
      std::uint32_t group = 0;
      for (std::size_t j = first; j < count; ++j)
        group |= static_cast<std::uint32_t>((hashes[j] & shard_mask_) == shard) << j;
      pending &= ~group;
      groups[group_count++] = group;
    }

    Entry* const entries = arena_.allocate_array<Entry>(count);
    for (std::size_t g = 0; g < group_count; ++g) {
      const std::uint32_t group = groups[g];
      const std::size_t index = hashes[std::countr_zero(group)] & shard_mask_;
      // A shard this batch creates is born holding its write lock and is
      // shared only once filled and released; an existing one is locked.
      Shard* shard = shards_[index].load(std::memory_order_relaxed);
      const bool is_new = shard == nullptr;
      if (is_new)
        shard = new (arena_.allocate_array<Shard>(1)) Shard(RwLock::held_for_writing);
      else
        shard->lock.lock();
      std::uint32_t size = 0;
      for (std::uint32_t rest = group; rest != 0; rest &= rest - 1) ++size;
      shard->reserve(arena_, size);
      for (std::uint32_t rest = group; rest != 0; rest &= rest - 1) {
        const auto j = static_cast<std::size_t>(std::countr_zero(rest));
        if (shard->replace(hashes[j], items[j].key, items[j].value)) continue;
        shard->link(new (&entries[j]) Entry{hashes[j], items[j].key.data(),
                                            static_cast<std::uint32_t>(items[j].key.size()), items[j].value});
      }
      if (is_new) {
        shard->lock.unlock_unshared();
        shards_[index].store(shard, std::memory_order_release);
      } else {
        shard->lock.unlock();
      }
    }
  }

  struct Entry {
    std::uint64_t hash;
    const char* key_data;
    std::uint32_t key_size;
    Value value;

    std::string_view key() const noexcept { return {key_data, key_size}; }
  };

  struct Shard {
    Shard() noexcept = default;
    explicit Shard(RwLock::HeldForWriting held) noexcept : lock(held) {}

    mutable RwLock lock;
    std::atomic<std::uint32_t> size{0};  // also read optimistically, hence atomic
    std::uint32_t slot_mask = 0;         // capacity - 1; no table while slots is null
    Entry** slots = nullptr;

    Entry* lookup(std::uint64_t hash, std::string_view key) const noexcept {
      if (slots == nullptr) return nullptr;
      for (std::uint32_t i = static_cast<std::uint32_t>(hash >> 32);; ++i) {
        Entry* e = slots[i & slot_mask];
        if (e == nullptr) return nullptr;
        if (e->hash == hash && e->key_size == key.size() && std::memcmp(e->key_data, key.data(), key.size()) == 0)
          return e;
      }
    }

    // The first empty slot on hash's probe path; the table must have room.
    Entry** free_slot(std::uint64_t hash) const noexcept {
      std::uint32_t i = static_cast<std::uint32_t>(hash >> 32);
      while (slots[i & slot_mask] != nullptr) ++i;
      return &slots[i & slot_mask];
    }

    // Makes room for `more` entries at a load of at most three quarters.
    void reserve(Arena& arena, std::uint32_t more) {
      const std::uint32_t wanted = size.load(std::memory_order_relaxed) + more;
      std::uint32_t capacity = slots == nullptr ? kFirstCapacity : slot_mask + 1;
      while (wanted * 4 > capacity * 3) capacity *= 2;
      if (slots != nullptr && capacity == slot_mask + 1) return;

      Entry** old = slots;
      const std::uint32_t old_capacity = old == nullptr ? 0 : slot_mask + 1;
      slots = arena.allocate_array<Entry*>(capacity);
      // The common first table is cleared with a fixed-size fill, which the
      // compiler turns into plain stores that later loads can forward from.
      if (capacity == kFirstCapacity)
        std::memset(static_cast<void*>(slots), 0, sizeof(Entry*) * kFirstCapacity);
      else
        std::memset(static_cast<void*>(slots), 0, sizeof(Entry*) * capacity);
      slot_mask = capacity - 1;
      for (std::uint32_t i = 0; i < old_capacity; ++i)
        if (Entry* e = old[i]; e != nullptr) *free_slot(e->hash) = e;
    }

    // The caller holds the write lock for both of these.
    // Gives an equal key the new value, returning the old one.
    std::optional<Value> replace(std::uint64_t hash, std::string_view key, const Value& value) {
      Entry* existing = lookup(hash, key);
      if (existing == nullptr) return std::nullopt;
      std::optional<Value> replaced(existing->value);
      existing->value = value;
      return replaced;
    }
    // Adds a new entry; the table must have room.
    void link(Entry* entry) noexcept {
      *free_slot(entry->hash) = entry;
      size.store(size.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  };

  static constexpr std::uint32_t kFirstCapacity = 4;

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
