// How many processors this process may run on, and the shard count a
// registry's map is made with for that many.
#pragma once

#include <cstddef>

namespace korvex {

// Number of processors this process may run on (its CPU affinity where the
// platform reports one), or 0 when that cannot be determined.
std::size_t available_processors() noexcept;

// Four shards per processor, rounded up to a power of two; four when the
// processor count is unknown (0).
std::size_t shard_count_for(std::size_t processors) noexcept;

// shard_count_for(available_processors()), computed once per process.
std::size_t process_shard_count() noexcept;

}  // namespace korvex
