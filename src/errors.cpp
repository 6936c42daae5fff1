#include "src/errors.h"

#include <string>

#include "src/panic.h"
#include "src/pyref.h"

namespace tarvel_py {

namespace {

struct ExceptionCell {
  const char* dotted_name;
  const char* doc;
  PyObject* (*base)();  // null: the built-in Exception
  PyObject* cls = nullptr;
};

ExceptionCell base_cell{"_native.TarvelError", "Base of every error this package raises.",
                        nullptr};
ExceptionCell malformed_cell{"_native.TarvelMalformedError",
                             "The file is not a well-formed container.", &tarvel_error};
ExceptionCell usage_cell{"_native.TarvelUsageError",
                         "The calling code asked for something it may not.", &tarvel_error};
ExceptionCell zone_full_cell{"_native.TarvelZoneFullError",
                             "The header zone cannot hold the headers.", &tarvel_error};
ExceptionCell compression_cell{"_native.TarvelCompressionError",
                               "zstd refused to compress or decompress.", &tarvel_error};

PyObject* get(ExceptionCell& cell) {
  if (cell.cls != nullptr) return cell.cls;
  PyObject* base = cell.base != nullptr ? cell.base() : PyExc_Exception;  // borrowed
  PyObject* cls = PyErr_NewExceptionWithDoc(cell.dotted_name, cell.doc, base, nullptr);
  if (cls == nullptr) panic("Failed to initialize new exception type.");
  // Creation may run Python code (a collection): keep the first class made.
  if (cell.cls == nullptr) {
    cell.cls = cls;
  } else {
    Py_DECREF(cls);
  }
  return cell.cls;
}

}  // namespace

PyObject* tarvel_error() { return get(base_cell); }
PyObject* tarvel_malformed_error() { return get(malformed_cell); }
PyObject* tarvel_usage_error() { return get(usage_cell); }
PyObject* tarvel_zone_full_error() { return get(zone_full_cell); }
PyObject* tarvel_compression_error() { return get(compression_cell); }

PyObject* to_py(const tarvel::Error& error) {
  PyObject* cls = nullptr;  // borrowed
  switch (error.kind()) {
    case tarvel::ErrorKind::kIo:
      cls = PyExc_OSError;
      break;
    case tarvel::ErrorKind::kMalformed:
      cls = tarvel_malformed_error();
      break;
    case tarvel::ErrorKind::kUsage:
      cls = tarvel_usage_error();
      break;
    case tarvel::ErrorKind::kZoneFull:
      cls = tarvel_zone_full_error();
      break;
    case tarvel::ErrorKind::kCompression:
      cls = tarvel_compression_error();
      break;
  }
  std::string text = error.to_string();
  PyRef value = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (value) PyErr_SetObject(cls, value.get());
  return nullptr;
}

}  // namespace tarvel_py
