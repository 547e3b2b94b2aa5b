// Benchmarks of the core's hot paths: building and dropping a seeded
// registry (at the process's shard count and at fixed counts), lookups, the
// entry count, visiting every entry, the datasheet writer, SipHash-1-3 on
// short keys and the quark listing.
//
// Beside them runs a straightforward registry built the obvious way (a
// std::unordered_map of std::string-holding records per shard, each behind a
// std::shared_mutex, the same SipHash-1-3 keys, the same seventeen records
// copied from a table read once),
// so that the build time can be read as a ratio against it: the machine is
// shared, and only figures measured side by side in one run compare.
// benchmarks/cpp/summarize.py runs this program and prints those ratios.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "constant_record.hpp"
#include "datasheet.hpp"
#include "expected_constants.hpp"
#include "formulas_registry.hpp"
#include "quark_registry.hpp"
#include "sharded_map.hpp"
#include "siphash.hpp"

namespace {

using korvex::ConstantRecord;
using korvex::FormulasRegistry;

// --- The straightforward registry --------------------------------------------

struct SipHasher {
  korvex::SipKey key;
  std::size_t operator()(const std::string& text) const noexcept { return korvex::siphash13(key, text); }
};

class StraightforwardRegistry {
 public:
  explicit StraightforwardRegistry(std::size_t shard_count)
      : key_(korvex::fresh_sip_key()), shards_(new Shard[shard_count]), mask_(shard_count - 1) {
    for (std::size_t i = 0; i < shard_count; ++i) shards_[i].entries = Map(0, SipHasher{key_});
    seed();
  }

  std::optional<ConstantRecord> get(std::string_view name) const {
    const std::string key(name);
    const Shard& shard = shard_for(key);
    std::shared_lock guard(shard.lock);
    auto it = shard.entries.find(key);
    if (it == shard.entries.end()) return std::nullopt;
    return it->second;
  }

  std::size_t len() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i <= mask_; ++i) {
      std::shared_lock guard(shards_[i].lock);
      total += shards_[i].entries.size();
    }
    return total;
  }

 private:
  using Map = std::unordered_map<std::string, ConstantRecord, SipHasher>;
  struct Shard {
    mutable std::shared_mutex lock;
    Map entries;
  };

  Shard& shard_for(const std::string& key) const { return shards_[korvex::siphash13(key_, key) & mask_]; }

  void insert(ConstantRecord record) {
    std::string key = record.name;
    Shard& shard = shard_for(key);
    std::unique_lock guard(shard.lock);
    shard.entries.insert_or_assign(std::move(key), std::move(record));
  }

  void seed();

  korvex::SipKey key_;
  std::unique_ptr<Shard[]> shards_;
  std::size_t mask_;
};

// The same seventeen entries the core seeds, from the tests' table of them.
void StraightforwardRegistry::seed() {
  for (const korvex::ExpectedConstant& entry : korvex::expected_constants()) insert(entry.record);
}

// The baseline must hold exactly what the core holds, or the ratio would
// compare unequal work.
bool baseline_matches_core() {
  const FormulasRegistry core(8);
  const StraightforwardRegistry baseline(8);
  if (core.len() != 17 || baseline.len() != 17) return false;
  bool same = true;
  core.for_each([&](std::string_view key, const korvex::ConstantRecordView& view) {
    const std::optional<ConstantRecord> other = baseline.get(key);
    same = same && other.has_value() && *other == view.to_record();
  });
  return same;
}

// --- Registry build + destroy ------------------------------------------------

void BM_RegistryBuild(benchmark::State& state) {
  for (auto _ : state) {
    FormulasRegistry registry;
    benchmark::DoNotOptimize(&registry);
    benchmark::ClobberMemory();
  }
  state.counters["shards"] = static_cast<double>(korvex::process_shard_count());
}
BENCHMARK(BM_RegistryBuild);

void BM_RegistryBuildShards(benchmark::State& state) {
  const auto shards = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    FormulasRegistry registry(shards);
    benchmark::DoNotOptimize(&registry);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RegistryBuildShards)->ArgName("shards")->Arg(8)->Arg(64)->Arg(256)->Arg(4096);

void BM_StraightforwardBuild(benchmark::State& state) {
  const auto shards = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    StraightforwardRegistry registry(shards);
    benchmark::DoNotOptimize(&registry);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StraightforwardBuild)->ArgName("shards")->Arg(8);

// --- Reading a built registry ------------------------------------------------

void BM_GetHit(benchmark::State& state) {
  const FormulasRegistry registry;
  for (auto _ : state) {
    auto record = registry.get("phi");
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_GetHit);

void BM_GetMiss(benchmark::State& state) {
  const FormulasRegistry registry;
  for (auto _ : state) {
    auto record = registry.get("B3");
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_GetMiss);

void BM_GetValue(benchmark::State& state) {
  const FormulasRegistry registry;
  for (auto _ : state) {
    auto value = registry.get_value("phi");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_GetValue);

void BM_Len(benchmark::State& state) {
  const FormulasRegistry registry;
  for (auto _ : state) {
    std::size_t count = registry.len();
    benchmark::DoNotOptimize(count);
  }
}
BENCHMARK(BM_Len);

void BM_ForEachCopyKeys(benchmark::State& state) {
  const FormulasRegistry registry;
  for (auto _ : state) {
    std::vector<std::string> keys;
    keys.reserve(registry.len());
    registry.for_each([&keys](std::string_view key, const korvex::ConstantRecordView&) { keys.emplace_back(key); });
    benchmark::DoNotOptimize(keys.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ForEachCopyKeys);

// --- The datasheet writer ----------------------------------------------------

void BM_WriteDatasheetRecord(benchmark::State& state) {
  const FormulasRegistry registry;
  const ConstantRecord record = *registry.get("phi");
  for (auto _ : state) {
    std::string text = korvex::write_datasheet(record);
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_WriteDatasheetRecord);

// The registry's stored view of the entry `name`, if there is one.
std::optional<korvex::ConstantRecordView> stored_view(const FormulasRegistry& registry, std::string_view name) {
  std::optional<korvex::ConstantRecordView> found;
  registry.for_each([&found, name](std::string_view key, const korvex::ConstantRecordView& view) {
    if (key == name) found = view;
  });
  return found;
}

void BM_WriteDatasheetView(benchmark::State& state) {
  const FormulasRegistry registry;
  const std::optional<korvex::ConstantRecordView> phi = stored_view(registry, "phi");
  if (!phi) {
    state.SkipWithError("phi is not in the registry");
    return;
  }
  for (auto _ : state) {
    std::string text = korvex::write_datasheet(*phi);
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_WriteDatasheetView);

// The same text written into a buffer on the stack, as the module does.
void BM_WriteDatasheetViewToBuffer(benchmark::State& state) {
  const FormulasRegistry registry;
  const std::optional<korvex::ConstantRecordView> phi = stored_view(registry, "phi");
  if (!phi) {
    state.SkipWithError("phi is not in the registry");
    return;
  }
  char buffer[korvex::kDatasheetStackSize];
  if (korvex::Datasheet(*phi).size() > sizeof buffer) {
    state.SkipWithError("phi's datasheet does not fit the buffer");
    return;
  }
  for (auto _ : state) {
    const korvex::Datasheet sheet(*phi);
    char* end = sheet.write(buffer);
    benchmark::DoNotOptimize(buffer);
    benchmark::DoNotOptimize(end);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_WriteDatasheetViewToBuffer);

// One JSON number: phi takes the shortest-digits path, 288.0 the short
// decimal one, 6.02214076e23 the scientific form.
void BM_AppendJsonNumber(benchmark::State& state) {
  static constexpr double kValues[] = {1.618033988749895, 288.0, 6.02214076e23};
  const double value = kValues[state.range(0)];
  std::string text;
  for (auto _ : state) {
    text.clear();
    korvex::append_json_number(text, value);
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_AppendJsonNumber)->ArgName("value")->DenseRange(0, 2);

// --- SipHash-1-3 on short keys -----------------------------------------------

void BM_SipHash13(benchmark::State& state) {
  // Names of the registry of the lengths measured: 3, 8 and 14 bytes.
  static constexpr std::string_view kKeys[] = {"phi", "n_gen_sq", "topo_gen_check"};
  std::string_view text;
  for (std::string_view key : kKeys)
    if (key.size() == static_cast<std::size_t>(state.range(0))) text = key;
  const korvex::SipKey key = korvex::fresh_sip_key();
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    std::uint64_t hash = korvex::siphash13(key, text);
    benchmark::DoNotOptimize(hash);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_SipHash13)->ArgName("bytes")->Arg(3)->Arg(8)->Arg(14);

// --- The quarks ----------------------------------------------------------------

void BM_QuarkStandardModelSortedNames(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::string> names = korvex::QuarkRegistry::standard_model().sorted_names();
    benchmark::DoNotOptimize(names.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_QuarkStandardModelSortedNames);

}  // namespace

int main(int argc, char** argv) {
  if (!baseline_matches_core()) {
    std::fputs("the straightforward registry does not hold the core's seventeen records\n", stderr);
    return EXIT_FAILURE;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return EXIT_FAILURE;
  benchmark::AddCustomContext("process_shard_count", std::to_string(korvex::process_shard_count()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return EXIT_SUCCESS;
}
