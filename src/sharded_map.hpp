// A concurrent hash map split into shards, each an open-addressing table
// behind its own reader-writer lock.
//
// Keys are hashed with SipHash-1-3 under a key that is fresh for every map.
// The low bits of a hash pick the shard and the high bits the slot inside
// it, so the two choices do not correlate. Every operation holds at most one
// shard lock at a time, so there is no lock order to keep.
//
// Entries, key texts and tables all live in an arena owned by the map's
// user. Inserting allocates from that arena, so the user must not insert
// from two threads at once; reading (find, size, for_each) is safe from any
// number of threads, also while one thread inserts.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  static_assert(std::is_trivially_destructible_v<Value>,
                "entries live in an arena and are never destroyed singly");

 public:
  // shard_count must be a power of two.
  ShardedMap(Arena& arena, std::size_t shard_count, SipKey key)
      : arena_(arena),
        shards_(arena.allocate_array<Shard>(shard_count)),
        shard_mask_(shard_count - 1),
        key_(key) {
    for (std::size_t i = 0; i < shard_count; ++i) new (&shards_[i]) Shard();
  }
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  std::size_t shard_count() const noexcept { return shard_mask_ + 1; }

  // Stores value under key, whose bytes must stay valid as long as the map
  // (they normally live in the same arena). Returns the value that was
  // stored under an equal key before, if any.
  std::optional<Value> insert(std::string_view key, const Value& value) {
    const std::uint64_t hash = siphash13(key_, key);
    Shard& shard = shard_for(hash);
    WriteGuard guard(shard.lock);
    if (Entry* existing = shard.lookup(hash, key); existing != nullptr) {
      std::optional<Value> replaced(existing->value);
      existing->value = value;
      return replaced;
    }
    if (shard.needs_room()) shard.grow(arena_);
    Entry* entry = arena_.allocate_array<Entry>(1);
    new (entry) Entry{hash, key.data(), static_cast<std::uint32_t>(key.size()), value};
    *shard.free_slot(hash) = entry;
    ++shard.size;
    return std::nullopt;
  }

  // Calls read(value) under the shard's read lock when key is present and
  // returns its result; returns an empty optional on a miss.
  template <class Read>
  auto find(std::string_view key, Read&& read) const
      -> std::optional<std::invoke_result_t<Read&, const Value&>> {
    const std::uint64_t hash = siphash13(key_, key);
    const Shard& shard = shard_for(hash);
    ReadGuard guard(shard.lock);
    if (const Entry* e = shard.lookup(hash, key); e != nullptr) return read(e->value);
    return std::nullopt;
  }

  // The entry counts of the shards, each read under its shard's read lock.
  std::size_t size() const noexcept {
    std::size_t total = 0;
    for (std::size_t i = 0; i <= shard_mask_; ++i) {
      ReadGuard guard(shards_[i].lock);
      total += shards_[i].size;
    }
    return total;
  }

  // Calls visit(key, value) for every entry, shard after shard, holding each
  // shard's read lock while visiting that shard's entries.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t i = 0; i <= shard_mask_; ++i) {
      const Shard& shard = shards_[i];
      ReadGuard guard(shard.lock);
      if (shard.size == 0) continue;
      for (std::uint32_t s = 0; s <= shard.slot_mask; ++s)
        if (const Entry* e = shard.slots[s]; e != nullptr) visit(e->key(), e->value);
    }
  }

 private:
  struct Entry {
    std::uint64_t hash;
    const char* key_data;
    std::uint32_t key_size;
    Value value;

    std::string_view key() const noexcept { return {key_data, key_size}; }
  };

  struct Shard {
    mutable RwLock lock;
    std::uint32_t size = 0;
    std::uint32_t slot_mask = 0;  // capacity - 1; no table while slots is null
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

    // Keeps the load at or below three quarters.
    bool needs_room() const noexcept {
      return slots == nullptr || (size + 1) * 4 > (slot_mask + 1) * 3;
    }

    void grow(Arena& arena) {
      const std::uint32_t capacity = slots == nullptr ? kFirstCapacity : (slot_mask + 1) * 2;
      Entry** old = slots;
      const std::uint32_t old_capacity = old == nullptr ? 0 : slot_mask + 1;
      slots = arena.allocate_array<Entry*>(capacity);
      std::memset(static_cast<void*>(slots), 0, sizeof(Entry*) * capacity);
      slot_mask = capacity - 1;
      for (std::uint32_t i = 0; i < old_capacity; ++i)
        if (Entry* e = old[i]; e != nullptr) *free_slot(e->hash) = e;
    }
  };

  static constexpr std::uint32_t kFirstCapacity = 4;

  Shard& shard_for(std::uint64_t hash) const noexcept { return shards_[hash & shard_mask_]; }

  Arena& arena_;
  Shard* shards_;
  std::size_t shard_mask_;
  SipKey key_;
};

}  // namespace korvex
