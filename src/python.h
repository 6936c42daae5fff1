// The one include of the interpreter's headers: the stable ABI of CPython
// 3.9 and newer (Py_LIMITED_API is set by the build).
#ifndef TARVEL_SRC_PYTHON_H_
#define TARVEL_SRC_PYTHON_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#endif  // TARVEL_SRC_PYTHON_H_
