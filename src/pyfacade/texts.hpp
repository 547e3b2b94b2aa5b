// Every docstring and fixed message Python code can observe from the module,
// in one place.
//
// They read as they do on purpose: they are, byte for byte, the texts of the
// pure-Python package and of the implementation this module replaces, which
// callers and their tests compare against. So each is kept verbatim, also
// where it names another implementation or language ("Rust-accelerated
// twin", PyO3, pyo3_runtime.PanicException, `Result::unwrap()`, "panic from
// Rust code"), and none may change by a byte.
//
// Not here: the names of functions, classes and parameters, which stand
// beside what they name (an entry's Signature carries the name its argument
// errors use); CPython's own messages, which pass through unchanged; and the
// constants registry's error messages (RegistryError::message in
// src/registry_error.cpp), which the core makes itself, as it includes
// nothing of the facade.
#pragma once

namespace korvex::py::texts {

// The module.
inline constexpr const char* kModuleDoc = "PyO3 module entry point. Wired as `veltrano._korvex_core`.";
inline constexpr const char* kOtherInterpreter =
    "_korvex_core can only be used from the interpreter that first imported it; "
    "subinterpreters are not supported";
inline constexpr const char* kAppendFailed = "could not append __name__ to __all__";

// The module functions.
inline constexpr const char* kListConstantsDoc =
    "py_list_constants()\n--\n\nRust-accelerated twin of `veltrano.list_constants`.\n\n"
    "Returns all known constant names from the FormulasRegistry.";
inline constexpr const char* kGetConstantDoc =
    "py_get_constant(name)\n--\n\nRust-accelerated twin of `veltrano.Get` for the constants branch.\n\n"
    "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
    "`uncertainty`, and `status` fields \xE2\x80\x94 matching the Python constant\n"
    "datasheet schema so callers don't need to branch.\n\n"
    "Raises `PyKeyError` when `name` is not in the registry.";
inline constexpr const char* kListQuarksDoc =
    "py_list_quarks()\n--\n\nRust-accelerated twin of `veltrano.list_quarks`.\n\n"
    "Returns all SM quark names from the QuarkRegistry.";
inline constexpr const char* kEmptyName = "py_get_constant: name must be non-empty";

// The classes and their methods.
inline constexpr const char* kFormulasRegistryDoc = "Python wrapper for [`FormulasRegistry`].";
inline constexpr const char* kGetDoc = "get($self, name)\n--\n\nRetrieve the numeric value for `name`.";
inline constexpr const char* kVersionDoc = "version()\n--\n\nLibrary-version round-trip helper.";
inline constexpr const char* kQuarkRegistryDoc = "Python wrapper for [`QuarkRegistry`].";
inline constexpr const char* kCKMMatrixDoc = "Python wrapper for [`CKMMatrix`].";
inline constexpr const char* kFromTopologyDoc =
    "from_topology()\n--\n\nBuild the CKM matrix from the underlying topology.";
inline constexpr const char* kIsUnitaryDoc =
    "is_unitary($self, tol)\n--\n\n`True` when the matrix is unitary within `tol`.";
inline constexpr const char* kJarlskogDoc = "jarlskog($self)\n--\n\nCP-violation Jarlskog invariant J.";
// PyUnicode_FromFormat: the class's name.
inline constexpr const char* kNoConstructor = "No constructor defined for %U";
// Followed by the repr of CPython's error.
inline constexpr const char* kUnwrapFailed = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr const char* kUnrenderableError = "<error that cannot be rendered>";
// Followed by the class's name.
inline constexpr const char* kTypeObjectFailed = "failed to create type object for ";

// Argument errors: PyUnicode_FromFormat formats, the function's name first.
inline constexpr const char* kTooManyPositional = "%s takes %zu positional arguments but %zd %s given";
inline constexpr const char* kUnexpectedKeyword = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* kUnexpectedNonStrKeyword = "%s got an unexpected keyword argument '%S'";
inline constexpr const char* kMultipleValues = "%s got multiple values for argument '%s'";
inline constexpr const char* kMissingArguments = "%s missing %zu required positional argument%s: %s";
// A value of the wrong type (its type's qualified name, then the target),
// and the same reworded to name the parameter.
inline constexpr const char* kCannotConvert = "'%U' object cannot be converted to '%s'";
inline constexpr const char* kArgumentError = "argument '%s': %S";
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";
// The targets those conversion errors name.
inline constexpr const char* kStringTarget = "PyString";
inline constexpr const char* kListTarget = "PyList";

// The call boundary.
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr const char* kApiCallFailed = "Python API call failed";
inline constexpr const char* kAlreadyBorrowed = "Already mutably borrowed";
inline constexpr const char* kFaultWithoutText = "panic from Rust code";
inline constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
inline constexpr const char* kPanicTypeDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr const char* kPanicTypeFailed = "Failed to initialize new exception type.";
// What the process prints, after "_korvex_core: ", as it aborts.
inline constexpr const char* kUncaughtFault = "uncaught panic at ffi boundary";
inline constexpr const char* kMemoryExhausted = "memory exhausted";

// Recursion too deep, as the interpreter words it for its own calls.
inline constexpr const char* kTooDeep = "maximum recursion depth exceeded while calling a Python object";
inline constexpr const char* kWhileCalling = " while calling a Python object";

}  // namespace korvex::py::texts
