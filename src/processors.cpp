#include "processors.hpp"

#include <bit>
#include <cerrno>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace korvex {

std::size_t available_processors() noexcept {
#if defined(__linux__)
  // The affinity mask is what a container or `taskset` restricts. Hosts with
  // more processors than a default cpu_set_t holds need a larger set.
  for (int capacity = CPU_SETSIZE; capacity <= (1 << 20); capacity *= 2) {
    cpu_set_t* set = CPU_ALLOC(capacity);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(capacity);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) {
      if (count > 0) return static_cast<std::size_t>(count);
      break;
    }
    if (errno != EINVAL) break;
  }
#endif
  return std::thread::hardware_concurrency();
}

std::size_t shard_count_for(std::size_t processors) noexcept {
  if (processors == 0) return 4;
  return std::bit_ceil(processors * 4);
}

std::size_t process_shard_count() noexcept {
  static const std::size_t count = shard_count_for(available_processors());
  return count;
}

}  // namespace korvex
