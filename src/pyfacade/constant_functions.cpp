// The module functions over the constants registry: py_get_constant, one
// constant's datasheet, and py_list_constants, every constant's name. Each
// call builds a registry of its own and lets it go before returning.
#include <array>
#include <memory>
#include <string_view>

#include "args.hpp"
#include "datasheet.hpp"
#include "formulas_registry.hpp"
#include "members.hpp"
#include "module_import.hpp"
#include "results.hpp"
#include "stack_guard.hpp"
#include "texts.hpp"

namespace korvex::py {
namespace {

constexpr Signature<1> kGetConstant{"py_get_constant()", {"name"}};

// The names py_get_constant asks the interpreter for, made once by
// intern_constant_function_names() and kept for the life of the process.
PyObject* json_name = nullptr;
PyObject* loads_name = nullptr;

// A datasheet's text, copied out of the registry while the record is read:
// into a buffer on the stack when it fits, as every seeded sheet does, else
// into memory from the heap. A read may run more than once (see
// FormulasRegistry::read); each run writes the text afresh.
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

  // The text as a new str: ASCII, all the seeded sheets, straight into a
  // one-byte str; anything else decoded from UTF-8.
  Ref to_str() const {
    const std::string_view text(size_ > stack_.size() ? heap_.get() : stack_.data(), size_);
    return ascii_ ? new_ascii_str(text) : new_str(text);
  }

 private:
  std::array<char, kDatasheetStackSize> stack_;
  std::unique_ptr<char[]> heap_;
  std::size_t size_ = 0;
  bool ascii_ = true;
};

// The datasheet of the constant named by the argument, from a registry
// built for this call, as a str; KeyError when there is no such constant.
PyResult datasheet_text(PyObject* name_argument) {
  const std::string_view name = utf8_argument(name_argument, "name");
  if (name.empty()) throw Fault(texts::kEmptyName);
  SheetText text;
  const std::expected<bool, RegistryError> found =
      FormulasRegistry().read(name, [&text](const ConstantRecordView& record) {
        text.write(record);
        return true;
      });
  if (!found) return std::unexpected(PyErr::with_message(PyExc_KeyError, found.error().message()));
  return text.to_str();
}

// The call py_get_constant makes of json.loads: loads itself, then the
// datasheet text, both new references, laid out as a vectorcall with
// PY_VECTORCALL_ARGUMENTS_OFFSET takes them (the slot in front of the
// argument, lent to the callee, holds loads itself; a callee that uses the
// slot puts it back before returning).
using LoadsCall = std::array<PyObject*, 2>;

// Everything py_get_constant does before json.loads runs, inside the call
// boundary: the arguments, the datasheet text, then the interpreter's json
// imported anew, exactly as PyImport_Import imports it (see
// module_import.hpp), and its loads, whatever those resolve to. Both null,
// with the exception raised, when any step fails.
[[gnu::noinline]] LoadsCall prepare_loads(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  LoadsCall call{};
  call[1] = call_boundary([&]() -> PyResult {
    const auto [name_argument] = bind(kGetConstant, args, nargs, kwnames);
    check_stack_left();
    PyResult text = datasheet_text(name_argument);
    if (!text) return text;
    const Ref json = import_module(json_name);
    call[0] = PyObject_GetAttr(json.get(), loads_name);
    if (call[0] == nullptr) throw PyErr::fetch();
    return text;
  });
  return call;
}

// json.loads is called from this frame, as small as a frame can be, once
// the boundary and all that comes before the call are off the stack: loads
// may call back into the module, and each nested call then takes the stack
// only this frame deeper. The call needs no boundary: it fails only with
// the exception it raised, and CPython checks that one was.
PyObject* get_constant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  LoadsCall call = prepare_loads(args, nargs, kwnames);
  if (call[1] == nullptr) return nullptr;
  PyObject* const result = PyObject_Vectorcall(call[0], call.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  const Ref loads = Ref::steal(call[0]);
  const Ref text = Ref::steal(call[1]);
  return result;
}

PyObject* list_constants(PyObject*, PyObject*) {
  return call_boundary([] {
    // The names are the registry's own keys, so the registry lives until
    // the list of str is made.
    const FormulasRegistry registry;
    return new_sorted_str_list([&registry](const auto& add) {
      registry.for_each([&add](std::string_view key, const ConstantRecordView&) { add(key); });
    });
  });
}

}  // namespace

void intern_constant_function_names() {
  intern_once(json_name, "json");
  intern_once(loads_name, "loads");
}

PyMethodDef py_list_constants_def = {"py_list_constants", list_constants, METH_NOARGS, texts::kListConstantsDoc};

PyMethodDef py_get_constant_def = {"py_get_constant",
                                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_constant)),
                                   METH_FASTCALL | METH_KEYWORDS, texts::kGetConstantDoc};

}  // namespace korvex::py
