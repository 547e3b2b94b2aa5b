#include "arena.hpp"

#include <algorithm>
#include <cstdlib>

namespace korvex {
namespace {
constexpr std::size_t kMinChunkBytes = 2048;
}

std::size_t Arena::chunk_count() const noexcept {
  std::size_t n = 0;
  for (const Chunk* c = chunks_; c != nullptr; c = c->next) ++n;
  return n;
}

void* Arena::allocate_from_new_chunk(std::size_t size, std::size_t alignment) {
  const std::size_t header = (sizeof(Chunk) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  const std::size_t bytes = header + std::max(kMinChunkBytes, size + alignment);
  auto* chunk = static_cast<Chunk*>(std::malloc(bytes));
  if (chunk == nullptr) throw std::bad_alloc();
  chunk->next = chunks_;
  chunks_ = chunk;
  cursor_ = reinterpret_cast<std::byte*>(chunk) + header;
  end_ = reinterpret_cast<std::byte*>(chunk) + bytes;
  return allocate(size, alignment);
}

void Arena::release_chunks() noexcept {
  while (chunks_ != nullptr) {
    Chunk* next = chunks_->next;
    std::free(chunks_);
    chunks_ = next;
  }
}

}  // namespace korvex
