// The constants registry: seventeen named quantities, complete when the
// constructor returns and never changed afterwards by the module.
//
// Its public API is wider than the module's use, on purpose: insert() here,
// five of RegistryError's six kinds and QuarkRegistry's insert() and find()
// are the core's own API, defined, tested and kept, and none of them adds to
// the cost of a read. How records are stored, and why: docs/design.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "arena.hpp"
#include "constant_record.hpp"
#include "constant_record_view.hpp"
#include "processors.hpp"
#include "registry_error.hpp"
#include "rw_lock.hpp"
#include "sharded_map.hpp"

namespace korvex {

class FormulasRegistry {
 public:
  // The entries of a new registry: ten seeded constants and seven derived
  // entries.
  static constexpr std::size_t kEntryCount = 17;

  // A fully seeded registry with the process's shard count.
  FormulasRegistry();
  // The same with a chosen shard count, a power of two (tests, benchmarks).
  explicit FormulasRegistry(std::size_t shard_count);

  FormulasRegistry(const FormulasRegistry&) = delete;
  FormulasRegistry& operator=(const FormulasRegistry&) = delete;

  // An independent deep copy of the record stored under exactly these bytes,
  // or NotFound carrying a copy of the name.
  std::expected<ConstantRecord, RegistryError> get(std::string_view name) const;
  // The same lookup, copying only the value.
  std::expected<double, RegistryError> get_value(std::string_view name) const {
    return read(name, [](const ConstantRecordView& r) { return r.value(); });
  }
  // The same lookup, returning what read(const ConstantRecordView&) makes
  // of the record. The view is valid only inside read. read may run twice:
  // first without the shard's lock (an optimistic read), then again under
  // the lock when a writer came by meanwhile; each run sees a whole, valid
  // record, and the last run's result is returned. So read must only make
  // its result from the view, doing nothing that must happen once.
  template <class Read>
  auto read(std::string_view name, Read&& read) const
      -> std::expected<std::invoke_result_t<Read&, const ConstantRecordView&>, RegistryError> {
    auto result = map_.find(name, read);
    if (!result) return std::unexpected(RegistryError::not_found(name));
    return std::move(*result);
  }

  // Stores the record under key and returns the record it replaced, if any.
  // Safe against concurrent readers; inserts are serialised among themselves.
  std::optional<ConstantRecord> insert(std::string_view key, const ConstantRecord& record);

  // The number of entries: the shards' counts added up.
  std::size_t len() const noexcept { return map_.size(); }

  // Calls visit(key, const ConstantRecordView&) for every entry, shard after
  // shard, in an order that depends on the map's random hash key.
  template <class Visit>
  void for_each(Visit&& visit) const {
    map_.for_each(visit);
  }

  std::size_t shard_count() const noexcept { return map_.shard_count(); }
  // Heap chunks the arena took: none until the first insert.
  std::size_t arena_chunk_count() const noexcept { return arena_.chunk_count(); }

 private:
  struct Fields;
  struct SeededRecords;
  // Copies a record's texts into the arena. The caller guarantees that no
  // insert runs at the same time.
  ConstantRecordView copy_into_arena(const Fields& fields);
  // The seeded map at this shard count, which every registry copies.
  static const ShardedMap<ConstantRecordView>::Image& seeded_image(std::size_t shard_count);

  Arena arena_{nullptr, 0};
  ShardedMap<ConstantRecordView> map_;
  RwLock insert_lock_;
};

}  // namespace korvex
