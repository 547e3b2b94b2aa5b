#include "formulas_registry.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <span>
#include <string>

#include "decimal.hpp"

namespace korvex {

// The borrowed form of a record that `store` copies from.
struct FormulasRegistry::Fields {
  std::string_view name;
  double value = 0.0;
  std::string_view units;
  std::optional<double> uncertainty;
  ConstantStatus status = ConstantStatus::Seed;
  std::optional<std::string_view> formula;
  std::span<const std::string_view> dependencies;
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

constexpr std::array<SeedRow, 10> kSeeded{{
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

// A derived entry's formula is either an expression over other entries or a
// single number, kept as a double and written out when the record is built.
struct DerivedRow {
  std::string_view name;
  std::string_view expression;  // empty for a literal formula
  double literal;
  std::string_view units;
  std::span<const std::string_view> dependencies;
};

constexpr std::array<std::string_view, 2> kSterileCheckDeps{"roots_total", "visible_sector"};
constexpr std::array<std::string_view, 1> kNGenSqDeps{"n_gen"};
constexpr std::array<std::string_view, 2> kTopoGenCheckDeps{"chi_eff", "b3"};

constexpr std::array<DerivedRow, 7> kDerived{{
    {"v_higgs_mev", "", 246220.0, "MeV", {}},
    {"sterile_check", "roots_total - visible_sector", 0.0, "count", kSterileCheckDeps},
    {"n_gen_sq", "n_gen * n_gen", 0.0, "count", kNGenSqDeps},
    {"h0_central", "", 70.0, "km/s/Mpc", {}},
    {"w0_central", "", -1.0, "dimensionless", {}},
    {"m_tau_mev", "", 1776.86, "MeV", {}},
    {"topo_gen_check", "chi_eff / b3", 0.0, "count", kTopoGenCheckDeps},
}};

std::uint32_t size32(std::string_view text) { return static_cast<std::uint32_t>(text.size()); }

}  // namespace

ConstantRecord ConstantRecordView::to_record() const {
  ConstantRecord record;
  record.name = name();
  record.value = value_;
  record.units = units();
  record.uncertainty = uncertainty();
  record.status = status_;
  if (has_formula_) record.formula.emplace(*formula());
  record.dependencies.reserve(dependency_count_);
  for_each_dependency([&record](std::string_view dependency) { record.dependencies.emplace_back(dependency); });
  return record;
}

FormulasRegistry::FormulasRegistry() : FormulasRegistry(process_shard_count()) {}

FormulasRegistry::FormulasRegistry(std::size_t shard_count)
    : arena_(first_buffer_, sizeof first_buffer_), map_(arena_, shard_count, fresh_sip_key()) {
  seed();
}

void FormulasRegistry::seed() {
  for (const SeedRow& row : kSeeded) {
    Fields fields;
    fields.name = row.name;
    fields.value = row.value;
    fields.units = row.units;
    store(row.name, fields);
  }

  // The derived records are all built before any is inserted; a literal
  // formula is the shortest plain decimal of its number.
  std::array<std::string, kDerived.size()> literals;
  std::array<Fields, kDerived.size()> derived;
  for (std::size_t i = 0; i < kDerived.size(); ++i) {
    const DerivedRow& row = kDerived[i];
    std::string_view formula = row.expression;
    if (formula.empty()) formula = literals[i] = plain_decimal(row.literal);
    Fields& fields = derived[i];
    fields.name = row.name;
    fields.units = row.units;
    fields.status = ConstantStatus::Pending;
    fields.formula = formula;
    fields.dependencies = row.dependencies;
  }
  for (const Fields& fields : derived) store(fields.name, fields);
}

std::optional<ConstantRecordView> FormulasRegistry::store(std::string_view key, const Fields& fields) {
  const std::string_view formula = fields.formula.value_or(std::string_view());
  std::size_t text_bytes = fields.name.size() + fields.units.size() + formula.size();
  for (std::string_view dependency : fields.dependencies) text_bytes += dependency.size();

  const std::size_t dependency_count = fields.dependencies.size();
  auto* sizes = static_cast<std::uint32_t*>(
      arena_.allocate(dependency_count * sizeof(std::uint32_t) + text_bytes, alignof(std::uint32_t)));
  for (std::size_t i = 0; i < dependency_count; ++i) sizes[i] = size32(fields.dependencies[i]);
  char* texts = reinterpret_cast<char*>(sizes + dependency_count);
  char* p = texts;
  auto append = [&p](std::string_view text) {
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p += text.size();
  };
  append(fields.name);
  append(fields.units);
  append(formula);
  for (std::string_view dependency : fields.dependencies) append(dependency);

  ConstantRecordView view;
  view.texts_ = texts;
  view.value_ = fields.value;
  view.uncertainty_ = fields.uncertainty.value_or(0.0);
  view.has_uncertainty_ = fields.uncertainty.has_value();
  view.name_size_ = size32(fields.name);
  view.units_size_ = size32(fields.units);
  view.formula_size_ = size32(formula);
  view.has_formula_ = fields.formula.has_value();
  view.dependency_count_ = static_cast<std::uint32_t>(dependency_count);
  view.status_ = fields.status;

  // The key normally equals the name; it then shares the name's bytes.
  std::string_view stored_key = view.name();
  if (key != stored_key) {
    char* key_bytes = arena_.allocate_array<char>(key.size());
    if (!key.empty()) std::memcpy(key_bytes, key.data(), key.size());
    stored_key = std::string_view(key_bytes, key.size());
  }
  return map_.insert(stored_key, view);
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
  WriteGuard serialised(insert_lock_);
  std::optional<ConstantRecordView> replaced = store(key, fields);
  if (!replaced) return std::nullopt;
  return replaced->to_record();
}

std::expected<ConstantRecord, RegistryError> FormulasRegistry::get(std::string_view name) const {
  std::optional<ConstantRecord> copy = map_.find(name, [](const ConstantRecordView& r) { return r.to_record(); });
  if (!copy) return std::unexpected(RegistryError::not_found(name));
  return std::move(*copy);
}

std::expected<double, RegistryError> FormulasRegistry::get_value(std::string_view name) const {
  std::optional<double> value = map_.find(name, [](const ConstantRecordView& r) { return r.value(); });
  if (!value) return std::unexpected(RegistryError::not_found(name));
  return *value;
}

}  // namespace korvex
