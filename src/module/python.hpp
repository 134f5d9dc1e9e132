// The one place that includes Python.h. Py_LIMITED_API is set by the build
// (stable ABI of CPython 3.11), so only the limited C API is visible here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
