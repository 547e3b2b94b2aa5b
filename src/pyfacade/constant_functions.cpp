// The module functions over the constants registry: py_get_constant, one
// constant's datasheet, and py_list_constants, every constant's name. Each
// call builds a registry of its own and lets it go before returning.
#include <array>
#include <cstring>
#include <memory>
#include <string_view>

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

// Whether `import` is the interpreter's own builtins.__import__, rather than
// a replacement installed by Python code.
bool is_builtin_import(PyObject* import) {
  if (!PyCFunction_Check(import)) return false;
  const auto* function = reinterpret_cast<PyCFunctionObject*>(import);
  PyObject* owner = function->m_self;
  return std::strcmp(function->m_ml->ml_name, "__import__") == 0 && owner != nullptr && PyModule_Check(owner) &&
         std::strcmp(PyModule_GetDef(owner) != nullptr ? PyModule_GetDef(owner)->m_name : "", "builtins") == 0;
}

// The module named "json", imported the way an import statement imports
// it: through builtins.__import__ when Python code has replaced that, and
// otherwise straight from the import system, which reuses the module in
// sys.modules when it is there and fully initialised.
Ref import_json(PyObject* name) {
  PyObject* builtins = PyEval_GetBuiltins();
  const Ref import_name = new_str("__import__");
  PyObject* import = builtins != nullptr ? PyDict_GetItemWithError(builtins, import_name.get()) : nullptr;
  if (import != nullptr && is_builtin_import(import))
    return Ref::steal(PyImport_ImportModuleLevelObject(name, nullptr, nullptr, nullptr, 0));
  if (PyErr_Occurred() != nullptr) return Ref();
  return Ref::steal(PyImport_Import(name));
}

// A datasheet's text, copied out of the registry while the record is read:
// into a buffer on the stack when it fits, as every seeded sheet does, else
// into memory from the heap. The read may run more than once (an optimistic
// attempt, then one under the lock); each run writes the text afresh.
class SheetText {
 public:
  void write(const ConstantRecordView& record) {
    const Datasheet sheet(record);
    size_ = sheet.size();
    ascii_ = sheet.ascii();
    char* out = stack_.data();
    if (size_ > stack_.size()) {
      heap_ = std::make_unique_for_overwrite<char[]>(size_);
      out = heap_.get();
    }
    sheet.write(out);
  }

  std::string_view view() const noexcept { return {size_ > stack_.size() ? heap_.get() : stack_.data(), size_}; }
  bool ascii() const noexcept { return ascii_; }

 private:
  std::array<char, kDatasheetStackSize> stack_;
  std::unique_ptr<char[]> heap_;
  std::size_t size_ = 0;
  bool ascii_ = true;
};

// Looks the name up in a registry built for this call and copies the
// record's datasheet into text. Kept out of line: the registry and the
// sheet's working state are then off the stack again before json.loads
// runs, which may call back into the module, each nested call taking only
// the text's buffer deeper.
[[gnu::noinline]] std::expected<bool, RegistryError> copy_datasheet(std::string_view name, SheetText& text) {
  return FormulasRegistry().read(name, [&text](const ConstantRecordView& record) {
    text.write(record);
    return true;
  });
}

// The datasheet is written as JSON text and handed to the interpreter's own
// json.loads, imported anew on every call, so that whatever `json` resolves
// to (a replaced loads included) makes the object the caller receives.
Ref parse_with_json_module(const SheetText& text) {
  const Ref json_name = new_str("json");
  const Ref json = import_json(json_name.get());
  if (!json) throw PyErr::fetch();
  const Ref loads_name = new_str("loads");
  // ASCII text, all the seeded sheets, becomes a one-byte str directly;
  // other text is decoded from UTF-8.
  const Ref text_object = text.ascii() ? new_ascii_str(text.view()) : new_str(text.view());
  // On a plain module, attribute lookup finds nothing on the module type
  // and reads the module's namespace; reading that dict directly is the
  // same lookup without the generic machinery. Anything else is asked the
  // usual way.
  Ref loads;
  if (Py_IS_TYPE(json.get(), &PyModule_Type)) {
    loads = Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(json.get()), loads_name.get()));
    if (!loads && PyErr_Occurred() != nullptr) throw PyErr::fetch();
  }
  if (!loads) loads = Ref::steal(PyObject_GetAttr(json.get(), loads_name.get()));
  if (!loads) throw PyErr::fetch();
  // One spare slot in front lets the callee prepend a bound self in place.
  PyObject* call[] = {nullptr, text_object.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(loads.get(), call + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) throw PyErr::fetch();
  return result;
}

PyObject* get_constant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&]() -> PyResult {
    const auto [name_argument] = bind(kGetConstant, args, nargs, kwnames);
    const std::string_view name = utf8_argument(name_argument, "name");
    if (name.empty()) throw Fault(kEmptyName);
    SheetText text;
    const std::expected<bool, RegistryError> found = copy_datasheet(name, text);
    if (!found) return std::unexpected(PyErr::with_message(PyExc_KeyError, found.error().message()));
    return parse_with_json_module(text);
  });
}

PyObject* list_constants(PyObject*, PyObject*) {
  return call_boundary([] {
    // The names are the registry's own keys, so the registry lives until
    // the list of str is made.
    const FormulasRegistry registry;
    NameList names;
    registry.for_each([&names](std::string_view key, const ConstantRecordView&) { names.add_borrowed(key); });
    names.sort();
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
