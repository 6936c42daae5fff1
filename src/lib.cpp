// The module definition, its entry point and the ordered list of what
// start-up adds to the module.
#include <atomic>
#include <cstdint>

#include "container/headers.h"
#include "src/args.h"
#include "src/constants.h"
#include "src/container.h"
#include "src/errors.h"
#include "src/frame_types.h"
#include "src/functions.h"
#include "src/panic.h"
#include "src/pyref.h"
#include "src/python.h"
#include "src/report_types.h"
#include "src/schema_types.h"
#include "src/tool_functions.h"

namespace tarvel_py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The extension module. Everything above, plus the constants a caller needs\n"
    "to avoid hard-coding numbers the format owns.",
    0,        // no per-module state
    nullptr,  // no methods: start-up adds the functions
    nullptr,  // no slots: single-phase start-up
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module, fixed for the process.
std::atomic<int64_t> owning_interpreter{-1};
// The module made by the first successful start-up; never released.
PyObject* module_object = nullptr;

// Lists "name" in the module's __all__ (made on first use), then sets the
// attribute to "value" (a new reference, taken over; null fails).
bool add(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!type_check(all.get(), &PyList_Type)) return false;
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  if (PyModule_AddObject(module, name, value.get()) < 0) return false;
  value.release();  // stolen by PyModule_AddObject on success only
  return true;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* (*type)()) {
  return add(module, name, PyRef::borrow(reinterpret_cast<PyObject*>(type())));
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  return add(module, def->ml_name, PyRef::steal(PyCFunction_NewEx(def, module, module_name.get())));
}

bool add_exception(PyObject* module, const char* name, PyObject* (*cls)()) {
  return add(module, name, PyRef::borrow(cls()));
}

bool add_int(PyObject* module, const char* name, long long value) {
  return add(module, name, PyRef::steal(PyLong_FromLongLong(value)));
}

bool add_str(PyObject* module, const char* name, const char* value) {
  return add(module, name, PyRef::steal(PyUnicode_FromString(value)));
}

// Fills a new module, in this order, stopping at the first failure.
bool fill(PyObject* m) {
  return
      // Classes.
      add_class(m, "Container", container_type) &&
      add_class(m, "Schema", schema_type) &&
      add_class(m, "FieldSpec", field_spec_type) &&
      add_class(m, "RecordLayout", record_layout_type) &&
      add_class(m, "Frame", frame_type) &&
      add_class(m, "Preamble", preamble_type) &&
      add_class(m, "ValidateReport", validate_report_type) &&
      add_class(m, "RebuildReport", rebuild_report_type) &&
      add_class(m, "RepackReport", repack_report_type) &&
      // Functions.
      add_function(m, &peek_headers_def) &&
      add_function(m, &validate_def) &&
      add_function(m, &rebuild_headers_def) &&
      add_function(m, &repack_def) &&
      add_function(m, &split_records_def) &&
      add_function(m, &xxh64_def) &&
      add_function(m, &max_frames_for_def) &&
      // Exception classes.
      add_exception(m, "TarvelError", tarvel_error) &&
      add_exception(m, "TarvelMalformedError", tarvel_malformed_error) &&
      add_exception(m, "TarvelUsageError", tarvel_usage_error) &&
      add_exception(m, "TarvelZoneFullError", tarvel_zone_full_error) &&
      add_exception(m, "TarvelCompressionError", tarvel_compression_error) &&
      // Constants.
      add_int(m, "VERSION", tarvel::FORMAT_VERSION) &&
      add_str(m, "EXTENSION", "tarvel") &&
      add_int(m, "DEFAULT_HEADER_AREA", tarvel::DEFAULT_HEADER_AREA) &&
      add_int(m, "MAX_HEADER_AREA", tarvel::MAX_HEADER_AREA) &&
      add_int(m, "HOT_LEVEL", HOT_LEVEL) &&
      add_int(m, "COLD_LEVEL", COLD_LEVEL) &&
      add_str(m, "__version__", MODULE_VERSION);
}

PyObject* start_up() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (interp == nullptr) return nullptr;
  int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) return nullptr;
  int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_native does not support sub-interpreters: it is already loaded in "
                    "another interpreter of this process");
    return nullptr;
  }
  if (module_object != nullptr) return PyRef::borrow(module_object).release();

  PyRef module = PyRef::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module || !fill(module.get())) return nullptr;
  module_object = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace

}  // namespace tarvel_py

// The one name the module exports: the interpreter calls it on import.
PyMODINIT_FUNC PyInit__native(void);

PyMODINIT_FUNC PyInit__native(void) {
  return tarvel_py::guarded(tarvel_py::start_up);
}
