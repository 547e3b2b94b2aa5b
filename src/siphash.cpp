#include "siphash.hpp"

#include <chrono>
#include <random>

namespace korvex {
namespace {

// splitmix64's output function: a bijective mixer, so distinct counters
// give distinct outputs.
constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

struct KeySource {
  SipKey seed;
  std::uint64_t counter = 0;

  KeySource() noexcept {
    try {
      std::random_device device;
      auto draw64 = [&device] {
        return (static_cast<std::uint64_t>(device()) << 32) ^ static_cast<std::uint64_t>(device());
      };
      seed = {draw64(), draw64()};
    } catch (...) {
      // No entropy source at all: fall back to the clock and this thread's
      // stack address, which still differ between processes and threads.
      const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      seed = {mix64(ticks), mix64(reinterpret_cast<std::uintptr_t>(&ticks))};
    }
  }
};

}  // namespace

SipKey fresh_sip_key() noexcept {
  thread_local KeySource source;
  const std::uint64_t n = ++source.counter * 0x9e3779b97f4a7c15ULL;
  return {mix64(source.seed.k0 + n), mix64(source.seed.k1 ^ n)};
}

}  // namespace korvex
