// Initialisation of the extension module veltrano._korvex_core: one module
// object per process, registered member by member, each name appended to
// __all__ before the attribute is set.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "args.hpp"
#include "free_threading.hpp"
#include "members.hpp"
#include "module_import.hpp"
#include "results.hpp"
#include "texts.hpp"

namespace korvex::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_korvex_core",
    texts::kModuleDoc,
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first initialised the module (-1: none yet).
std::atomic<std::int64_t> owning_interpreter{-1};
// The module object, once an initialisation has succeeded; made under the
// lock, so that two threads initialising at once make one.
PyObject* cached_module = nullptr;
OnceLock initialisation_lock;

// The module's __all__ list, created empty when the module has none.
Ref all_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr::discard_if(PyExc_AttributeError)) throw PyErr::fetch();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyErr::fetch();
  }
  if (!PyList_Check(all.get())) throw conversion_error(all.get(), texts::kListTarget);
  return all;
}

void add_to_all(PyObject* module, PyObject* name) {
  const Ref all = all_list(module);
  if (PyList_Append(all.get(), name) < 0) {
    PyErr::discard();
    throw Fault(texts::kAppendFailed);
  }
}

void add_member(PyObject* module, PyObject* name, PyObject* value) {
  add_to_all(module, name);
  if (PyObject_SetAttr(module, name, value) < 0) throw PyErr::fetch();
}

void add_class(PyObject* module, HeapType& type) {
  PyTypeObject* type_object = type.get();
  const Ref name = new_str(type.name());
  add_member(module, name.get(), reinterpret_cast<PyObject*>(type_object));
}

// The module functions, made by PyModule_AddFunctions: a free-threaded
// CPython then counts their references in a way that threads calling one
// function do not all write. The functions point into the table, which
// ends with an empty entry and lives as long as the process.
void add_functions(PyObject* module) {
  static PyMethodDef table[] = {py_list_constants_def, py_list_quarks_def, py_get_constant_def, {}};
  if (PyModule_AddFunctions(module, table) < 0) throw PyErr::fetch();
  for (const PyMethodDef* definition = table; definition->ml_name != nullptr; ++definition)
    add_to_all(module, new_str(definition->ml_name).get());
}

void register_members(PyObject* module) {
  add_class(module, formulas_registry_type);
  add_class(module, quark_registry_type);
  add_class(module, ckm_matrix_type);
  add_functions(module);
  const Ref name = new_str("__version__");
  const Ref version = new_str(kVersion);
  add_member(module, name.get(), version.get());
}

Ref initialise() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) throw PyErr::fetch();
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, interpreter, std::memory_order_seq_cst) &&
      owner != interpreter)
    throw PyErr::with_message(PyExc_ImportError, texts::kOtherInterpreter);

  // Importing again (after removal from sys.modules, say) gives the same
  // module object: the body below runs once per process.
  const std::lock_guard once(initialisation_lock);
  if (cached_module != nullptr) return Ref::borrow(cached_module);

  Ref module = Ref::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) throw PyErr::fetch();
  if (!declare_lock_not_needed(module.get())) throw PyErr::fetch();
  intern_constant_function_names();
  prepare_module_import();
  register_members(module.get());  // on failure the new module is dropped and nothing is cached
  cached_module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace korvex::py

// The name CPython's import system looks for in an extension module.
PyMODINIT_FUNC PyInit__korvex_core() {  // NOLINT(bugprone-reserved-identifier)
  return korvex::py::call_boundary([] { return korvex::py::initialise(); });
}
