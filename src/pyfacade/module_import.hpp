// Importing a module by name exactly as CPython's PyImport_Import does from
// the calling code (that code's builtins' __import__, then the module that
// sys.modules holds), taking a shorter road where it is provably the same.
#pragma once

#include "ref.hpp"

namespace korvex::py {

// Once, while the module is initialised: the names used, and the C function
// behind the interpreter's own builtins.__import__.
void prepare_module_import();

// The module named `name` (a top-level module: no dots), as a new
// reference; the import's error is thrown as a PyErr.
Ref import_module(PyObject* name);

}  // namespace korvex::py
