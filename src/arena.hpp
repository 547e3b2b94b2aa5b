// A bump allocator that hands out memory from a caller-supplied buffer, then
// from heap chunks, and releases it all at once when destroyed: it only
// holds trivially destructible data.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>

namespace korvex {

class Arena {
 public:
  Arena(std::byte* first_buffer, std::size_t size) noexcept : cursor_(first_buffer), end_(first_buffer + size) {}
  ~Arena() { release_chunks(); }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Exhausted memory ends the process, as everywhere in the core.
  // alignment must be a power of two.
  void* allocate(std::size_t size, std::size_t alignment) {
    assert(std::has_single_bit(alignment));
    const std::size_t padding = -reinterpret_cast<std::uintptr_t>(cursor_) & (alignment - 1);
    if (padding + size > static_cast<std::size_t>(end_ - cursor_)) return allocate_from_new_chunk(size, alignment);
    std::byte* const start = cursor_ + padding;
    cursor_ = start + size;
    return start;
  }

  template <class T>
  T* allocate_array(std::size_t count) {
    static_assert(std::is_trivially_destructible_v<T>);
    // T may be a pointer type: arrays of pointers are allocated on purpose.
    return static_cast<T*>(allocate(sizeof(T) * count, alignof(T)));  // NOLINT(bugprone-sizeof-expression)
  }

  // Number of heap chunks taken so far.
  std::size_t chunk_count() const noexcept;

 private:
  struct Chunk {
    Chunk* next;
  };

  void* allocate_from_new_chunk(std::size_t size, std::size_t alignment);
  void release_chunks() noexcept;

  std::byte* cursor_;
  std::byte* end_;
  Chunk* chunks_ = nullptr;
};

}  // namespace korvex
