// A small reader-writer lock on one 32-bit atomic word.
//
// Any number of readers may hold it at once; a writer holds it alone. An
// uncontended lock or unlock is one atomic read-modify-write and takes no
// system call; contended callers sleep in the platform's address wait
// (a futex on Linux) instead of spinning. The registry's shards each carry
// one, so it is kept to four bytes.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvex {

class RwLock {
 public:
  RwLock() noexcept = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() noexcept {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & kWriter) == 0) {
        if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
          return;
        continue;
      }
      s = wait_while_held(s);
    }
  }

  void unlock_shared() noexcept {
    const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
    if ((before & kReaders) == 1 && (before & kWaiters) != 0) wake_all();
  }

  void lock() noexcept {
    std::uint32_t s = 0;
    if (state_.compare_exchange_strong(s, kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed))
      return;
    for (;;) {
      if ((s & (kWriter | kReaders)) == 0) {
        // Free, though sleepers may still be flagged: keep the flag so that
        // they are woken when this writer leaves.
        if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed))
          return;
        continue;
      }
      s = wait_while_held(s);
    }
  }

  void unlock() noexcept {
    const std::uint32_t before = state_.exchange(0, std::memory_order_release);
    if ((before & kWaiters) != 0) state_.notify_all();
  }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWaiters = 1u << 30;
  static constexpr std::uint32_t kReaders = kWaiters - 1;

  // Flags that someone sleeps on the lock, then sleeps until the word
  // changes. Returns the fresh value to retry with.
  std::uint32_t wait_while_held(std::uint32_t s) noexcept {
    if ((s & kWaiters) == 0 &&
        !state_.compare_exchange_weak(s, s | kWaiters, std::memory_order_relaxed,
                                      std::memory_order_relaxed))
      return s;
    state_.wait(s | kWaiters, std::memory_order_relaxed);
    return state_.load(std::memory_order_relaxed);
  }

  void wake_all() noexcept {
    state_.fetch_and(~kWaiters, std::memory_order_relaxed);
    state_.notify_all();
  }

  std::atomic<std::uint32_t> state_{0};
};

// Scoped holders, in the manner of std::shared_lock / std::unique_lock but
// without their ownership state.
class ReadGuard {
 public:
  explicit ReadGuard(RwLock& lock) noexcept : lock_(lock) { lock_.lock_shared(); }
  ~ReadGuard() { lock_.unlock_shared(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  RwLock& lock_;
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
