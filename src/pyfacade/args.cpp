#include "args.hpp"

#include <string>

#include "texts.hpp"

namespace korvex::py {
namespace {

[[noreturn]] void type_error(Ref message) {
  if (!message) throw PyErr::fetch();
  throw PyErr::with_argument(PyExc_TypeError, std::move(message));
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'"
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " and " : ", ";
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

std::ptrdiff_t parameter_index(std::span<const char* const> parameters, PyObject* keyword) {
  for (std::size_t i = 0; i < parameters.size(); ++i)
    if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, parameters[i]) == 0)
      return static_cast<std::ptrdiff_t>(i);
  return -1;
}

void check_positional_count(const char* function, std::size_t parameters, Py_ssize_t given) {
  if (given <= static_cast<Py_ssize_t>(parameters)) return;
  type_error(Ref::steal(
      PyUnicode_FromFormat(texts::kTooManyPositional, function, parameters, given, given == 1 ? "was" : "were")));
}

void bind_keyword(const char* function, std::span<const char* const> parameters, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> bound) {
  const std::ptrdiff_t index = parameter_index(parameters, keyword);
  if (index < 0) {
    // %U copies the text itself; %S would call a str subclass's __str__.
    const char* format = PyUnicode_Check(keyword) ? texts::kUnexpectedKeyword : texts::kUnexpectedNonStrKeyword;
    type_error(Ref::steal(PyUnicode_FromFormat(format, function, keyword)));
  }
  if (bound[static_cast<std::size_t>(index)] != nullptr)
    type_error(Ref::steal(
        PyUnicode_FromFormat(texts::kMultipleValues, function, parameters[static_cast<std::size_t>(index)])));
  bound[static_cast<std::size_t>(index)] = value;
}

void check_all_bound(const char* function, std::span<const char* const> parameters, std::span<PyObject*> bound) {
  std::array<const char*, 8> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < parameters.size(); ++i)
    if (bound[i] == nullptr && count < missing.size()) missing[count++] = parameters[i];
  if (count == 0) return;
  const std::string names = quoted_list(std::span(missing.data(), count));
  type_error(Ref::steal(
      PyUnicode_FromFormat(texts::kMissingArguments, function, count, count == 1 ? "" : "s", names.c_str())));
}

// The qualified name of value's type, or a stand-in when it cannot be read.
Ref qualified_type_name(PyObject* value) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr::discard();
  return Ref::steal(PyUnicode_FromString(texts::kUnknownTypeName));
}

// A TypeError raised while converting a parameter is replaced by one that
// names the parameter and keeps the original's cause; other errors pass.
PyErr argument_error(const char* parameter, PyErr error) {
  Ref original = std::move(error).into_exception();
  if (!original) return PyErr::fetch();
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError))
    return PyErr::raised(std::move(original));
  Ref message = Ref::steal(PyUnicode_FromFormat(texts::kArgumentError, parameter, original.get()));
  if (!message) return PyErr::fetch();
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return PyErr::fetch();
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  return PyErr::with_argument(PyExc_TypeError, std::move(replacement));
}

}  // namespace

namespace detail {

void bind(const char* function, std::span<const char* const> parameters, PyObject* const* args,
          Py_ssize_t positional_count, PyObject* keyword_names, PyObject* const* keyword_values,
          std::span<PyObject*> bound) {
  check_positional_count(function, parameters.size(), positional_count);
  for (Py_ssize_t i = 0; i < positional_count; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  if (keyword_names != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t i = 0; i < keyword_count; ++i)
      bind_keyword(function, parameters, PyTuple_GET_ITEM(keyword_names, i), keyword_values[i], bound);
  }
  check_all_bound(function, parameters, bound);
}

void bind_tuple(const char* function, std::span<const char* const> parameters, PyObject* args, PyObject* kwargs,
                std::span<PyObject*> bound) {
  const Py_ssize_t positional_count = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  check_positional_count(function, parameters.size(), positional_count);
  for (Py_ssize_t i = 0; i < positional_count; ++i) bound[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) bind_keyword(function, parameters, keyword, value, bound);
  }
  check_all_bound(function, parameters, bound);
}

}  // namespace detail

PyErr conversion_error(PyObject* value, const char* target) {
  Ref type_name = qualified_type_name(value);
  if (!type_name) return PyErr::fetch();
  Ref message = Ref::steal(PyUnicode_FromFormat(texts::kCannotConvert, type_name.get(), target));
  if (!message) return PyErr::fetch();
  return PyErr::with_argument(PyExc_TypeError, std::move(message));
}

std::string_view utf8_argument_slow(PyObject* value, const char* parameter) {
  if (!PyUnicode_Check(value)) throw argument_error(parameter, conversion_error(value, texts::kStringTarget));
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(value, &size);
  if (bytes == nullptr) throw argument_error(parameter, PyErr::fetch());
  return {bytes, static_cast<std::size_t>(size)};
}

double double_argument(PyObject* value, const char* parameter) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr::pending()) throw argument_error(parameter, PyErr::fetch());
  return result;
}

void check_self_slow(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (self != nullptr && PyType_IsSubtype(Py_TYPE(self), type)) return;
  throw conversion_error(self == nullptr ? Py_None : self, class_name);
}

}  // namespace korvex::py
