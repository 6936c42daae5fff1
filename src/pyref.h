// PyRef: owns one strong reference to a Python object, or none.
//
//   PyRef list = PyRef::steal(PyList_New(0));   // a new reference
//   PyRef item = PyRef::borrow(PyTuple_GetItem(t, 0));  // adds a reference
//   return list.release();                       // hands it to the caller
#ifndef TARVEL_SRC_PYREF_H_
#define TARVEL_SRC_PYREF_H_

#include <utility>

#include "src/python.h"

namespace tarvel_py {

class PyRef {
 public:
  PyRef() = default;
  ~PyRef() { Py_XDECREF(obj_); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }

  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference of its own to a borrowed one (which may be null).
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

  // Gives up the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}

  PyObject* obj_ = nullptr;
};

}  // namespace tarvel_py

#endif  // TARVEL_SRC_PYREF_H_
