#include "src/value_type.h"

#include "src/pyref.h"

namespace tarvel_py {

PyTypeObject* TypeCell::get() {
  if (type_ == nullptr) {
    PyObject* type = PyType_FromSpec(spec_);
    if (type == nullptr) {
      PyObject* cause_type = nullptr;
      PyObject* cause = nullptr;
      PyObject* cause_tb = nullptr;
      PyErr_Fetch(&cause_type, &cause, &cause_tb);
      PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
      if (cause != nullptr && cause_tb != nullptr) PyException_SetTraceback(cause, cause_tb);
      Py_XDECREF(cause_type);
      Py_XDECREF(cause_tb);
      PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s",
                   class_name_);
      if (cause != nullptr) {
        PyObject* t = nullptr;
        PyObject* v = nullptr;
        PyObject* tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        PyException_SetCause(v, cause);  // steals "cause"
        PyErr_Restore(t, v, tb);
      }
      return nullptr;
    }
    // Creation may run Python code (a collection): keep the first type made.
    if (type_ == nullptr) {
      type_ = type;
    } else {
      Py_DECREF(type);
    }
  }
  return reinterpret_cast<PyTypeObject*>(type_);
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyObject* t = reinterpret_cast<PyObject*>(type);  // borrowed
    PyRef module = PyRef::steal(PyObject_GetAttrString(t, "__module__"));
    if (!module) return nullptr;
    PyRef qualname = PyRef::steal(PyObject_GetAttrString(t, "__qualname__"));
    if (!qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot create '%S.%S' instances", module.get(),
                 qualname.get());
    return nullptr;
  });
}

PyObject* py_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* py_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* py_str_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = py_str(texts[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals "item"
  }
  return list.release();
}

}  // namespace tarvel_py
