// What module initialisation registers: the three classes, each defined in
// the file named after it (formulas_registry_type.cpp and so on), and the
// three module functions: py_get_constant and py_list_constants in
// constant_functions.cpp, py_list_quarks beside its registry's class in
// quark_registry_type.cpp.
#pragma once

#include <string_view>

#include "heap_type.hpp"

namespace korvex::py {

// The project's version, passed in by the build (CMakeLists.txt).
#ifndef KORVEX_VERSION
#error "KORVEX_VERSION must be defined by the build"
#endif
inline constexpr std::string_view kVersion = KORVEX_VERSION;

extern HeapType formulas_registry_type;
extern HeapType quark_registry_type;
extern HeapType ckm_matrix_type;

extern PyMethodDef py_list_constants_def;
extern PyMethodDef py_list_quarks_def;
extern PyMethodDef py_get_constant_def;

// Makes the names py_get_constant uses, once; before its first call.
void intern_constant_function_names();

}  // namespace korvex::py
