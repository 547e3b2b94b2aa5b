// An owning reference to a Python object: the reference is released when the
// Ref goes, on every path, so no entry point can leak one.
#pragma once

#include <utility>

#include "python.hpp"

namespace korvex::py {

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
  ~Ref() { Py_XDECREF(object_); }

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
