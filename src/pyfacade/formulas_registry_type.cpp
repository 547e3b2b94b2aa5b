// PyFormulasRegistry: a Python object owning one constants registry, built
// when the object is created.
#include "formulas_registry.hpp"

#include "args.hpp"
#include "members.hpp"
#include "results.hpp"
#include "texts.hpp"

namespace korvex::py {

// A template argument, so of external linkage (heap_type.hpp).
inline constexpr Signature<0> kFormulasRegistryNew{"PyFormulasRegistry.__new__()", {}};

namespace {

constexpr Signature<1> kGet{"PyFormulasRegistry.get()", {"name"}};

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&]() -> PyResult {
    const auto [name_argument] = bind(kGet, args, nargs, kwnames);
    BorrowedSelf<FormulasRegistry> registry(self, formulas_registry_type);
    const std::string_view name = utf8_argument(name_argument, "name");
    const std::expected<double, RegistryError> value = registry->get_value(name);
    if (!value) return std::unexpected(PyErr::with_message(PyExc_KeyError, value.error().message()));
    return new_float(*value);
  });
}

PyObject* version(PyObject*, PyObject*) {
  return call_boundary([] { return new_str(kVersion); });
}

PyMethodDef methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get)), METH_FASTCALL | METH_KEYWORDS,
     texts::kGetDoc},
    {"version", version, METH_STATIC | METH_NOARGS, texts::kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(construct_without_arguments<kFormulasRegistryNew>)},
    {Py_tp_alloc, reinterpret_cast<void*>(allocate_instance<FormulasRegistry, make_default<FormulasRegistry>>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<FormulasRegistry>)},
    {Py_mp_length, reinterpret_cast<void*>(length_of<FormulasRegistry, formulas_registry_type>)},
    {Py_tp_methods, methods},
};

const ClassSpec spec{"builtins.PyFormulasRegistry",
                     "PyFormulasRegistry",
                     "()",
                     texts::kFormulasRegistryDoc,
                     sizeof(Instance<FormulasRegistry>),
                     slots};

}  // namespace

HeapType formulas_registry_type(spec);

}  // namespace korvex::py
