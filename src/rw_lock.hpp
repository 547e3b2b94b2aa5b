// A small reader-writer lock on one 64-bit atomic word, with optimistic
// reads that write nothing to it (docs/design.md).
#pragma once

#include <atomic>
#include <cstdint>

namespace korvex {

class RwLock {
 public:
  RwLock() noexcept = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() const noexcept {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & kWriter) == 0) {
        if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
        continue;
      }
      s = wait_while_held(s);
    }
  }

  void unlock_shared() const noexcept {
    const std::uint64_t before = state_.fetch_sub(1, std::memory_order_release);
    if ((before & kReaders) == 1 && (before & kWaiters) != 0) wake_all();
  }

  void lock() noexcept {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & (kWriter | kReaders)) == 0) {
        // Free, though sleepers may still be flagged: the flag is kept so
        // that they are woken when this writer leaves.
        if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
        continue;
      }
      s = wait_while_held(s);
    }
  }

  void unlock() noexcept {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(s, (s + kVersionStep) & ~(kWriter | kWaiters), std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    if ((s & kWaiters) != 0) state_.notify_all();
  }

  // Returns read() as seen while no writer held the lock. read() may run
  // while a writer works, so it may only load what is atomic (relaxed loads
  // are enough) or what no writer changes once it is published, such as
  // the map's entries; its result counts only if the lock's version shows
  // no writer came by.
  template <class Read>
  auto read_optimistically(Read&& read) const {
    const std::uint64_t before = state_.load(std::memory_order_acquire);
    if ((before & kWriter) == 0) {
      auto result = read();
      std::atomic_thread_fence(std::memory_order_acquire);
      const std::uint64_t after = state_.load(std::memory_order_relaxed);
      if ((after & kWriter) == 0 && (after >> kVersionShift) == (before >> kVersionShift)) return result;
    }
    return read_locked(read);
  }

 private:
  // The slow path of read_optimistically, kept out of line so that the
  // fast path stays small enough for every compiler to inline.
  template <class Read>
  [[gnu::noinline]] auto read_locked(Read& read) const {
    lock_shared();
    auto result = read();
    unlock_shared();
    return result;
  }

  static constexpr std::uint64_t kWriter = 1ULL << 31;
  static constexpr std::uint64_t kWaiters = 1ULL << 30;
  static constexpr std::uint64_t kReaders = kWaiters - 1;
  static constexpr int kVersionShift = 32;
  static constexpr std::uint64_t kVersionStep = 1ULL << kVersionShift;

  // Flags that someone sleeps on the lock, then sleeps until the word
  // changes. Returns the fresh value to retry with.
  std::uint64_t wait_while_held(std::uint64_t s) const noexcept {
    if ((s & kWaiters) == 0 &&
        !state_.compare_exchange_weak(s, s | kWaiters, std::memory_order_relaxed, std::memory_order_relaxed))
      return s;
    state_.wait(s | kWaiters, std::memory_order_relaxed);
    return state_.load(std::memory_order_relaxed);
  }

  void wake_all() const noexcept {
    state_.fetch_and(~kWaiters, std::memory_order_relaxed);
    state_.notify_all();
  }

  mutable std::atomic<std::uint64_t> state_{0};
};

// Scoped holders, in the manner of std::shared_lock / std::unique_lock but
// without their ownership state.
class ReadGuard {
 public:
  explicit ReadGuard(const RwLock& lock) noexcept : lock_(lock) { lock_.lock_shared(); }
  ~ReadGuard() { lock_.unlock_shared(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  const RwLock& lock_;
};

class WriteGuard {
 public:
  explicit WriteGuard(RwLock& lock) noexcept : lock_(lock) { lock_.lock(); }
  ~WriteGuard() { lock_.unlock(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  RwLock& lock_;
};

}  // namespace korvex
