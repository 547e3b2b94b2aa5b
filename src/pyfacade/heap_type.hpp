// The module's classes as heap types built from a PyType_Spec, their
// instances (the wrapped C++ value and a shared-borrow counter after the
// object header), and the slots they share.
#pragma once

#include <atomic>
#include <expected>
#include <new>
#include <span>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "results.hpp"

namespace korvex::py {

// The templates below take objects and functions as template arguments.
// Each such argument must have external linkage and a name of its own: an
// instantiation for an object in an unnamed namespace can be emitted under
// the same weak symbol in two files (the unnamed namespace mangles alike in
// every file), and the linker then keeps one for both.

template <class Value>
struct Instance {
  PyObject_HEAD Value value;
  std::atomic<Py_ssize_t> borrow_counter;
};

template <class Value>
Instance<Value>& instance_of(PyObject* self) noexcept {
  return *reinterpret_cast<Instance<Value>*>(self);
}

// tp_alloc of every class. All instances are made here, whoever asks for
// one: the class's constructor, or object.__new__ behind a __new__ that
// Python code put on the class (the classes are mutable). So no instance
// exists without its value, built in place from kMake() once CPython's
// generic allocator has the memory.
template <class Value, auto kMake>
PyObject* allocate_instance(PyTypeObject* type, Py_ssize_t items) {
  return call_boundary([&] {
    Ref object = Ref::steal(PyType_GenericAlloc(type, items));
    if (!object) throw PyErr::fetch();
    Instance<Value>& instance = instance_of<Value>(object.get());
    new (&instance.value) Value(kMake());
    new (&instance.borrow_counter) std::atomic<Py_ssize_t>(0);
    return object;
  });
}

// A new instance of one of the module's classes, from its tp_alloc. A failed
// allocation is CPython's error (normally MemoryError), returned as a PyErr.
inline std::expected<Ref, PyErr> new_instance(PyTypeObject* type) {
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::steal(allocate(type, 0));
  if (!object) return std::unexpected(PyErr::fetch());
  return object;
}

// The kMake of a class whose value starts default-constructed.
template <class Value>
Value make_default() {
  return Value();
}

// tp_dealloc: destroys the wrapped value, frees the memory through the
// type's tp_free and releases the instance's reference to its type.
template <class Value>
void destroy_instance(PyObject* self) noexcept {
  instance_of<Value>(self).value.~Value();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

struct ClassSpec {
  const char* qualified_name;  // "builtins.<name>": the classes report module "builtins"
  const char* name;
  const char* text_signature;  // the constructor's, or nullptr for a class without one
  const char* doc;
  int basic_size;
  std::span<const PyType_Slot> slots;  // without the docstring and the terminator
};

class HeapType {
 public:
  explicit constexpr HeapType(const ClassSpec& spec) noexcept : spec_(spec) {}

  // The type object, built by the first call; CPython's error, thrown, if
  // it refuses.
  PyTypeObject* get();
  // The same for callers that need the type to exist already (methods of
  // the class, which run after initialisation built it): a type that cannot
  // be built is a fault, reported after CPython's error is printed.
  PyTypeObject* get_or_fault() {
    if (PyTypeObject* type = type_.load(std::memory_order_acquire)) return type;
    return build_or_fault();
  }
  const char* name() const noexcept { return spec_.name; }

 private:
  std::expected<PyTypeObject*, PyErr> get_or_build();
  PyTypeObject* build_or_fault();
  std::expected<PyTypeObject*, PyErr> build() const;

  const ClassSpec& spec_;
  // Written once, by the first get(); read by every method after.
  std::atomic<PyTypeObject*> type_{nullptr};
};

// Self of a method or length slot: checked to be an instance of the class
// and borrowed shared for as long as this guard lives.
template <class Value>
class BorrowedSelf {
 public:
  BorrowedSelf(PyObject* self, HeapType& type)
      : instance_(checked_instance(self, type)), borrow_(instance_.borrow_counter) {}
  const Value& operator*() const noexcept { return instance_.value; }
  const Value* operator->() const noexcept { return &instance_.value; }

 private:
  static Instance<Value>& checked_instance(PyObject* self, HeapType& type) {
    check_self(self, type.get_or_fault(), type.name());
    return instance_of<Value>(self);
  }

  Instance<Value>& instance_;
  SharedBorrow borrow_;
};

// tp_new of a class whose constructor takes no arguments: refuses any,
// then makes an instance around its tp_alloc's value.
template <const Signature<0>& kSignature>
PyObject* construct_without_arguments(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] {
    bind(kSignature, args, kwargs);
    auto object = new_instance(type);
    if (!object) throw std::move(object.error());
    return std::move(*object);
  });
}

// mp_length of a class whose value has len().
template <class Value, HeapType& kType>
Py_ssize_t length_of(PyObject* self) {
  return call_boundary([&] {
    BorrowedSelf<Value> value(self, kType);
    return length_result(value->len());
  });
}

}  // namespace korvex::py
