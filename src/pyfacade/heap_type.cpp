#include "heap_type.hpp"

#include <string>
#include <vector>

#include "texts.hpp"

namespace korvex::py {

std::expected<PyTypeObject*, PyErr> HeapType::build() const {
  // The class docstring carries the constructor's signature where there is
  // one, so that CPython can split it into __text_signature__ and __doc__.
  std::string doc;
  if (spec_.text_signature != nullptr) {
    doc += spec_.name;
    doc += spec_.text_signature;
    doc += "\n--\n\n";
  }
  doc += spec_.doc;

  std::vector<PyType_Slot> slots(spec_.slots.begin(), spec_.slots.end());
  slots.push_back({Py_tp_doc, doc.data()});  // CPython copies the text
  slots.push_back({0, nullptr});

  // Default flags only: not subclassable, no instance __dict__, no weak
  // references, not tracked by the cycle collector.
  PyType_Spec spec{spec_.qualified_name, spec_.basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return std::unexpected(PyErr::fetch());
  return reinterpret_cast<PyTypeObject*>(type);
}

std::expected<PyTypeObject*, PyErr> HeapType::get_or_build() {
  if (PyTypeObject* type = type_.load(std::memory_order_acquire)) return type;
  std::expected<PyTypeObject*, PyErr> built = build();
  if (built) type_.store(*built, std::memory_order_release);
  return built;
}

PyTypeObject* HeapType::get() {
  std::expected<PyTypeObject*, PyErr> type = get_or_build();
  if (!type) throw std::move(type.error());
  return *type;
}

PyTypeObject* HeapType::build_or_fault() {
  std::expected<PyTypeObject*, PyErr> type = get_or_build();
  if (!type) {
    std::move(type.error()).print();
    throw Fault(std::string(texts::kTypeObjectFailed) + spec_.name);
  }
  return *type;
}

}  // namespace korvex::py
