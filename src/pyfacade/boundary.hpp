// The call boundary: the guard around every entry from CPython into the
// module, and the two kinds of failure that travel up to it (the whole
// story: docs/design.md, "The call boundary").
//
// Inside an entry, code reports failure by throwing either
//   - a PyErr, a Python exception to raise (KeyError, TypeError, or an error
//     CPython itself raised and the entry fetched), or
//   - a Fault, a failure reported as a panic rather than as an ordinary
//     exception: a broken invariant, a CPython call that could not make a
//     result, or input refused that way (py_get_constant("")). It reaches
//     Python as pyo3_runtime.PanicException (derived from BaseException)
//     carrying the fault's text, after a report on standard error.
// call_boundary() turns the outcome into what CPython expects: a new
// reference, or NULL (-1 for a length slot) with the exception set. No C++
// exception ever crosses into CPython. Exhausted memory ends the process.
#pragma once

#include <atomic>
#include <expected>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "free_threading.hpp"
#include "ref.hpp"

namespace korvex::py {

class PyErr {
 public:
  // An exception of `type` raised with one str argument.
  static PyErr with_message(PyObject* type, std::string_view message);
  // An exception of `type` raised with `argument` (None: no arguments; an
  // instance of `type`: raised as it is).
  static PyErr with_argument(PyObject* type, Ref argument);
  // Takes the exception CPython currently has raised. When a CPython call
  // reported failure without raising anything, this is a SystemError.
  static PyErr fetch();
  // An exception object to raise as it is.
  static PyErr raised(Ref exception);

  // Whether CPython has an exception raised, after a call whose result
  // cannot tell (PyFloat_AsDouble's -1.0).
  static bool pending() noexcept;
  // Drops the exception CPython has raised, when it is of `type` (or a
  // subclass); otherwise leaves it raised. Says whether it dropped one.
  static bool discard_if(PyObject* type) noexcept;
  // Drops whatever exception CPython has raised, for a failure that the
  // caller replaces with an answer of its own.
  static void discard() noexcept;

  // Makes this error the interpreter's raised exception.
  void restore() &&;
  // The exception object itself, instantiating a deferred error. Null only
  // if even that failed, with CPython's own error raised instead.
  Ref into_exception() &&;
  // Writes the error to standard error, as the interpreter reports an
  // exception nobody caught, instead of raising it.
  void print() &&;

 private:
  PyErr() = default;

  Ref type_;      // deferred: the type and what to raise it with
  Ref argument_;  // (null when the message's str could not be made)
  Ref raised_;    // captured: an exception CPython already raised
};

class Fault {
 public:
  explicit Fault(std::string text, std::source_location where = std::source_location::current())
      : text_(std::move(text)), where_(where) {}
  const std::string& text() const noexcept { return text_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string text_;
  std::source_location where_;
};

// A CPython call that creates a result object (float, str, list) returned
// NULL: prints and clears CPython's error, then faults with
// "Python API call failed".
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// Returns `object`, or ends the call through api_call_failed() when null.
inline Ref checked(PyObject* object, std::source_location where = std::source_location::current()) {
  if (object == nullptr) api_call_failed(where);
  return Ref::steal(object);
}

// Every Python-visible instance carries a shared-borrow counter: 0 when
// created, -1 for an exclusive borrow (which nothing in the module takes).
// Methods and length slots hold a shared borrow of self while they run,
// counted as count_shared_borrow() says.
class SharedBorrow {
 public:
  explicit SharedBorrow(std::atomic<Py_ssize_t>& counter) : counter_(counter) {
    if (counter_.load(std::memory_order_relaxed) == -1) already_borrowed();
    count_shared_borrow(counter_, 1);
  }
  ~SharedBorrow() { count_shared_borrow(counter_, -1); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  [[noreturn]] static void already_borrowed();

  std::atomic<Py_ssize_t>& counter_;
};

namespace detail {

// What went wrong in an entry, on its way up to the boundary's caller.
using Failure = std::variant<PyErr, Fault>;
// Takes the exception being handled (inside a catch (...)), kept off the
// entry's stack, which json.loads may re-enter deeply. An unwind that is not
// a C++ exception, the one ending this thread, is rethrown untouched.
std::unique_ptr<Failure> capture_current_exception();
// Raises the failure as a Python exception (a fault is reported first).
void raise(Failure&& failure);

}  // namespace detail

// What an entry's body may return: a result, or a Python error as a value.
// Returning an expected error is cheaper than throwing it, so the errors a
// caller may meet in a loop (a KeyError for a missing name) travel this way.
using PyResult = std::expected<Ref, PyErr>;

// Runs body() for an entry from CPython. body returns a Ref or a PyResult
// (functions, methods, constructors: NULL on failure) or a Py_ssize_t
// (length slots: -1 on failure).
template <class Body>
auto call_boundary(Body&& body) {
  using Result = std::invoke_result_t<Body&>;
  constexpr bool kLength = std::is_same_v<Result, Py_ssize_t>;
  static_assert(kLength || std::is_same_v<Result, Ref> || std::is_same_v<Result, PyResult>);
  using Raw = std::conditional_t<kLength, Py_ssize_t, PyObject*>;
  constexpr Raw failed = [] {
    if constexpr (kLength)
      return Py_ssize_t{-1};
    else
      return static_cast<PyObject*>(nullptr);
  }();

  // A thrown failure is raised after the handler, not inside it: raising
  // runs interpreter code, which must not run while a C++ exception is held.
  std::unique_ptr<detail::Failure> thrown;
  try {
    if constexpr (kLength) {
      return body();
    } else {
      PyResult result = body();
      if (result && *result) return result->release();
      detail::raise(result ? PyErr::fetch() : std::move(result.error()));
      return failed;
    }
  } catch (...) {
    thrown = detail::capture_current_exception();
  }
  detail::raise(std::move(*thrown));
  return failed;
}

}  // namespace korvex::py
