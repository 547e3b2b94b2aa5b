#include "results.hpp"

#include "byte_loads.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace korvex::py {

Ref new_float(double value) { return checked(PyFloat_FromDouble(value)); }

Ref new_str(std::string_view utf8) {
  // ASCII text, what the registries hold, is copied straight into a new
  // one-byte str; anything else is decoded by CPython.
  const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
  return new_ascii_str(utf8);
}

Ref new_ascii_str(std::string_view ascii) {
  assert(std::all_of(ascii.begin(), ascii.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  Ref text = checked(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
  copy_bytes(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())), ascii.data(), ascii.size());
  return text;
}

Ref new_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

void intern_once(PyObject*& name, const char* text) {
  if (name == nullptr) name = checked(PyUnicode_InternFromString(text)).release();
}

Py_ssize_t length_result(std::size_t count) {
  if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX))
    throw PyErr::with_argument(PyExc_OverflowError, Ref::borrow(Py_None));
  return static_cast<Py_ssize_t>(count);
}

}  // namespace korvex::py
