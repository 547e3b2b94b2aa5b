// PyQuarkRegistry, a Python object owning one (empty) quark registry, and
// py_list_quarks, the sorted names of the Standard-Model quarks.
#include "quark_registry.hpp"

#include "args.hpp"
#include "members.hpp"
#include "results.hpp"
#include "texts.hpp"

namespace korvex::py {

// A template argument, so of external linkage (heap_type.hpp).
inline constexpr Signature<0> kQuarkRegistryNew{"PyQuarkRegistry.__new__()", {}};

namespace {

// Builds the seeded registry afresh and lists its keys, sorted. The names
// are the registry's own keys, so the registry lives until the list of str
// is made.
PyObject* list_quarks(PyObject*, PyObject*) {
  return call_boundary([] {
    const QuarkRegistry registry = QuarkRegistry::standard_model();
    return new_sorted_str_list([&registry](const auto& add) { registry.for_each_key(add); });
  });
}

const PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(construct_without_arguments<kQuarkRegistryNew>)},
    {Py_tp_alloc, reinterpret_cast<void*>(allocate_instance<QuarkRegistry, make_default<QuarkRegistry>>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<QuarkRegistry>)},
    {Py_mp_length, reinterpret_cast<void*>(length_of<QuarkRegistry, quark_registry_type>)},
};

const ClassSpec spec{"builtins.PyQuarkRegistry",
                     "PyQuarkRegistry",
                     "()",
                     texts::kQuarkRegistryDoc,
                     sizeof(Instance<QuarkRegistry>),
                     slots};

}  // namespace

HeapType quark_registry_type(spec);

PyMethodDef py_list_quarks_def = {"py_list_quarks", list_quarks, METH_NOARGS, texts::kListQuarksDoc};

}  // namespace korvex::py
