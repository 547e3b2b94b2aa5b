#include "sharded_map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "processors.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace korvex {
namespace {

TEST(ShardCount, IsFourPerProcessorRoundedUpToAPowerOfTwo) {
  const std::array<std::pair<std::size_t, std::size_t>, 9> cases{
      {{0, 4}, {1, 4}, {2, 8}, {3, 16}, {4, 16}, {5, 32}, {8, 32}, {12, 64}, {64, 256}}};
  for (auto [processors, shards] : cases) EXPECT_EQ(shard_count_for(processors), shards) << processors;
}

TEST(ShardCount, ProcessCountFollowsTheAffinityMask) {
  std::size_t expected = std::thread::hardware_concurrency();
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) expected = static_cast<std::size_t>(CPU_COUNT(&set));
#endif
  EXPECT_EQ(available_processors(), expected);
  EXPECT_EQ(process_shard_count(), shard_count_for(expected));
}

#if defined(__linux__)
TEST(ShardCount, ARestrictedAffinityIsSeenOnANewThread) {
  // Affinity is per thread; a thread pinned to one processor reports one.
  std::size_t seen = 0;
  std::thread pinned([&seen] {
    cpu_set_t one;
    CPU_ZERO(&one);
    cpu_set_t all;
    CPU_ZERO(&all);
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &all)) {
        CPU_SET(cpu, &one);
        break;
      }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    seen = available_processors();
  });
  pinned.join();
  EXPECT_EQ(seen, 1u);
}
#endif

struct Pair {
  int a;
  int b;
};

class ShardedMapTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  alignas(std::max_align_t) std::byte buffer_[256];
  Arena arena_{buffer_, sizeof buffer_};
};

TEST_P(ShardedMapTest, InsertsFindsReplacesAndCounts) {
  ShardedMap<Pair> map(arena_, GetParam(), fresh_sip_key());
  std::vector<std::string> keys;
  for (int i = 0; i < 500; ++i) keys.push_back("key" + std::to_string(i));
  for (int i = 0; i < 500; ++i) EXPECT_FALSE(map.insert(keys[i], Pair{i, -i}).has_value());
  EXPECT_EQ(map.size(), 500u);

  for (int i = 0; i < 500; ++i) {
    auto found = map.find(keys[i], [](const Pair& p) { return p.a; });
    ASSERT_TRUE(found.has_value()) << keys[i];
    EXPECT_EQ(*found, i);
  }
  EXPECT_FALSE(map.find("key500", [](const Pair& p) { return p.a; }).has_value());
  EXPECT_FALSE(map.find("", [](const Pair& p) { return p.a; }).has_value());
  EXPECT_FALSE(map.find("Key1", [](const Pair& p) { return p.a; }).has_value());

  auto replaced = map.insert(keys[7], Pair{700, 0});
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(replaced->a, 7);
  EXPECT_EQ(map.size(), 500u);
  EXPECT_EQ(*map.find(keys[7], [](const Pair& p) { return p.a; }), 700);

  std::map<std::string, int> visited;
  map.for_each([&visited](std::string_view key, const Pair&) { ++visited[std::string(key)]; });
  EXPECT_EQ(visited.size(), 500u);
  for (const auto& [key, count] : visited) EXPECT_EQ(count, 1) << key;
}

TEST_P(ShardedMapTest, KeysDifferingOnlyInLengthOrEmbeddedNulAreDistinct) {
  ShardedMap<Pair> map(arena_, GetParam(), fresh_sip_key());
  const std::string with_nul("a\0b", 3);
  map.insert("a", Pair{1, 0});
  map.insert(with_nul, Pair{2, 0});
  map.insert("", Pair{3, 0});
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(*map.find("a", [](const Pair& p) { return p.a; }), 1);
  EXPECT_EQ(*map.find(with_nul, [](const Pair& p) { return p.a; }), 2);
  EXPECT_EQ(*map.find("", [](const Pair& p) { return p.a; }), 3);
  EXPECT_FALSE(map.find(std::string_view("a\0", 2), [](const Pair& p) { return p.a; }).has_value());
}

INSTANTIATE_TEST_SUITE_P(ShardCounts, ShardedMapTest,
                         ::testing::Values(1, 4, 8, 64, 256, 512, 4096, ShardedMap<Pair>::kMaxShards));

TEST(RwLock, ReadersHoldItTogether) {
  RwLock lock;
  constexpr int kReaders = 4;
  std::atomic<int> inside{0};
  std::atomic<bool> all_met{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back([&] {
      ReadGuard guard(lock);
      ++inside;
      // Every reader waits, lock held, until all are inside: this only ends
      // if shared holds really overlap.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (inside.load() < kReaders && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      if (inside.load() == kReaders) all_met = true;
    });
  for (auto& t : readers) t.join();
  EXPECT_TRUE(all_met.load());
}

TEST(RwLock, WritersExcludeEveryoneAndSleepersAreWoken) {
  RwLock lock;
  long long first = 0;
  long long second = 0;  // always equal to first outside a write
  std::atomic<long long> torn_reads{0};
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        WriteGuard guard(lock);
        ++first;
        ++second;
      }
    });
  for (int r = 0; r < 3; ++r)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ReadGuard guard(lock);
        if (first != second) ++torn_reads;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(first, 3LL * kRounds);
  EXPECT_EQ(second, 3LL * kRounds);
  EXPECT_EQ(torn_reads.load(), 0);
}

TEST(RwLock, OptimisticReadsNeverSeeAWriteHalfDone) {
  RwLock lock;
  std::atomic<long long> first{0};
  std::atomic<long long> second{0};  // equal to first outside a write
  std::atomic<bool> done{false};
  std::atomic<long long> torn{0};
  std::atomic<long long> reads{0};
  constexpr int kReaders = 3;
  std::atomic<int> readers_started{0};
  std::thread writer([&] {
    // Without this the writer may be done before a reader runs at all
    // (two processors, or a sanitizer slowing thread start-up).
    while (readers_started.load() < kReaders) std::this_thread::yield();
    for (int i = 0; i < 200000; ++i) {
      WriteGuard guard(lock);
      first.store(first.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      second.store(second.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r)
    readers.emplace_back([&] {
      ++readers_started;
      do {
        const auto [a, b] = lock.read_optimistically(
            [&] { return std::pair(first.load(std::memory_order_relaxed), second.load(std::memory_order_relaxed)); });
        if (a != b) ++torn;
        ++reads;
      } while (!done.load());
    });
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

// A map made from an image holds what inserting the same items one by one
// gives, reads the image until its first insert, then copies it: the
// image, and every other map made from it, never see that insert.
TEST_P(ShardedMapTest, MapsFromAnImageMatchOneByOneInsertsAndCopyOnInsert) {
  constexpr std::size_t kImaged = 40;
  std::vector<std::string> keys;
  keys.reserve(kImaged + 40);  // the maps keep pointers to the keys' bytes
  for (std::size_t i = 0; i < kImaged; ++i) keys.push_back("name_" + std::to_string(i * 13));
  auto contents = [](const ShardedMap<Pair>& map) {
    std::map<std::string, int> seen;
    map.for_each(
        [&seen](std::string_view key, const Pair& value) { EXPECT_TRUE(seen.emplace(key, value.a).second) << key; });
    EXPECT_EQ(map.size(), seen.size());
    return seen;
  };
  for (int round = 0; round < 10; ++round) {
    const auto image =
        std::make_unique<const ShardedMap<Pair>::Image>(GetParam(), fresh_sip_key(), [&](ShardedMap<Pair>& map) {
          for (std::size_t i = 0; i < keys.size(); ++i) map.insert(keys[i], Pair{static_cast<int>(i), 0});
        });
    ShardedMap<Pair> one_by_one(arena_, GetParam(), fresh_sip_key());
    for (std::size_t i = 0; i < keys.size(); ++i) one_by_one.insert(keys[i], Pair{static_cast<int>(i), 0});
    const std::map<std::string, int> want = contents(one_by_one);
    ASSERT_EQ(want.size(), keys.size());

    ShardedMap<Pair> copied(arena_, *image);
    const ShardedMap<Pair> untouched(arena_, *image);
    EXPECT_EQ(copied.shard_count(), GetParam());
    EXPECT_EQ(contents(copied), want);
    for (const std::string& key : keys)
      EXPECT_EQ(copied.find(key, [](const Pair& p) { return p.a; }), want.at(key)) << key;

    EXPECT_EQ(copied.insert(keys[3], Pair{-3, 0})->a, 3);
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(copied.insert(keys.emplace_back("more" + std::to_string(i)), Pair{i, 0}));
    std::map<std::string, int> grown = want;
    grown[keys[3]] = -3;
    for (int i = 0; i < 40; ++i) grown["more" + std::to_string(i)] = i;
    EXPECT_EQ(contents(copied), grown);
    EXPECT_EQ(contents(untouched), want);
    EXPECT_EQ(contents(image->map()), want);
    keys.resize(kImaged);
  }
}

TEST(Arena, SpillsIntoHeapChunksAndKeepsAlignment) {
  alignas(std::max_align_t) std::byte buffer[64];
  Arena arena(buffer, sizeof buffer);
  void* small = arena.allocate(8, 8);
  EXPECT_GE(static_cast<std::byte*>(small), buffer);
  EXPECT_LT(static_cast<std::byte*>(small), buffer + sizeof buffer);
  EXPECT_EQ(arena.chunk_count(), 0u);
  for (int i = 0; i < 100; ++i) {
    void* p = arena.allocate(100, 16);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    std::memset(p, 0xAB, 100);
  }
  EXPECT_GT(arena.chunk_count(), 0u);
  void* big = arena.allocate(100000, 8);
  std::memset(big, 0, 100000);
}

}  // namespace
}  // namespace korvex
