// The module's exception classes and to_py, the one mapping from a library
// Error to the Python exception raised for it.
#ifndef TARVEL_SRC_ERRORS_H_
#define TARVEL_SRC_ERRORS_H_

#include "container/error.h"
#include "src/python.h"

namespace tarvel_py {

// Each returns its class (borrowed), creating it once per process on first
// use; a class that cannot be created is a panic ("Failed to initialize new
// exception type.").
PyObject* tarvel_error();
PyObject* tarvel_malformed_error();
PyObject* tarvel_usage_error();
PyObject* tarvel_zone_full_error();
PyObject* tarvel_compression_error();

// Raises the exception for "error": its class by kind (Io as exactly
// OSError, the others as the module's own classes) called with the display
// text as its only argument. Always returns null, for
//
//   if (!result) return to_py(result.error());
PyObject* to_py(const tarvel::Error& error);

}  // namespace tarvel_py

#endif  // TARVEL_SRC_ERRORS_H_
