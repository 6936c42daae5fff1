#include "src/value_type.h"

#include <string>

#include "src/pyref.h"

namespace tarvel_py {

namespace {

// Replaces the pending exception by RuntimeError "An error occurred while
// initializing class <name>", with the replaced exception as its cause.
void raise_init_error(const char* class_name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyRef cause = PyRef::steal(value);
  PyRef error = PyRef::steal(PyObject_CallFunction(
      PyExc_RuntimeError, "s", ("An error occurred while initializing class " +
                                std::string(class_name)).c_str()));
  if (!error) return;
  if (cause) PyException_SetCause(error.get(), cause.release());  // steals the cause
  PyErr_SetObject(PyExc_RuntimeError, error.get());
}

}  // namespace

PyTypeObject* TypeCell::get() {
  if (type_ == nullptr) {
    PyObject* type = PyType_FromSpec(spec_);
    if (type == nullptr) {
      raise_init_error(class_name_);
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
