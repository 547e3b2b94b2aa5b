// PyCKMMatrix: a Python object holding one mixing matrix by value. It has no
// constructor; from_topology() is the only way to make one.
#include "ckm_matrix.hpp"

#include <string>

#include "args.hpp"
#include "members.hpp"
#include "results.hpp"
#include "texts.hpp"

namespace korvex::py {
namespace {

constexpr Signature<1> kIsUnitary{"PyCKMMatrix.is_unitary()", {"tol"}};

// A heap type without tp_new of its own would inherit object's and make
// empty instances; this one refuses instead.
PyObject* construct(PyTypeObject* type, PyObject*, PyObject*) {
  return call_boundary([&]() -> Ref {
    const Ref name = Ref::steal(PyType_GetName(type));
    if (!name) throw PyErr::fetch();
    Ref message = Ref::steal(PyUnicode_FromFormat(texts::kNoConstructor, name.get()));
    if (!message) throw PyErr::fetch();
    throw PyErr::with_argument(PyExc_TypeError, std::move(message));
  });
}

// The fault that ends from_topology() when its instance cannot be
// allocated, carrying a rendering of CPython's error.
Fault allocation_fault(PyErr error) {
  std::string text = texts::kUnwrapFailed;
  const Ref exception = std::move(error).into_exception();
  const Ref rendering = Ref::steal(exception ? PyObject_Repr(exception.get()) : nullptr);
  const char* utf8 = rendering ? PyUnicode_AsUTF8(rendering.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr::discard();
    utf8 = texts::kUnrenderableError;
  }
  text += utf8;
  return Fault(std::move(text));
}

PyObject* from_topology(PyObject*, PyObject*) {
  return call_boundary([] {
    // The class's tp_alloc builds the matrix from the topology.
    auto object = new_instance(ckm_matrix_type.get_or_fault());
    if (!object) throw allocation_fault(std::move(object.error()));
    return std::move(*object);
  });
}

PyObject* is_unitary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&] {
    const auto [tol_argument] = bind(kIsUnitary, args, nargs, kwnames);
    BorrowedSelf<CKMMatrix> matrix(self, ckm_matrix_type);
    const double tol = double_argument(tol_argument, "tol");
    return new_bool(matrix->is_unitary(tol));
  });
}

PyObject* jarlskog(PyObject* self, PyObject*) {
  return call_boundary([&] {
    BorrowedSelf<CKMMatrix> matrix(self, ckm_matrix_type);
    return new_float(matrix->jarlskog());
  });
}

PyMethodDef methods[] = {
    {"from_topology", from_topology, METH_STATIC | METH_NOARGS, texts::kFromTopologyDoc},
    {"is_unitary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_unitary)),
     METH_FASTCALL | METH_KEYWORDS, texts::kIsUnitaryDoc},
    {"jarlskog", jarlskog, METH_NOARGS, texts::kJarlskogDoc},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_alloc, reinterpret_cast<void*>(allocate_instance<CKMMatrix, CKMMatrix::from_topology>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<CKMMatrix>)},
    {Py_tp_methods, methods},
};

const ClassSpec spec{"builtins.PyCKMMatrix",      "PyCKMMatrix", nullptr, texts::kCKMMatrixDoc,
                     sizeof(Instance<CKMMatrix>), slots};

}  // namespace

HeapType ckm_matrix_type(spec);

}  // namespace korvex::py
