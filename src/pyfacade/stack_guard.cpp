#include "stack_guard.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "boundary.hpp"
#include "texts.hpp"

namespace korvex::py {
namespace {

// One call of py_get_constant takes about 8 KiB below its caller (a
// registry, the text, the import of json, json.loads itself); twice that
// leaves room for the exception raised instead.
constexpr std::uintptr_t kReserve = std::uintptr_t{16} * 1024;

// The calling thread's stack: its lowest address and its size, as the
// thread library reports them (0 and 0 when it cannot).
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t size = 0;
};

StackBounds thread_stack() noexcept {
  StackBounds bounds;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
  void* low = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0) bounds = {reinterpret_cast<std::uintptr_t>(low), size};
  pthread_attr_destroy(&attributes);
  return bounds;
}

}  // namespace

void check_stack_left() {
  // Asking the thread library is slow (it may read /proc for the main
  // thread), so each thread asks once.
  thread_local const StackBounds bounds = thread_stack();
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const std::uintptr_t above_low = here - bounds.low;
  if (above_low < bounds.size && above_low < kReserve) throw PyErr::with_message(PyExc_RecursionError, texts::kTooDeep);
}

}  // namespace korvex::py
