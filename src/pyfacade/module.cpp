// Initialisation of the extension module veltrano._korvex_core.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_korvex_core",
    "PyO3 module entry point. Wired as `veltrano._korvex_core`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__korvex_core() { return PyModule_Create2(&module_definition, PYTHON_API_VERSION); }
