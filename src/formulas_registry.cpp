#include "formulas_registry.hpp"

#include <array>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <span>
#include <string>

namespace korvex {

// The borrowed form of a record that copy_into_arena copies.
struct FormulasRegistry::Fields {
  std::string_view name;
  double value = 0.0;
  std::string_view units;
  std::optional<double> uncertainty;
  ConstantStatus status = ConstantStatus::Seed;
  std::optional<std::string_view> formula;
  std::span<const std::string_view> dependencies;

  // The view of this record once its texts are laid out at `texts` (see
  // ConstantRecordView), for the seeded records and inserted ones alike.
  constexpr ConstantRecordView view(const char* texts) const noexcept {
    ConstantRecordView view;
    view.texts_ = texts;
    view.value_ = value;
    view.uncertainty_ = uncertainty.value_or(0.0);
    view.has_uncertainty_ = uncertainty.has_value();
    view.name_size_ = static_cast<std::uint32_t>(name.size());
    view.units_size_ = static_cast<std::uint32_t>(units.size());
    view.formula_size_ = static_cast<std::uint32_t>(formula.value_or(std::string_view()).size());
    view.has_formula_ = formula.has_value();
    view.dependency_count_ = static_cast<std::uint32_t>(dependencies.size());
    view.status_ = status;
    return view;
  }
};

namespace {

struct SeedRow {
  std::string_view name;
  double value;
  std::string_view units;
};

constexpr double kGoldenRatio = 1.618033988749895;
constexpr double kEulerMascheroni = 0.5772156649015329;
static_assert(std::bit_cast<std::uint64_t>(kGoldenRatio) == 0x3FF9E3779B97F4A8ULL);
static_assert(std::bit_cast<std::uint64_t>(kEulerMascheroni) == 0x3FE2788CFC6FB619ULL);

constexpr std::array<SeedRow, 10> kSeededConstants{{
    {"b3", 24.0, "dimensionless"},
    {"chi_eff", 72.0, "dimensionless"},
    {"n_gen", 3.0, "count"},
    {"roots_total", 288.0, "count"},
    {"visible_sector", 125.0, "count"},
    {"sterile_sector", 163.0, "count"},
    {"phi", kGoldenRatio, "dimensionless"},
    {"gamma_em", kEulerMascheroni, "dimensionless"},
    {"jc_constant", 153.0, "count"},
    {"logic_closure", 288.0, "count"},
}};

// A derived entry's formula is an expression over other entries, or a single
// number in the shortest plain decimal that reads back to it.
struct DerivedRow {
  std::string_view name;
  std::string_view formula;
  std::string_view units;
  std::span<const std::string_view> dependencies;
};

constexpr std::array<std::string_view, 2> kSterileCheckDeps{"roots_total", "visible_sector"};
constexpr std::array<std::string_view, 1> kNGenSqDeps{"n_gen"};
constexpr std::array<std::string_view, 2> kTopoGenCheckDeps{"chi_eff", "b3"};

constexpr std::array<DerivedRow, 7> kDerivedEntries{{
    {"v_higgs_mev", "246220", "MeV", {}},
    {"sterile_check", "roots_total - visible_sector", "count", kSterileCheckDeps},
    {"n_gen_sq", "n_gen * n_gen", "count", kNGenSqDeps},
    {"h0_central", "70", "km/s/Mpc", {}},
    {"w0_central", "-1", "dimensionless", {}},
    {"m_tau_mev", "1776.86", "MeV", {}},
    {"topo_gen_check", "chi_eff / b3", "count", kTopoGenCheckDeps},
}};

constexpr std::size_t kEntryCount = FormulasRegistry::kEntryCount;
static_assert(kEntryCount == kSeededConstants.size() + kDerivedEntries.size());

// The seeded names are distinct: each is an entry of its own.
static_assert([] {
  std::array<std::string_view, kEntryCount> names;
  for (std::size_t i = 0; i < kSeededConstants.size(); ++i) names[i] = kSeededConstants[i].name;
  for (std::size_t d = 0; d < kDerivedEntries.size(); ++d) names[kSeededConstants.size() + d] = kDerivedEntries[d].name;
  for (std::size_t a = 0; a < names.size(); ++a)
    for (std::size_t b = 0; b < a; ++b)
      if (names[a] == names[b]) return false;
  return true;
}());

constexpr std::uint32_t size32(std::string_view text) { return static_cast<std::uint32_t>(text.size()); }

// The bytes of a record as the registry stores them (see ConstantRecordView).
constexpr std::size_t stored_size(std::string_view name, std::string_view units, std::string_view formula,
                                  std::span<const std::string_view> dependencies) {
  std::size_t size = name.size() + units.size() + formula.size();
  for (std::string_view dependency : dependencies) size += sizeof(std::uint32_t) + dependency.size();
  return size;
}

template <class Out>
constexpr Out write_stored(Out out, std::string_view name, std::string_view units, std::string_view formula,
                           std::span<const std::string_view> dependencies) {
  auto copy = [&out](std::string_view text) {
    for (char c : text) *out++ = c;
  };
  copy(name);
  copy(units);
  copy(formula);
  for (std::string_view dependency : dependencies) {
    const auto size = std::bit_cast<std::array<char, sizeof(std::uint32_t)>>(size32(dependency));
    for (char c : size) *out++ = c;
    copy(dependency);
  }
  return out;
}

constexpr std::size_t kSeededTextBytes = [] {
  std::size_t size = 0;
  for (const SeedRow& row : kSeededConstants) size += stored_size(row.name, row.units, "", {});
  for (const DerivedRow& row : kDerivedEntries) size += stored_size(row.name, row.units, row.formula, row.dependencies);
  return size;
}();

}  // namespace

// The seeded records laid out once, at compile time, as the registry stores
// them: their texts back to back, and each record's view, which the
// registry copies whole. The texts are the module's constant data, read
// in place by every registry, since nothing ever changes them.
struct FormulasRegistry::SeededRecords {
  std::array<char, kSeededTextBytes> bytes{};
  std::array<std::uint32_t, kEntryCount> offsets{};
  std::array<ConstantRecordView, kEntryCount> views;

  static constexpr SeededRecords make() {
    SeededRecords records;
    char* const begin = records.bytes.data();
    char* out = begin;
    auto add = [&](std::size_t i, const Fields& fields) {
      records.offsets[i] = static_cast<std::uint32_t>(out - begin);
      out = write_stored(out, fields.name, fields.units, fields.formula.value_or(""), fields.dependencies);
      records.views[i] = fields.view(nullptr);  // texts set by placed_views, once the bytes have their final address
    };
    for (std::size_t i = 0; i < kSeededConstants.size(); ++i) {
      const SeedRow& row = kSeededConstants[i];
      add(i, {row.name, row.value, row.units, std::nullopt, ConstantStatus::Seed, std::nullopt, {}});
    }
    for (std::size_t d = 0; d < kDerivedEntries.size(); ++d) {
      const DerivedRow& row = kDerivedEntries[d];
      add(kSeededConstants.size() + d,
          {row.name, 0.0, row.units, std::nullopt, ConstantStatus::Pending, row.formula, row.dependencies});
    }
    return records;
  }

  // The views pointing into these bytes; called on records of
  // static storage, so the addresses are constants too.
  constexpr std::array<ConstantRecordView, kEntryCount> placed_views() const {
    std::array<ConstantRecordView, kEntryCount> placed = views;
    for (std::size_t i = 0; i < kEntryCount; ++i) placed[i].texts_ = bytes.data() + offsets[i];
    return placed;
  }
};

FormulasRegistry::FormulasRegistry() : FormulasRegistry(process_shard_count()) {}

FormulasRegistry::FormulasRegistry(std::size_t shard_count) : map_(arena_, seeded_image(shard_count)) {}

const ShardedMap<ConstantRecordView>::Image& FormulasRegistry::seeded_image(std::size_t shard_count) {
  static constexpr SeededRecords kRecords = SeededRecords::make();
  static constexpr std::array<ConstantRecordView, kEntryCount> kViews = kRecords.placed_views();
  using Image = ShardedMap<ConstantRecordView>::Image;

  // One image per shard count, filled on first use under a hash key of its
  // own and kept for the life of the process, for registries made by
  // threads that may outlive static destruction. Two threads that both
  // miss make one each; the first stored is kept, the other freed.
  static std::array<std::atomic<const Image*>, std::bit_width(ShardedMap<ConstantRecordView>::kMaxShards)> images{};
  assert(std::has_single_bit(shard_count) && shard_count <= ShardedMap<ConstantRecordView>::kMaxShards);
  std::atomic<const Image*>& slot = images[static_cast<std::size_t>(std::countr_zero(shard_count))];
  const Image* image = slot.load(std::memory_order_acquire);
  if (image != nullptr) return *image;
  auto made = std::make_unique<const Image>(shard_count, fresh_sip_key(), [](ShardedMap<ConstantRecordView>& map) {
    for (const ConstantRecordView& view : kViews) map.insert(view.name(), view);
  });
  if (slot.compare_exchange_strong(image, made.get(), std::memory_order_acq_rel, std::memory_order_acquire))
    return *made.release();
  return *image;
}

ConstantRecordView FormulasRegistry::copy_into_arena(const Fields& fields) {
  const std::string_view formula = fields.formula.value_or(std::string_view());
  char* const texts = arena_.allocate_array<char>(stored_size(fields.name, fields.units, formula, fields.dependencies));
  write_stored(texts, fields.name, fields.units, formula, fields.dependencies);
  return fields.view(texts);
}

std::optional<ConstantRecord> FormulasRegistry::insert(std::string_view key, const ConstantRecord& record) {
  std::vector<std::string_view> dependencies(record.dependencies.begin(), record.dependencies.end());
  Fields fields;
  fields.name = record.name;
  fields.value = record.value;
  fields.units = record.units;
  fields.uncertainty = record.uncertainty;
  fields.status = record.status;
  if (record.formula) fields.formula = *record.formula;
  fields.dependencies = dependencies;

  // The arena is not safe for two inserts at once; readers never touch it.
  WriteGuard serialised(insert_lock_);
  const ConstantRecordView view = copy_into_arena(fields);
  // The key normally equals the name; it then shares the name's bytes.
  std::string_view stored_key = view.name();
  if (key != stored_key) {
    char* key_bytes = arena_.allocate_array<char>(key.size());
    if (!key.empty()) std::memcpy(key_bytes, key.data(), key.size());
    stored_key = std::string_view(key_bytes, key.size());
  }
  const std::optional<ConstantRecordView> replaced = map_.insert(stored_key, view);
  if (!replaced) return std::nullopt;
  return replaced->to_record();
}

std::expected<ConstantRecord, RegistryError> FormulasRegistry::get(std::string_view name) const {
  return read(name, [](const ConstantRecordView& r) { return r.to_record(); });
}

}  // namespace korvex
