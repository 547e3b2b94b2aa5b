// The module functions over the constants registry: py_get_constant, one
// constant's datasheet, and py_list_constants, every constant's name. Each
// call builds a registry of its own and lets it go before returning.
#include <string>

#include "args.hpp"
#include "datasheet.hpp"
#include "formulas_registry.hpp"
#include "members.hpp"
#include "name_list.hpp"
#include "results.hpp"

namespace korvex::py {
namespace {

constexpr Signature<1> kGetConstant{"py_get_constant()", {"name"}};
constexpr const char* kEmptyName = "py_get_constant: name must be non-empty";

// The datasheet is written as JSON text and handed to the interpreter's own
// json.loads, imported anew on every call, so that whatever `json` resolves
// to (a replaced loads included) makes the object the caller receives.
Ref parse_with_json_module(std::string_view text) {
  const Ref json = Ref::steal(PyImport_Import(new_str("json").get()));
  if (!json) throw PyErr::fetch();
  const Ref loads = new_str("loads");
  const Ref text_object = new_str(text);
  // One spare slot in front lets CPython prepend a bound self in place.
  PyObject* call[] = {nullptr, json.get(), text_object.get()};
  Ref result = Ref::steal(PyObject_VectorcallMethod(loads.get(), call + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) throw PyErr::fetch();
  return result;
}

PyObject* get_constant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&] {
    const auto [name_argument] = bind(kGetConstant, args, nargs, kwnames);
    const std::string_view name = utf8_argument(name_argument, "name");
    if (name.empty()) throw Fault(kEmptyName);
    std::string datasheet;
    {
      const FormulasRegistry registry;
      const std::expected<ConstantRecord, RegistryError> record = registry.get(name);
      if (!record) throw PyErr::with_message(PyExc_KeyError, record.error().message());
      datasheet = write_datasheet(*record);
    }
    return parse_with_json_module(datasheet);
  });
}

PyObject* list_constants(PyObject*, PyObject*) {
  return call_boundary([] {
    NameList names;
    {
      const FormulasRegistry registry;
      names.reserve(registry.len(), 256);
      registry.for_each([&names](std::string_view key, const ConstantRecordView&) { names.add(key); });
      names.sort();
    }
    return new_str_list(names);
  });
}

}  // namespace

PyMethodDef py_list_constants_def = {
    "py_list_constants", list_constants, METH_NOARGS,
    "py_list_constants()\n--\n\nRust-accelerated twin of `veltrano.list_constants`.\n\n"
    "Returns all known constant names from the FormulasRegistry."};

PyMethodDef py_get_constant_def = {
    "py_get_constant", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_constant)),
    METH_FASTCALL | METH_KEYWORDS,
    "py_get_constant(name)\n--\n\nRust-accelerated twin of `veltrano.Get` for the constants branch.\n\n"
    "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
    "`uncertainty`, and `status` fields \xE2\x80\x94 matching the Python constant\n"
    "datasheet schema so callers don't need to branch.\n\n"
    "Raises `PyKeyError` when `name` is not in the registry."};

}  // namespace korvex::py
