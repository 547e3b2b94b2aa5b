#include "formulas_registry.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "expected_constants.hpp"

namespace korvex {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

const std::vector<ConstantRecord>& expected_records() {
  static const std::vector<ConstantRecord> records = [] {
    std::vector<ConstantRecord> made;
    for (const ExpectedConstant& entry : expected_constants()) made.push_back(entry.record);
    return made;
  }();
  return records;
}

class SeededRecord : public ::testing::TestWithParam<ConstantRecord> {};

TEST_P(SeededRecord, HoldsExactlyTheExpectedFields) {
  const ConstantRecord& want = GetParam();
  const FormulasRegistry registry;
  const auto record = registry.get(want.name);
  ASSERT_TRUE(record.has_value()) << record.error().message();
  EXPECT_EQ(*record, want);
  EXPECT_EQ(bits(record->value), bits(want.value));

  const auto value = registry.get_value(want.name);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(bits(*value), bits(want.value));
}

INSTANTIATE_TEST_SUITE_P(AllSeventeen, SeededRecord, ::testing::ValuesIn(expected_records()),
                         [](const ::testing::TestParamInfo<ConstantRecord>& info) { return info.param.name; });

TEST(FormulasRegistry, TheTwoMathematicalConstantsHaveTheirBitPatterns) {
  const FormulasRegistry registry;
  EXPECT_EQ(bits(*registry.get_value("phi")), 0x3FF9E3779B97F4A8ULL);
  EXPECT_EQ(bits(*registry.get_value("gamma_em")), 0x3FE2788CFC6FB619ULL);
}

TEST(FormulasRegistry, MissesAreNotFoundWithTheNameAsPassed) {
  const FormulasRegistry registry;
  for (std::string_view name : {"B3", " b3", "b3 ", "", "no_such_constant", "b3\n", "\xCF\x86"}) {
    const auto record = registry.get(name);
    ASSERT_FALSE(record.has_value()) << name;
    ASSERT_TRUE(std::holds_alternative<RegistryError::NotFound>(record.error().kind()));
    EXPECT_EQ(record.error().message(), "constant `" + std::string(name) + "` not found in registry");
    EXPECT_FALSE(registry.get_value(name).has_value());
  }
  EXPECT_EQ(registry.get("").error().message(), "constant `` not found in registry");
  EXPECT_EQ(registry.len(), 17u);  // a miss changes nothing
}

TEST(FormulasRegistry, ForEachVisitsEverySeededNameOnce) {
  const FormulasRegistry registry;
  EXPECT_EQ(registry.len(), 17u);
  std::map<std::string, int> visits;
  registry.for_each([&visits](std::string_view key, const ConstantRecordView& record) {
    EXPECT_EQ(key, record.name());
    ++visits[std::string(key)];
  });
  ASSERT_EQ(visits.size(), expected_records().size());
  for (const ConstantRecord& want : expected_records()) EXPECT_EQ(visits[want.name], 1) << want.name;
}

TEST(FormulasRegistry, ViewsAgreeWithCopies) {
  const FormulasRegistry registry;
  registry.for_each([&registry](std::string_view key, const ConstantRecordView& view) {
    EXPECT_EQ(view.to_record(), *registry.get(key));
  });
}

TEST(FormulasRegistry, CopiesAreIndependentOfTheRegistry) {
  const FormulasRegistry registry;
  auto copy = registry.get("n_gen_sq");
  ASSERT_TRUE(copy.has_value());
  copy->name = "changed";
  copy->value = 99.0;
  copy->formula = "x";
  copy->dependencies.clear();
  const auto again = registry.get("n_gen_sq");
  EXPECT_EQ(again->name, "n_gen_sq");
  EXPECT_EQ(again->value, 0.0);
  EXPECT_EQ(again->formula, "n_gen * n_gen");
  EXPECT_EQ(again->dependencies, std::vector<std::string>{"n_gen"});
}

TEST(FormulasRegistry, TwoRegistriesHoldEqualRecords) {
  const FormulasRegistry first;
  const FormulasRegistry second;
  for (const ConstantRecord& want : expected_records()) EXPECT_EQ(*first.get(want.name), *second.get(want.name));
}

TEST(FormulasRegistry, InsertReturnsWhatItReplaced) {
  FormulasRegistry registry;
  const auto before = *registry.get("phi");
  const auto replaced = registry.insert("phi", ConstantRecord::seeded("phi", 2.0, "dimensionless"));
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(*replaced, before);
  EXPECT_EQ(registry.get("phi")->value, 2.0);
  EXPECT_EQ(registry.len(), 17u);

  ConstantRecord extra = ConstantRecord::seeded("extra", 1.5, "count");
  extra.uncertainty = 0.25;
  EXPECT_FALSE(registry.insert("extra", extra).has_value());
  EXPECT_EQ(registry.len(), 18u);
  EXPECT_EQ(*registry.get("extra"), extra);
}

TEST(FormulasRegistry, InsertStoresUnderTheKeyGiven) {
  FormulasRegistry registry;
  registry.insert("alias", ConstantRecord::seeded("b3", 24.0, "dimensionless"));
  const auto record = registry.get("alias");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->name, "b3");
  registry.for_each([](std::string_view key, const ConstantRecordView& view) {
    if (key == "alias") {
      EXPECT_EQ(view.name(), "b3");
    }
  });
}

class ShardCountRegistry : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ShardCountRegistry, SeedsTheSameContentsAtAnyShardCount) {
  const FormulasRegistry registry(GetParam());
  EXPECT_EQ(registry.shard_count(), GetParam());
  EXPECT_EQ(registry.len(), 17u);
  const FormulasRegistry reference;
  for (const ConstantRecord& want : expected_records()) EXPECT_EQ(*registry.get(want.name), *reference.get(want.name));
}

// Up to the shards of a host of 1024 processors, and the most a map allows.
INSTANTIATE_TEST_SUITE_P(Counts, ShardCountRegistry,
                         ::testing::Values(1, 2, 4, 8, 64, 256, 1024, 4096,
                                           ShardedMap<ConstantRecordView>::kMaxShards));

// Building takes nothing from the heap; the first insert copies the seeded
// map, which must hold every seeded record, and leaves the seeded map that
// other registries read as it was.
TEST_P(ShardCountRegistry, FirstInsertCopiesTheSeededMapAndChangesNoOtherRegistry) {
  FormulasRegistry registry(GetParam());
  const FormulasRegistry other(GetParam());
  EXPECT_EQ(registry.arena_chunk_count(), 0u);
  for (const ConstantRecord& want : expected_records()) {
    ConstantRecord changed = want;
    changed.value += 1.0;
    EXPECT_EQ(registry.insert(want.name, changed), want) << want.name;
    EXPECT_EQ(*registry.get(want.name), changed);
  }
  EXPECT_GT(registry.arena_chunk_count(), 0u);
  EXPECT_EQ(registry.len(), 17u);
  for (const ConstantRecord& want : expected_records()) EXPECT_EQ(*other.get(want.name), want);
  EXPECT_EQ(FormulasRegistry(GetParam()).len(), 17u);
}

// Threads reading one registry, at the process's shard count (0) and at
// that of a host of 1024 processors.
class ManyReaders : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ManyReaders, ManyThreadsReadOneRegistryAtOnce) {
  const FormulasRegistry registry = GetParam() == 0 ? FormulasRegistry() : FormulasRegistry(GetParam());
  constexpr int kThreads = 8;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&registry, &failures, t] {
      for (int round = 0; round < 2000; ++round) {
        for (const ConstantRecord& want : expected_records()) {
          const auto record = registry.get(want.name);
          if (!record || *record != want) ++failures[t];
        }
        if (registry.get("missing").has_value()) ++failures[t];
        if (registry.len() != 17) ++failures[t];
        int visited = 0;
        registry.for_each([&visited](std::string_view, const ConstantRecordView&) { ++visited; });
        if (visited != 17) ++failures[t];
      }
    });
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

INSTANTIATE_TEST_SUITE_P(ShardCounts, ManyReaders, ::testing::Values(0, shard_count_for(1024)));

// Readers (get, len, for_each) racing one thread that inserts: every insert
// that has finished is visible whole, the seeded entries never flicker, and
// counts only grow. With many shards the inserts also create shards and
// grow the directory of shards, and with few they grow tables, while
// readers walk them.
class InsertWhileReading : public ::testing::TestWithParam<std::size_t> {};

TEST_P(InsertWhileReading, ReadersSeeWholeRecordsAndGrowingCounts) {
  FormulasRegistry registry = GetParam() == 0 ? FormulasRegistry() : FormulasRegistry(GetParam());
  constexpr int kReaders = 4;
  constexpr int kInserts = 300;
  constexpr std::size_t kSeeded = 17;
  std::vector<std::string> keys;
  for (int i = 0; i < kInserts; ++i) keys.push_back("extra_" + std::to_string(i));

  std::atomic<int> inserted{0};  // inserts finished so far
  std::atomic<bool> done{false};
  std::array<std::atomic<long>, kReaders> rounds{};
  std::vector<int> failures(kReaders, 0);
  int writer_failures = 0;

  // A found extra key must carry exactly what was inserted under it.
  const auto whole = [&keys](std::string_view key, const ConstantRecordView& record) {
    int index = -1;
    std::from_chars(key.data() + 6, key.data() + key.size(), index);
    return index >= 0 && index < kInserts && record.name() == keys[index] && record.value() == index &&
           record.units() == "count" && record.status() == ConstantStatus::Seed && !record.formula() &&
           !record.uncertainty() && record.dependency_count() == 0;
  };
  const auto found_whole = [&](const std::string& key) {
    return registry.read(key, [&](const ConstantRecordView& view) { return whole(key, view); });
  };

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r)
    readers.emplace_back([&, r] {
      std::size_t last_len = 0;
      do {
        const int floor = inserted.load(std::memory_order_acquire);
        const auto phi = registry.get("phi");
        if (!phi || bits(phi->value) != 0x3FF9E3779B97F4A8ULL) ++failures[r];
        if (floor > 0) {
          const auto found = found_whole(keys[static_cast<std::size_t>((rounds[r] * 7919) % floor)]);
          if (!found || !*found) ++failures[r];
        }
        if (floor < kInserts) {
          // Not finished when `floor` was read: either absent or whole.
          if (const auto found = found_whole(keys[static_cast<std::size_t>(floor)]); found && !*found) ++failures[r];
        }
        if (registry.get("extra_x").has_value()) ++failures[r];

        const std::size_t len = registry.len();
        if (len < kSeeded + static_cast<std::size_t>(floor) || len > kSeeded + kInserts || len < last_len)
          ++failures[r];
        last_len = len;

        std::size_t visited = 0;
        registry.for_each([&](std::string_view key, const ConstantRecordView& view) {
          ++visited;
          if (key != view.name()) ++failures[r];
          if (key.starts_with("extra_") && !whole(key, view)) ++failures[r];
        });
        if (visited < kSeeded + static_cast<std::size_t>(floor) || visited > kSeeded + kInserts) ++failures[r];
        rounds[r].fetch_add(1, std::memory_order_release);
        // The lock lets readers in while a writer waits; a pause between
        // rounds keeps back-to-back readers from starving the writer.
        std::this_thread::yield();
      } while (!done.load(std::memory_order_acquire));
    });

  // Each insert overlaps reader rounds: the next one waits until every
  // reader has run a whole round after it.
  std::thread writer([&] {
    for (int i = 0; i < kInserts; ++i) {
      std::array<long, kReaders> seen;
      for (int r = 0; r < kReaders; ++r) seen[r] = rounds[r].load(std::memory_order_acquire);
      if (registry.insert(keys[i], ConstantRecord::seeded(keys[i], i, "count"))) ++writer_failures;
      inserted.store(i + 1, std::memory_order_release);
      for (int r = 0; r < kReaders; ++r)
        while (rounds[r].load(std::memory_order_acquire) < seen[r] + 2) std::this_thread::yield();
    }
    done.store(true, std::memory_order_release);
  });
  writer.join();
  for (auto& t : readers) t.join();

  EXPECT_EQ(writer_failures, 0);
  EXPECT_EQ(registry.len(), kSeeded + kInserts);
  for (int r = 0; r < kReaders; ++r) {
    EXPECT_EQ(failures[r], 0) << "reader " << r;
    EXPECT_GE(rounds[r].load(), 2 * kInserts) << "reader " << r;
  }
}

INSTANTIATE_TEST_SUITE_P(ShardCounts, InsertWhileReading, ::testing::Values(0, 1, 64, shard_count_for(1024)));

TEST(ConstantRecord, DerivedCopiesItsArgumentsAndValidatesNothing) {
  std::string name = "q";
  std::string formula = "not ( a formula";
  std::vector<std::string_view> deps{"zz", "zz", ""};
  const ConstantRecord record = ConstantRecord::derived(name, formula, "u", deps);
  name = "x";
  formula = "y";
  EXPECT_EQ(record.name, "q");
  EXPECT_EQ(record.formula, "not ( a formula");
  EXPECT_EQ(record.dependencies, (std::vector<std::string>{"zz", "zz", ""}));
  EXPECT_EQ(record.status, ConstantStatus::Pending);
  EXPECT_EQ(record.value, 0.0);
  EXPECT_FALSE(record.uncertainty.has_value());
}

TEST(ConstantStatus, TextIsTheName) {
  EXPECT_EQ(to_text(ConstantStatus::Seed), "Seed");
  EXPECT_EQ(to_text(ConstantStatus::Cached), "Cached");
  EXPECT_EQ(to_text(ConstantStatus::Pending), "Pending");
  EXPECT_EQ(to_text(ConstantStatus::External), "External");
  static_assert(sizeof(ConstantStatus) == 1);
  EXPECT_EQ(static_cast<int>(ConstantStatus::External), 3);
}

}  // namespace
}  // namespace korvex
