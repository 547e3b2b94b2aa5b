#include "results.hpp"

namespace korvex::py {

Ref new_float(double value) { return checked(PyFloat_FromDouble(value)); }

Ref new_str(std::string_view utf8) {
  return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref new_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Py_ssize_t length_result(std::size_t count) {
  if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw PyErr::with_argument(PyExc_OverflowError, Ref::borrow(Py_None));
  return static_cast<Py_ssize_t>(count);
}

}  // namespace korvex::py
