// Argument handling shared by every entry that takes arguments: binding a
// call's positional and keyword arguments to a fixed parameter list, and
// converting one argument to the C++ type the operation needs. Every
// message of an argument failure is made here.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "boundary.hpp"

namespace korvex::py {

// A parameter list: all parameters required and positional-or-keyword.
// `function` is the name used in messages, e.g. "PyFormulasRegistry.get()".
template <std::size_t N>
struct Signature {
  const char* function;
  std::array<const char*, N> parameters;
};

namespace detail {
// Fills `bound` (borrowed references) or throws the matching TypeError.
void bind(const char* function, std::span<const char* const> parameters, PyObject* const* args,
          Py_ssize_t positional_count, PyObject* keyword_names, PyObject* const* keyword_values,
          std::span<PyObject*> bound);
void bind_tuple(const char* function, std::span<const char* const> parameters, PyObject* args, PyObject* kwargs,
                std::span<PyObject*> bound);
}  // namespace detail

// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument vector.
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  std::array<PyObject*, N> bound{};
  const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  // The usual call: every parameter by position.
  if (kwnames == nullptr && positional == static_cast<Py_ssize_t>(N)) {
    for (std::size_t i = 0; i < N; ++i) bound[i] = args[i];
    return bound;
  }
  detail::bind(signature.function, signature.parameters, args, positional, kwnames, args + positional, bound);
  return bound;
}

// Binds the tuple and dict a type's tp_new receives.
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> bound{};
  detail::bind_tuple(signature.function, signature.parameters, args, kwargs, bound);
  return bound;
}

// The UTF-8 bytes of a str argument (a str or a subclass), valid while the
// object lives. Anything else is a TypeError naming the parameter; text
// that cannot be encoded (lone surrogates) raises CPython's
// UnicodeEncodeError unchanged.
std::string_view utf8_argument_slow(PyObject* value, const char* parameter);
inline std::string_view utf8_argument(PyObject* value, const char* parameter) {
  // A compact ASCII str, what names are, holds its text as UTF-8 already.
  if (PyUnicode_Check(value) && PyUnicode_IS_COMPACT_ASCII(value))
    return {static_cast<const char*>(PyUnicode_DATA(value)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))};
  return utf8_argument_slow(value, parameter);
}

// A float argument: an exact float is read directly; anything else goes
// through PyFloat_AsDouble, so int, bool and objects with __float__ or
// __index__ are accepted. A TypeError is reworded to name the parameter;
// any other error (an OverflowError for a huge int) passes unchanged.
double double_argument(PyObject* value, const char* parameter);

// The TypeError for a value of the wrong type:
// "'<qualified type name>' object cannot be converted to '<target>'".
PyErr conversion_error(PyObject* value, const char* target);

// Checks that `self` is an instance of `type` (or of a subtype).
void check_self_slow(PyObject* self, PyTypeObject* type, const char* class_name);
inline void check_self(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (self == nullptr || Py_TYPE(self) != type) check_self_slow(self, type, class_name);
}

}  // namespace korvex::py
