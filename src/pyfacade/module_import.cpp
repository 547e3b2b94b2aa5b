#include "module_import.hpp"

#include <cstring>

#include "boundary.hpp"
#include "results.hpp"
#include "texts.hpp"

namespace korvex::py {
namespace {

// Made once and kept for the life of the process.
PyObject* builtins_name = nullptr;  // "__builtins__"
PyObject* import_name = nullptr;    // "__import__"
// The C function behind the interpreter's own __import__, as the builtins
// module's definition lists it.
PyCFunction interpreters_import = nullptr;

// dict[key] of an exact dict under an exact str key, a read that runs no
// Python code: a new reference, or null when the key is absent.
Ref item_of(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) throw PyErr::fetch();
  return Ref::steal(value);
#else
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr::pending()) throw PyErr::fetch();
  return Ref::borrow(value);
#endif
}

// The __import__ of the calling code's builtins where finding it takes only
// such reads: globals an exact dict, and its __builtins__ an exact dict or
// an exact module (whose attribute is then its namespace's entry). Null
// otherwise, and when it is absent: PyImport_Import then looks itself.
Ref import_of_plain_builtins(PyObject* globals) {
  if (!PyDict_CheckExact(globals)) return {};
  const Ref builtins = item_of(globals, builtins_name);
  if (!builtins) return {};
  PyObject* names = builtins.get();
  if (PyModule_CheckExact(names))
    names = PyModule_GetDict(names);
  else if (!PyDict_CheckExact(names))
    return {};
  return item_of(names, import_name);
}

bool is_interpreters_import(PyObject* import) {
  return interpreters_import != nullptr && PyCFunction_Check(import) &&
         PyCFunction_GetFunction(import) == interpreters_import;
}

}  // namespace

void prepare_module_import() {
  intern_once(builtins_name, "__builtins__");
  intern_once(import_name, "__import__");
  if (interpreters_import != nullptr) return;
  const Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) throw PyErr::fetch();
  const PyModuleDef* definition = PyModule_GetDef(builtins.get());
  if (definition == nullptr || std::strcmp(definition->m_name, "builtins") != 0) {
    PyErr::discard();  // then every import goes through PyImport_Import
    return;
  }
  for (const PyMethodDef* method = definition->m_methods; method != nullptr && method->ml_name != nullptr; ++method)
    if (std::strcmp(method->ml_name, "__import__") == 0) interpreters_import = method->ml_meth;
}

Ref import_module(PyObject* name) {
  // PyImport_Import calls the calling code's __import__ with (name, globals,
  // globals, [], 0), then returns sys.modules[name]. When that __import__ is
  // the interpreter's own, the call comes down to the import below, which
  // that function makes for these arguments; for a top-level name it
  // returns the very module that sys.modules then holds. The call counts
  // against the recursion limit, as calling a C function does.
  if (PyObject* const globals = PyEval_GetGlobals(); globals != nullptr) {
    const Ref held = Ref::borrow(globals);
    const Ref import = import_of_plain_builtins(globals);
    if (import && is_interpreters_import(import.get())) {
      if (Py_EnterRecursiveCall(texts::kWhileCalling) != 0) throw PyErr::fetch();
      Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, globals, globals, nullptr, 0));
      Py_LeaveRecursiveCall();
      if (!module) throw PyErr::fetch();
      return module;
    }
  }
  Ref module = Ref::steal(PyImport_Import(name));
  if (!module) throw PyErr::fetch();
  return module;
}

}  // namespace korvex::py
