// An owning reference to a Python object: the reference is released when the
// Ref goes, on every path, so no entry point can leak one.
#pragma once

#include <utility>

#include "python.hpp"

namespace korvex::py {

namespace detail {

// Whether this thread has a thread state attached, as every call from the
// interpreter into the module has. The one time it has none while module
// code runs is when the interpreter, shutting down, ends a daemon thread
// that asked for the interpreter back from inside a call into the module:
// the thread's stack is then unwound through the module's frames, and the
// interpreter must not be touched.
inline bool thread_state_attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Parks the calling thread for good. For a thread that the interpreter ends
// while a reference is being released (the release ran a finaliser, which
// gave up the interpreter): the unwind that ends it cannot pass through a
// destructor, so the thread is left waiting, as the interpreter itself does
// with such threads from 3.14 on. The process goes on exiting around it.
[[noreturn]] void park_thread() noexcept;

inline void release(PyObject* object) noexcept {
  if (!thread_state_attached()) return;
  try {
    Py_DECREF(object);
  } catch (...) {
    park_thread();
  }
}

}  // namespace detail

class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference (which may be null: a failed CPython call).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to a borrowed object.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (object_ != nullptr) detail::release(object_);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (CPython, when an entry returns).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace korvex::py
