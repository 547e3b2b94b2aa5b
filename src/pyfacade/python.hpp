// The one place that includes CPython's header, with the settings every
// facade file needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
