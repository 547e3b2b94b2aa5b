// The call boundary: the guard around every entry from CPython into the
// module, and the two kinds of failure that travel up to it.
//
// Inside an entry, code reports failure by throwing either
//   - a PyErr, a Python exception to raise (KeyError, TypeError, or an error
//     CPython itself raised and the entry fetched), or
//   - a Fault, a broken invariant; it reaches Python as
//     pyo3_runtime.PanicException (derived from BaseException) carrying the
//     fault's text, after a report on standard error.
// call_boundary() turns the outcome into what CPython expects: a new
// reference, or NULL (-1 for a length slot) with the exception set. No C++
// exception ever crosses into CPython. Exhausted memory ends the process.
#pragma once

#include <expected>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>

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

  // Makes this error the interpreter's raised exception.
  void restore() &&;
  // The exception object itself, instantiating a deferred error. Null only
  // if even that failed, with CPython's own error raised instead.
  Ref into_exception() &&;

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
// Methods and length slots hold a shared borrow of self while they run.
class SharedBorrow {
 public:
  explicit SharedBorrow(Py_ssize_t& counter);
  ~SharedBorrow() { --counter_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  Py_ssize_t& counter_;
};

namespace detail {

inline thread_local std::size_t entry_level = 0;

// Counts, per thread, how deeply calls into the module are nested. The
// thread's counter is located once per entry.
class EntryLevel {
 public:
  EntryLevel() noexcept : level_(&entry_level) { ++*level_; }
  ~EntryLevel() { --*level_; }
  EntryLevel(const EntryLevel&) = delete;
  EntryLevel& operator=(const EntryLevel&) = delete;

 private:
  std::size_t* level_;
};

void raise(PyErr&& error) noexcept;
void raise(const Fault& fault) noexcept;
void raise_fault_without_text() noexcept;
[[noreturn]] void out_of_memory() noexcept;

}  // namespace detail

// What an entry's body may return: a result, or a Python error as a value.
// Returning an expected error is cheaper than throwing it, so the errors a
// caller may meet in a loop (a KeyError for a missing name) travel this way.
using PyResult = std::expected<Ref, PyErr>;

// Runs body() for an entry from CPython. body returns a Ref or a PyResult
// (functions, methods, constructors: NULL on failure) or a Py_ssize_t
// (length slots: -1 on failure).
template <class Body>
auto call_boundary(Body&& body) noexcept {
  using Result = std::invoke_result_t<Body&>;
  constexpr bool kLength = std::is_same_v<Result, Py_ssize_t>;
  static_assert(kLength || std::is_same_v<Result, Ref> || std::is_same_v<Result, PyResult>);
  using Raw = std::conditional_t<kLength, Py_ssize_t, PyObject*>;
  constexpr Raw failure = [] {
    if constexpr (kLength)
      return Py_ssize_t{-1};
    else
      return static_cast<PyObject*>(nullptr);
  }();

  detail::EntryLevel level;
  try {
    if constexpr (kLength) {
      return body();
    } else {
      PyResult result = body();
      if (!result) {
        detail::raise(std::move(result.error()));
        return failure;
      }
      if (!*result) throw PyErr::fetch();
      return result->release();
    }
  } catch (PyErr& error) {
    detail::raise(std::move(error));
  } catch (const Fault& fault) {
    detail::raise(fault);
  } catch (const std::bad_alloc&) {
    detail::out_of_memory();
  } catch (const std::exception& error) {
    detail::raise(Fault(error.what()));
  } catch (...) {
    detail::raise_fault_without_text();
  }
  return failure;
}

}  // namespace korvex::py
