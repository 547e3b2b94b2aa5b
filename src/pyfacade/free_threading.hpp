// Everything the module does differently in a free-threaded CPython
// (Py_GIL_DISABLED), as small named pieces; no other file tests for it.
#pragma once

#include <atomic>
#include <cstddef>

#include "ref.hpp"

namespace korvex::py {

// Adds step to an instance's shared-borrow counter. With the interpreter
// lock, which serialises the module's calls, plain loads and stores count.
// Without it the counter is left alone: counting would make every call on
// an instance shared by several threads write one cache line from all of
// them (two threads calling get on one registry then ran no faster than
// one), and nothing reads the count, as no exclusive borrow is ever taken.
inline void count_shared_borrow([[maybe_unused]] std::atomic<Py_ssize_t>& counter,
                                [[maybe_unused]] Py_ssize_t step) noexcept {
#ifndef Py_GIL_DISABLED
  counter.store(counter.load(std::memory_order_relaxed) + step, std::memory_order_relaxed);
#endif
}

// Serialises the module's one-time steps (initialisation, making the panic
// exception type) in builds without the interpreter lock, with a lock that
// lets the thread's state go while it waits; with the interpreter lock,
// which serialises them already, it does nothing.
class OnceLock {
 public:
#ifdef Py_GIL_DISABLED
  void lock() noexcept { PyMutex_Lock(&mutex_); }
  void unlock() noexcept { PyMutex_Unlock(&mutex_); }

 private:
  PyMutex mutex_{};
#else
  void lock() noexcept {}
  void unlock() noexcept {}
#endif
};

// A list is built by new_list_with_room(n), then put_list_item for each of
// the n items in order. The free-threaded PyList_New(n) frees a stale item
// array when it cannot allocate the new one, which corrupts the heap
// (CPython 3.13); there the list starts empty and grows, which fails
// cleanly.
//
// A new reference, or null with CPython's error raised.
inline PyObject* new_list_with_room([[maybe_unused]] std::size_t size) noexcept {
#ifdef Py_GIL_DISABLED
  return PyList_New(0);
#else
  return PyList_New(static_cast<Py_ssize_t>(size));
#endif
}
// Puts item at index, the next one; false, with CPython's error raised, when
// the list could not take it.
inline bool put_list_item(PyObject* list, [[maybe_unused]] std::size_t index, Ref item) noexcept {
#ifdef Py_GIL_DISABLED
  return PyList_Append(list, item.get()) == 0;
#else
  PyList_SET_ITEM(list, static_cast<Py_ssize_t>(index), item.release());
  return true;
#endif
}

// Declares that the module does not need the interpreter lock, so that a
// free-threaded interpreter keeps running without it when it imports the
// module: the registries are complete before anyone reads them and take
// their own locks, the other values never change, and the module's own
// state is atomic or made under a lock. False, with CPython's error raised,
// when that fails.
inline bool declare_lock_not_needed([[maybe_unused]] PyObject* module) noexcept {
#ifdef Py_GIL_DISABLED
  return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) == 0;
#else
  return true;
#endif
}

}  // namespace korvex::py
